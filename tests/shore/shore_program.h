// boat_shore as built, for whole-program tests: its settings file, its
// staff commands and `serve` in the test's own network, and check-ins
// through libcurl as a terminal makes them.
#pragma once

#include "process.h"

#include <string>
#include <vector>

namespace shoretest {

// The port `serve` listens on in the tests' own networks.
constexpr int kShorePort = 8080;

struct Run {
    int status = -1;
    std::string out;
    std::string err;
};

struct Reply {
    long status = 0;  // 0: no answer
    std::string body;
};

class ShoreProgram {
public:
    // Settings: DATABASE=database and LISTEN=127.0.0.1:kShorePort, then `more` lines.
    explicit ShoreProgram(const std::string& database, const std::string& more = "");
    ~ShoreProgram();

    const std::string& config() const { return config_; }
    testsupport::TempDir& dir() { return dir_; }

    // One staff command, waited for.
    Run run(const std::vector<std::string>& args);
    // `serve`, waited for until it says it listens; false when it does not.
    bool start(const std::vector<std::string>& env = {});
    testsupport::Process& server() { return server_; }
    std::string server_err() const;

    // GET of the check-in path with `query`, over http or (ca given) https.
    Reply checkin(const std::string& query, const std::string& ca = "");
    Reply get(const std::string& target, const std::string& ca = "", const char* method = "GET");

private:
    testsupport::TempDir dir_;
    std::string config_;
    testsupport::Process server_;
};

}  // namespace shoretest
