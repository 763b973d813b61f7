// The staff commands as built: each bad order gets one line
// "boat_shore: ..." naming the fault, status 1, and leaves the book as it
// was; the orders that are good do what they say.
#include "shore_program.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

using shoretest::Run;
using shoretest::ShoreProgram;

namespace {

struct Refused {
    std::vector<std::string> args;
    const char* message;  // part of the one line on stderr
};

// Everything staff can see of the book.
std::string book_of(ShoreProgram& shore) {
    std::string all;
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"boat", "list", "--json"}, {"status", "--json"}, {"sessions", "--json"}, {"sales", "--json"}}) {
        const Run r = shore.run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        all += r.out;
    }
    return all;
}

void expect_refused(const Run& r, const std::string& message, const std::string& what) {
    EXPECT_EQ(r.status, 1) << what;
    EXPECT_EQ(r.out, "") << what;
    EXPECT_EQ(r.err.rfind("boat_shore: ", 0), 0u) << what << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << ": " << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << what << ": " << r.err;
}

TEST(Commands, BadOrdersAreRefusedAndChangeNothing) {
    testsupport::TempDir data;
    ShoreProgram shore("sqlite:" + data.file("shore.db"));
    ASSERT_EQ(shore.run({"boat", "add", "--boat", "3", "--name", "Tern"}).status, 0);
    ASSERT_EQ(shore.run({"boat", "add", "--boat", "4", "--kind", "tracker"}).status, 0);
    ASSERT_EQ(shore.run({"kill", "--boat", "4"}).status, 0);
    ASSERT_EQ(shore.run({"sell", "--card", "0a0b", "--seconds", "600", "--boat", "3"}).status, 0);
    const std::string before = book_of(shore);
    ASSERT_NE(before.find("\"boat\":3"), std::string::npos) << before;

    const std::vector<Refused> table = {
        {{}, "no command given"},
        {{"fly"}, "unknown command \"fly\""},
        {{"boat"}, "boat needs add, list or lockout"},
        {{"boat", "add"}, "--boat is missing"},
        {{"boat", "add", "--boat", "3"}, "boat 3 exists already"},
        {{"boat", "add", "--boat", "-1"}, "--boat -1 is not a boat number"},
        {{"boat", "add", "--boat", "2147483648"}, "is not a boat number"},
        {{"boat", "add", "--boat", "5", "--kind", "ferry"}, "--kind must be checkin or tracker"},
        {{"boat", "add", "--boat", "5", "--name", std::string(65, 'n')}, "--name is longer than 64"},
        {{"boat", "add", "--boat", "5", "--name", "a\tb"}, "--name holds a control character"},
        {{"boat", "lockout", "--boat", "9", "on"}, "unknown boat 9"},
        {{"boat", "lockout", "--boat", "3", "maybe"}, "boat lockout needs on or off"},
        {{"boat", "lockout", "--boat", "3", "on", "off"}, "unexpected \"off\""},
        {{"boat", "lockout", "--boat", "3"}, "boat lockout needs on or off"},
        {{"sell", "--seconds", "60"}, "--card is missing"},
        {{"sell", "--card", "0x0b", "--seconds", "60"}, "--card 0x0b is not a card serial"},
        {{"sell", "--card", std::string(21, 'a'), "--seconds", "60"}, "is not a card serial"},
        {{"sell", "--card", "0a0b"}, "--seconds is missing"},
        {{"sell", "--card", "0a0b", "--seconds", "-5"}, "--seconds -5 is not a whole number of seconds"},
        {{"sell", "--card", "0a0b", "--seconds", "0"}, "--seconds 0 is not"},
        {{"sell", "--card", "0a0b", "--seconds", "1.5"}, "--seconds 1.5 is not"},
        {{"sell", "--card", "0a0b", "--seconds", "31622401"}, "--seconds 31622401 is not"},
        {{"sell", "--card", "0a0b", "--seconds", "60", "--boat", "9"}, "unknown boat 9"},
        {{"sell", "--card", "0a0b", "--seconds", "60", "--from", "2000000000", "--until", "1999999999"},
         "--until must be after --from"},
        {{"sell", "--card", "0a0b", "--seconds", "60", "--from", "500", "--until", "1000"}, "--until is in the past"},
        {{"sell", "--card", "0a0b", "--seconds", "60", "--from", "yesterday"}, "--from yesterday is not a time"},
        {{"sell", "--card", "0a0b", "--card", "0a0c", "--seconds", "60"}, "--card given twice"},
        {{"end", "--boat", "3"}, "boat 3 has no open session"},
        {{"end", "--boat", "9"}, "unknown boat 9"},
        {{"kill", "--boat", "9"}, "unknown boat 9"},
        {{"kill", "--boat"}, "--boat needs a value"},
        {{"release", "--boat", "x"}, "--boat x is not a boat number"},
        {{"status", "--boat", "3"}, "status takes no option --boat"},
    };
    for (const Refused& r : table) {
        std::string what;
        for (const auto& a : r.args) what += a + " ";
        expect_refused(shore.run(r.args), r.message, what);
    }
    EXPECT_EQ(book_of(shore), before);
}

TEST(Commands, BadSettingsAndUnreachableDatabasesAreRefused) {
    testsupport::TempDir data;
    const std::string good = "DATABASE=sqlite:" + data.file("shore.db") + "\n";
    const std::vector<std::pair<std::string, const char*>> table = {
        {good + "PORT=8080\n", "shore.conf:2: unknown key PORT"},
        {good + "just words\n", "shore.conf:2: not KEY=value"},
        {good + "LISTEN=8080\n", "shore.conf:2: LISTEN=8080: not address:port"},
        {good + "LISTEN=[::1]:70000\n", "shore.conf:2: LISTEN=[::1]:70000: not address:port"},
        {good + "DATABASE=sqlite:/tmp/x.db\n", "shore.conf:2: DATABASE: given twice"},
        {good + "CERT=/etc/ssl/x.pem\n", "CERT= and KEY= go together"},
        {"DATABASE=postgresql://shore@127.0.0.1:1/shore\n", "cannot reach the database"},
        {"DATABASE=sqlite:" + data.file("no/such/folder/shore.db") + "\n", "cannot open"},
        {"DATABASE=mysql://127.0.0.1/shore\n", "shore.conf:1: DATABASE=mysql://127.0.0.1/shore: not sqlite:PATH"},
    };
    for (const auto& [settings, message] : table) {
        testsupport::write_file(data.file("shore.conf"), settings);
        ShoreProgram shore("unused");
        testsupport::write_file(shore.config(), settings);
        for (const std::vector<std::string>& args : {std::vector<std::string>{"status"}, {"sell", "--card", "0a", "--seconds", "5"}})
            expect_refused(shore.run(args), message, settings);
    }
    // A missing settings file is the defaults, which a test cannot use; a
    // file that exists but cannot be read is refused.
    ShoreProgram folder("unused");
    const shoretest::Run r = folder.run({"--config", data.path(), "status"});
    EXPECT_EQ(r.status, 1);
}

TEST(Commands, OrdersDoWhatTheySay) {
    testsupport::TempDir data;
    // The server's state folder, as root's first command finds it.
    constexpr uid_t kServerUser = 64321;
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(data.path().c_str(), kServerUser, kServerUser), 0);
    }
    ShoreProgram shore("sqlite:" + data.file("shore.db"));
    EXPECT_EQ(shore.run({"boat", "add", "--boat", "7", "--name", "Gull", "--kind", "tracker"}).out, "boat 7 added\n");
    if (root) {
        // Root made the book; it is the server's to write.
        for (const char* file : {"shore.db", "shore.db-wal", "shore.db-shm"}) {
            struct stat st {};
            if (stat(data.file(file).c_str(), &st) != 0) continue;
            EXPECT_EQ(st.st_uid, kServerUser) << file;
        }
    }
    EXPECT_EQ(shore.run({"boat", "list"}).out, "boat 7 kind tracker lockout off name Gull\n");
    EXPECT_EQ(shore.run({"boat", "lockout", "--boat", "7", "on"}).out, "boat 7 lockout on\n");
    EXPECT_EQ(shore.run({"boat", "list", "--json"}).out,
              "[{\"boat\":7,\"kind\":\"tracker\",\"lockout\":true,\"name\":\"Gull\"}]\n");
    EXPECT_EQ(shore.run({"sell", "--card", "AB12", "--seconds", "90", "--boat", "7", "--from", "2000000000", "--until",
                         "2000003600"})
                  .out,
              "sale 1 card ab12 seconds 90 boat 7 valid 2000000000..2000003600\n");
    EXPECT_EQ(shore.run({"kill", "--boat", "7"}).out, "boat 7 kill ordered\n");
    EXPECT_EQ(shore.run({"kill", "--boat", "7"}).out, "boat 7 kill was pending already\n");
    EXPECT_EQ(shore.run({"release", "--boat", "7"}).out, "boat 7 released\n");
    EXPECT_EQ(shore.run({"release", "--boat", "7"}).out, "boat 7 had no kill order\n");
    const shoretest::Run status = shore.run({"status"});
    EXPECT_EQ(status.out, "boat 7 stopped last_checkin never lockout kind unknown\n") << status.err;
}

}  // namespace
