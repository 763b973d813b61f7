// boat_shore: sells time on cards and answers the boats' check-ins.
//   boat_shore [--config FILE] COMMAND [OPTIONS]
// Exit status 0 on success; 1 with one line "boat_shore: MESSAGE" on bad
// input or a database that cannot be reached, with nothing changed.
#include "commands.h"
#include "server.h"
#include "settings.h"
#include "store.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

int fail(std::string message) {
    // One line, whatever a library's message held.
    for (char& c : message)
        if (c == '\n' || c == '\r') c = ' ';
    fprintf(stderr, "boat_shore: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string config = shore::kDefaultConfig;
    std::vector<std::string> words;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--config") {
            if (i + 1 >= argc) return fail("--config needs a file");
            config = argv[++i];
        } else {
            words.push_back(a);
        }
    }
    try {
        const shore::Order order = shore::parse_order(words);
        shore::Settings settings;
        std::string error;
        if (!shore::read_settings(config, &settings, &error)) return fail(error);
        std::unique_ptr<shore::Store> store = shore::open_store(settings.database);
        if (order.command == "serve") return shore::serve(settings, *store);
        const std::string out = shore::carry_out(*store, order, shore::now_ms() / 1000);
        fputs(out.c_str(), stdout);
        return fflush(stdout) == 0 ? 0 : 1;
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}
