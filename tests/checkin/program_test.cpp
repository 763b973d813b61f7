// boat_checkin as built, on a private simulated board, against the
// check-in server on the compiled base URL's port (or the settings
// file's), each test on a loopback of its own.
#include "checkin_server.h"
#include "faults.h"
#include "field.h"
#include "private_mounts.h"
#include "process.h"
#include "temp_board.h"

#include <bcm2835.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

using namespace testsupport;

namespace {

// The port of the compiled base URL, where the program will ask.
int url_port() {
    const std::string url = BOAT_CHECKIN_URL;
    const size_t host = url.find("://") + 3;
    const std::string authority = url.substr(host, url.find('/', host) - host);
    const size_t colon = authority.rfind(':');
    return colon == std::string::npos ? 80 : std::stoi(authority.substr(colon + 1));
}
const int kPort = url_port();

class Program : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a network and mounts of its own";
        std::string why;
        ASSERT_TRUE(enter_private_host(&why)) << why;
        ASSERT_FALSE(port_open(kPort)) << "something else listens on " << kPort;
    }
    void TearDown() override {
        terminal_.stop();
        server_.stop();
    }

    void start_server(const std::string& cards, std::vector<std::string> options = {}) {
        write_file(dir_.file("cards.txt"), cards);
        std::vector<std::string> args = {"--cards", dir_.file("cards.txt")};
        args.insert(args.end(), options.begin(), options.end());
        ASSERT_TRUE(server_.start(kPort, args, dir_.file("server.log"), dir_.file("server.err"))) << server_.error();
    }
    // The https tests' throwaway CA, server and client certificates in `tls`.
    void make_certs(const std::string& tls) {
        Process certs({{"/bin/sh", testsupport::source_path("tests/checkin/tls_certs.sh"), tls},
                       {}, "", "", dir_.file("certs.err"), ""});
        ASSERT_TRUE(certs.wait_exit(60000));
        ASSERT_EQ(certs.exit_status(), 0) << read_file(dir_.file("certs.err"));
    }
    static constexpr int kHttpsPort = 18443;
    void start_terminal(const std::string& state_env) {
        terminal_ = Process({{bin("checkin/boat_checkin")}, {state_env}, dir_.path(), "", dir_.file("terminal.err"), ""});
    }
    void start_terminal() {
        start_terminal(board_.env());
        ASSERT_TRUE(wait_for_message("All LED OFF")) << err();
    }
    std::string err() { return read_file(dir_.file("terminal.err")); }
    bool wait_for_message(const std::string& text, int timeout_ms = 10000) {
        return wait_until([&] { return err().find(text) != std::string::npos; }, timeout_ms);
    }
    // Requests the server logged, as "RFID=... BoatID=..." texts.
    std::vector<std::string> requests() { return server_.checkins(); }
    bool wait_for_requests(size_t n, int timeout_ms = 10000) {
        return wait_until([&] { return requests().size() >= n; }, timeout_ms);
    }
    bool wait_for_level(uint8_t pin, uint8_t level, int timeout_ms = 10000) {
        return wait_until([&] { return board_.level(pin) == level; }, timeout_ms);
    }
    // GPIO writes since `seq` as "pin=level" words.
    std::string writes_since(uint64_t seq) {
        std::string out;
        for (const auto& e : board_.events_since(seq)) out += std::to_string(e.pin) + "=" + std::to_string(e.level) + " ";
        return out;
    }
    // Waits until the halt after the card check-in has pulsed the signal pin.
    bool wait_for_halt(uint64_t pulses, int timeout_ms = 20000) {
        return wait_until([&] { return board_.state().signal_pulses >= pulses && board_.level(18) == 0; }, timeout_ms);
    }

    TempDir dir_;
    TempBoard board_{boatsim::Profile::checkin};
    testsupport::CheckinServer server_;
    Process terminal_;
};

int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) n++;
    return n;
}

const char* kBlue = "17=1 22=0 27=1 ";
const char* kGreen = "17=0 22=1 27=1 ";
const char* kRed = "17=1 22=1 27=0 ";
const char* kOff = "17=1 22=1 27=1 ";
const char* kHalt = "18=1 18=0 ";

TEST_F(Program, StartsUpInOrderAndChecksACardInOncePerPresentation) {
    write_file(dir_.file("boatid.txt"), "12\n");
    ASSERT_NO_FATAL_FAILURE(start_server("0a1bc203 OK 0 2\n"));
    ASSERT_NO_FATAL_FAILURE(start_terminal());
    EXPECT_EQ(err().rfind("I Am Boat 12\r\nBoat Stopped\r\nAll LED OFF", 0), 0u) << err();
    for (uint8_t pin : {17, 22, 27, 23, 14, 18}) EXPECT_EQ(board_.state().gpio[pin].fsel, BCM2835_GPIO_FSEL_OUTP) << int(pin);
    EXPECT_EQ(board_.state().spi.divider, 50);
    EXPECT_EQ(writes_since(0).rfind("18=0 23=0 " + std::string(kOff), 0), 0u) << writes_since(0);

    uint64_t seq = board_.last_seq();
    board_.put_card("0A1BC203");
    ASSERT_TRUE(wait_for_halt(1)) << err();
    EXPECT_EQ(requests(), std::vector<std::string>{"RFID=0a1bc203 BoatID=12"});
    EXPECT_NE(err().find("Serial: 0a1bc203\nBlue LED ONGreen LED ONOK 0 2\r\nKill Switch Off\r\nOK 0 2\r\n"
                         "Green LED ONBoat Started\r\nOnline for 0 Days\r\n"),
              std::string::npos)
        << err();
    EXPECT_NE(writes_since(seq).find(std::string(kBlue) + kGreen + "14=0 " + kGreen + "23=1 " + kHalt), std::string::npos)
        << writes_since(seq);
    EXPECT_EQ(board_.level(22), 1);
    EXPECT_EQ(board_.level(17), 0) << "green for the session";

    // The session runs out while the halted card stays on the reader.
    ASSERT_TRUE(wait_for_level(23, 0)) << err();
    EXPECT_NE(err().find("All LED OFFBoat Stopped\r\n"), std::string::npos) << err();
    EXPECT_EQ(requests().size(), 1u) << "a card that stays is checked in once";

    board_.take_card("0A1BC203");
    board_.put_card("0A1BC203");
    ASSERT_TRUE(wait_for_requests(2)) << err();
    EXPECT_EQ(requests()[1], "RFID=0a1bc203 BoatID=12");
}

TEST_F(Program, DropsRootForUser500AndItsGroupForGood) {
    std::string host_passwd;
    {
        std::istringstream in(read_file("/etc/passwd"));
        for (std::string line; std::getline(in, line);)
            if (line.find(":x:500:") == std::string::npos) host_passwd += line + "\n";
    }
    struct Case {
        const char* what;
        std::string passwd_extra;
        std::vector<std::string> wrapper;
        std::string gid;
        std::string message;
        std::string uid = "500";
    } cases[] = {
        {"account 500 in group 777", "skipper:x:500:777::/nonexistent:/usr/sbin/nologin\n", {}, "777", ""},
        {"no account 500", "", {}, "500", ""},
        // Root that may not change groups: the user still goes, the refusal
        // is reported once, and the terminal runs on.
        {"no right to change groups", "", {"/usr/bin/setpriv", "--bounding-set=-setgid"}, "0",
         "Can't drop rights: setgroups: Operation not permitted\r\n"},
        // An ordinary user has nothing to drop: it stays who it is, silently.
        {"started as an ordinary user", "",
         {"/usr/bin/setpriv", "--reuid=4242", "--regid=4243", "--clear-groups"}, "4243", "", "4242"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_file("/etc/passwd", host_passwd + c.passwd_extra);
        std::vector<std::string> argv = c.wrapper;
        argv.push_back(bin("checkin/boat_checkin"));
        write_file(dir_.file("terminal.err"), "");
        terminal_ = Process({argv, {board_.env()}, dir_.path(), "", dir_.file("terminal.err"), ""});
        ASSERT_TRUE(wait_for_message("All LED OFF")) << err();
        const pid_t pid = terminal_.pid();
        EXPECT_EQ(status_line(pid, "Uid"), c.uid + "\t" + c.uid + "\t" + c.uid + "\t" + c.uid);
        EXPECT_EQ(status_line(pid, "Gid"), c.gid + "\t" + c.gid + "\t" + c.gid + "\t" + c.gid);
        if (c.message.empty()) {
            EXPECT_EQ(status_line(pid, "Groups"), "") << "none of root's groups is kept";
            EXPECT_EQ(err().find("Can't drop"), std::string::npos) << err();
        } else {
            EXPECT_EQ(err(), "I Am Boat 0\r\n" + c.message + "Boat Stopped\r\nAll LED OFF");
        }
        // No capability and no saved root id: nothing can switch back.
        EXPECT_EQ(status_line(pid, "CapPrm"), "0000000000000000");
        EXPECT_EQ(status_line(pid, "CapEff"), "0000000000000000");
        EXPECT_EQ(status_line(pid, "CapAmb"), "0000000000000000");
        terminal_.stop();
    }
}

TEST_F(Program, WithoutBoatIdFileIsBoat0AndBadStopsWithRed) {
    ASSERT_NO_FATAL_FAILURE(start_server("0a1bc203 BAD card blocked\n"));
    ASSERT_NO_FATAL_FAILURE(start_terminal());
    EXPECT_EQ(err().rfind("I Am Boat 0\r\n", 0), 0u) << err();
    uint64_t seq = board_.last_seq();
    board_.put_card("0a1bc203");
    ASSERT_TRUE(wait_for_halt(1)) << err();
    EXPECT_EQ(requests(), std::vector<std::string>{"RFID=0a1bc203 BoatID=0"});
    EXPECT_NE(writes_since(seq).find(std::string(kBlue) + kGreen + "14=0 23=0 " + kRed + kOff + kHalt), std::string::npos)
        << writes_since(seq);
    EXPECT_NE(err().find("BAD card blocked\r\nKill Switch Off\r\nBAD card blocked\r\nBoat Stopped\r\nRed LED ONAll LED OFF"),
              std::string::npos)
        << err();
    EXPECT_EQ(board_.level(23), 0);
}

TEST_F(Program, KillSetsTheKillRelayAlsoWhenSplitAcrossChunks) {
    ASSERT_NO_FATAL_FAILURE(start_server("01020304 KILL\n05060708 !chunks KI|LL\n090a0b0c OK 0 600\n"));
    ASSERT_NO_FATAL_FAILURE(start_terminal());
    for (const char* card : {"01020304", "05060708"}) {
        uint64_t seq = board_.last_seq();
        uint64_t pulses = board_.state().signal_pulses;
        // A running boat first, which the kill must stop.
        board_.put_card("090a0b0c");
        ASSERT_TRUE(wait_for_halt(pulses + 1)) << err();
        ASSERT_EQ(board_.level(23), 1);
        board_.take_card("090a0b0c");
        board_.put_card(card);
        ASSERT_TRUE(wait_for_halt(pulses + 2)) << err();
        EXPECT_EQ(board_.level(14), 1) << card;
        EXPECT_EQ(board_.level(23), 0) << card;
        EXPECT_NE(writes_since(seq).find(std::string(kBlue) + kGreen + "23=0 14=1 23=0 " + kRed + kOff + kHalt),
                  std::string::npos)
            << card << ": " << writes_since(seq);
        board_.take_card(card);
    }
    EXPECT_NE(err().find("KILL\r\nBoat Stopped\r\nKill Switch Active\r\nBoat Stopped\r\nRed LED ONAll LED OFF"), std::string::npos)
        << err();
}

TEST_F(Program, ServerDownAndHttpErrorsAreNetworkErrors) {
    ASSERT_NO_FATAL_FAILURE(start_terminal());
    const std::string failed = std::string(kBlue) + kRed + kBlue + kRed + kOff + kHalt;
    uint64_t seq = board_.last_seq();
    board_.put_card("0a1bc203");
    ASSERT_TRUE(wait_for_halt(1)) << err();
    EXPECT_NE(writes_since(seq).find(failed), std::string::npos) << writes_since(seq);
    EXPECT_NE(err().find("Serial: 0a1bc203\nBlue LED ONRed LED ONBlue LED ONRed LED ONAll LED OFF"
                         "Network Error Couldn't connect to server\r\n"),
              std::string::npos)
        << err();
    board_.take_card("0a1bc203");

    ASSERT_NO_FATAL_FAILURE(start_server("0a1bc203 !status 404 OK 0 600\n"));
    seq = board_.last_seq();
    board_.put_card("0a1bc203");
    ASSERT_TRUE(wait_for_halt(2)) << err();
    EXPECT_EQ(requests().size(), 1u);
    EXPECT_NE(writes_since(seq).find(failed), std::string::npos) << writes_since(seq);
    EXPECT_NE(err().find("Network Error HTTP response code said error\r\n"), std::string::npos) << err();
    EXPECT_EQ(board_.level(23), 0) << "an error page never starts the boat";
}

TEST_F(Program, RedirectIsFollowed) {
    ASSERT_NO_FATAL_FAILURE(start_server("0a1bc203 !redirect OK 0 600\n"));
    ASSERT_NO_FATAL_FAILURE(start_terminal());
    board_.put_card("0a1bc203");
    ASSERT_TRUE(wait_for_halt(1)) << err();
    EXPECT_EQ(requests().size(), 2u);
    EXPECT_EQ(board_.level(23), 1);
    EXPECT_NE(err().find("Green LED ONOK 0 600\r\n"), std::string::npos) << err();
}

// Requests the server logged with --log-time: arrival (CLOCK_MONOTONIC,
// seconds) and "RFID=... BoatID=... Kind=...".
std::vector<std::pair<double, std::string>> timed_requests(const std::string& log) {
    std::vector<std::pair<double, std::string>> out;
    std::istringstream in(read_file(log));
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(" checkin ");
        if (at == std::string::npos) continue;
        const size_t from = at + 9;
        out.emplace_back(std::stoll(line.substr(0, at)) / 1e9, line.substr(from, line.find(" ->") - from));
    }
    return out;
}

double monotonic_s() {
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// With CHECKIN_INTERVAL=2 the periodic check-in comes every 2 s (the first
// 2 s after the start, then 2 s after each check-in of either kind) and
// each request says its kind, so that a kill given at the server sets the
// kill relay within the interval and one exchange.
TEST_F(Program, WithACheckInIntervalAKillArrivesWithinIt) {
    constexpr double kInterval = 2.0;
    // The loop notices the time at its next idle poll (200 ms and the
    // reader's request), and an exchange on loopback takes milliseconds:
    // a second is ample on a loaded machine.
    constexpr double kSlack = 1.0;
    EtcFile settings("/etc/boat/terminal.conf", "CHECKIN_INTERVAL=2\n");
    ASSERT_NO_FATAL_FAILURE(start_server("0a1bc203 OK 0 600\n", {"--log-time"}));
    const double started = monotonic_s();
    ASSERT_NO_FATAL_FAILURE(start_terminal());
    const std::string log = dir_.file("server.log");
    ASSERT_TRUE(wait_until([&] { return timed_requests(log).size() >= 3; }, 15000)) << err();
    auto seen = timed_requests(log);
    EXPECT_GE(seen[0].first - started, kInterval);
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(seen[i].second, "RFID= BoatID=0 Kind=periodic");
        if (i == 0) continue;
        EXPECT_GE(seen[i].first - seen[i - 1].first, kInterval - 0.1) << i;
        EXPECT_LE(seen[i].first - seen[i - 1].first, kInterval + kSlack) << i;
    }

    board_.put_card("0a1bc203");
    ASSERT_TRUE(wait_for_halt(1)) << err();
    board_.take_card("0a1bc203");
    ASSERT_EQ(board_.level(23), 1) << "granted";
    const auto is = [](const std::string& what) {
        return [what](const std::pair<double, std::string>& r) { return r.second == what; };
    };
    ASSERT_TRUE(wait_until([&] { return is("RFID=0a1bc203 BoatID=0 Kind=periodic")(timed_requests(log).back()); }, 10000));
    seen = timed_requests(log);
    const auto card = std::find_if(seen.begin(), seen.end(), is("RFID=0a1bc203 BoatID=0 Kind=card"));
    ASSERT_NE(card, seen.end());
    EXPECT_EQ(std::next(card)->second, "RFID=0a1bc203 BoatID=0 Kind=periodic") << "the card restarts the interval";
    EXPECT_GE(std::next(card)->first - card->first, kInterval - 0.1);
    EXPECT_LE(std::next(card)->first - card->first, kInterval + kSlack);

    // The server turns to a kill just after a periodic check-in: the next
    // one, an interval later, brings it.
    const size_t before = seen.size();
    ASSERT_TRUE(wait_until([&] { return timed_requests(log).size() > before; }, 10000));
    write_file(dir_.file("cards.txt"), "0a1bc203 KILL\n");
    const double ordered = monotonic_s();
    ASSERT_TRUE(wait_for_level(14, 1, 10000)) << err();
    const double killed = monotonic_s();
    EXPECT_LE(killed - ordered, kInterval + kSlack);
    EXPECT_EQ(board_.level(23), 0) << "the boat stopped";
    EXPECT_EQ(timed_requests(log).back().second, "RFID=0a1bc203 BoatID=0 Kind=periodic");
}

// Monotonic time stamps of the run relay's writes since `seq`, in order.
std::vector<std::pair<uint64_t, uint8_t>> run_relay_writes(TempBoard& board, uint64_t seq) {
    std::vector<std::pair<uint64_t, uint8_t>> out;
    for (const auto& e : board.events_since(seq))
        if (e.pin == 23) out.emplace_back(e.t_ns, e.level);
    return out;
}

// A 2 s session, then a second card whose check-in the server holds back
// (silent, dripping one byte a second, or answering a kill with an error
// status), or a stop signal during it: whatever the server does, the run
// relay drops within the paid time's second, the next one and a margin for
// a loaded machine. A silent server's transfer still ends at its time-out
// and leaves the boat stopped; a grant dripped in after the end starts it
// again; a stop signal ends the program at once.
TEST_F(Program, NoCheckInHoldsTheBoatPastItsPaidTime) {
    struct Case {
        const char* what;
        const char* answer;   // to the second card
        bool stop_signal;     // sent once the second check-in is under way
        const char* outcome;  // what the terminal says at the end
        uint8_t run, kill;    // relay levels at the end
    } cases[] = {
        {"silent server", "!hang", false, "Network Error Timeout was reached\r\n", 0, 0},
        {"dripping server", "!drip 1000 OK 0 600", false, "Expire Time Stamp ", 1, 0},
        {"stop signal during a silent exchange", "!hang", true, "", 0, 0},
        {"kill with an error status", "!status 500 KILL", false, "Kill Switch Active\r\n", 0, 1},
    };
    constexpr uint64_t kPaidNs = 2000000000, kLateNs = 3000000000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(start_server(std::string("0a1bc203 OK 0 2\n01020304 ") + c.answer + "\n"));
        write_file(dir_.file("terminal.err"), "");  // not the last case's start-up
        ASSERT_NO_FATAL_FAILURE(start_terminal());
        const uint64_t seq = board_.last_seq(), pulses = board_.state().signal_pulses;
        board_.put_card("0a1bc203");
        ASSERT_TRUE(wait_for_halt(pulses + 1)) << err();
        ASSERT_EQ(board_.level(23), 1);
        const size_t mark = err().size();
        board_.put_card("01020304");
        ASSERT_TRUE(wait_for_requests(2)) << err();
        if (c.stop_signal) {
            ASSERT_EQ(kill(terminal_.pid(), SIGTERM), 0);
            const auto sent = std::chrono::steady_clock::now();
            EXPECT_TRUE(terminal_.wait_exit(40000));
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - sent;
            EXPECT_LT(took.count(), 2.5) << "stopped late";
            printf("%s: ended %.2f s after the signal\n", c.what, took.count());
            EXPECT_EQ(terminal_.exit_status(), 0);
            EXPECT_EQ(board_.level(17) & board_.level(22) & board_.level(27), 1) << "LED off";
        } else {
            EXPECT_TRUE(wait_until([&] { return err().find(c.outcome, mark) != std::string::npos; }, 40000))
                << err().substr(mark);
        }
        const auto writes = run_relay_writes(board_, seq);
        EXPECT_GE(writes.size(), 2u) << "the run relay never dropped";
        if (writes.size() >= 2) {
            EXPECT_EQ(writes[0].second, 1);
            EXPECT_EQ(writes[1].second, 0);
            EXPECT_LE(writes[1].first - writes[0].first, kPaidNs + kLateNs) << "run relay held past the paid time";
            printf("%s: run relay dropped %.2f s after the grant of 2 s\n", c.what,
                   (writes[1].first - writes[0].first) / 1e9);
        }
        EXPECT_EQ(board_.level(23), c.run);
        EXPECT_EQ(board_.level(14), c.kill);
        terminal_.stop();
        server_.stop();
        boatsim::card_take_all(board_.state());
    }
}

// Served verbatim by the check-in server: only a well-formed grant starts
// the boat; an error page or an overflowing number is a failed exchange
// that leaves the session running; a kill or refusal behind white space or
// a byte-order mark is still one.
TEST_F(Program, OnlyAWellFormedGrantStartsTheBoat) {
    ASSERT_NO_FATAL_FAILURE(start_server(
        "090a0b0c OK 0 600\n"
        "01020304 <br />\\n<b>Warning</b>:  Undefined variable $Seconds in <b>/var/www/hullgate/checkin.php</b><br />\n"
        "05060708 OK 0 99999999999\n"
        "0d0e0f10  KILL\n"
        "11121314 \\xEF\\xBB\\xBF\\r\\nBAD\n"));
    ASSERT_NO_FATAL_FAILURE(start_terminal());
    const std::string failed = std::string(kBlue) + kRed + kBlue + kRed + kOff + kHalt;
    uint64_t pulses = 0;
    auto present = [&](const char* card) {
        board_.put_card(card);
        bool halted = wait_for_halt(++pulses);
        board_.take_card(card);
        return halted;
    };
    ASSERT_TRUE(present("090a0b0c")) << err();
    ASSERT_EQ(board_.level(23), 1);
    for (const char* card : {"01020304", "05060708"}) {
        uint64_t seq = board_.last_seq();
        ASSERT_TRUE(present(card)) << err();
        EXPECT_EQ(writes_since(seq), failed) << card;
    }
    EXPECT_EQ(count_of(err(), "Blue LED ONRed LED ONBlue LED ONRed LED ONAll LED OFFNetwork Error Bad answer\r\n"), 2)
        << err();
    EXPECT_EQ(board_.level(23), 1) << "the session runs on";

    uint64_t seq = board_.last_seq();
    ASSERT_TRUE(present("0d0e0f10")) << err();
    // Idle blinking may follow once the boat is stopped.
    EXPECT_EQ(writes_since(seq).rfind(std::string(kBlue) + kGreen + "23=0 14=1 23=0 " + kRed + kOff + kHalt, 0), 0u)
        << writes_since(seq);
    EXPECT_NE(err().find("Green LED ON KILL\r\nBoat Stopped\r\nKill Switch Active\r\n"), std::string::npos) << err();

    ASSERT_TRUE(present("090a0b0c")) << err();
    ASSERT_EQ(board_.level(23), 1);
    seq = board_.last_seq();
    ASSERT_TRUE(present("11121314")) << err();
    EXPECT_EQ(writes_since(seq).rfind(std::string(kBlue) + kGreen + "14=0 23=0 " + kRed + kOff + kHalt, 0), 0u)
        << writes_since(seq);
    EXPECT_NE(err().find("Green LED ON\xEF\xBB\xBF\r\nBAD\r\nKill Switch Off\r\n"), std::string::npos) << err();
    EXPECT_EQ(requests().size(), 6u);
}

// Standard error going away must not end the terminal (here: a pipe whose
// reader closed, so every message raises SIGPIPE), and a stop signal
// during a session leaves the boat stopped and the LED off, status 0.
TEST_F(Program, LivesOnWithoutStandardErrorAndStopsTheBoatOnSigterm) {
    ASSERT_NO_FATAL_FAILURE(start_server("01020304 KILL\n090a0b0c OK 0 600\n"));
    const std::string fifo = dir_.file("stderr.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    terminal_ = Process({{bin("checkin/boat_checkin")}, {board_.env()}, dir_.path(), "", fifo, ""});
    std::string early;
    bool started = wait_until([&] {
        char buf[256];
        for (ssize_t n; (n = read(reader, buf, sizeof buf)) > 0;) early.append(buf, static_cast<size_t>(n));
        return early.find("All LED OFF") != std::string::npos;
    }, 10000);
    close(reader);
    ASSERT_TRUE(started) << early;

    board_.put_card("090a0b0c");
    ASSERT_TRUE(wait_for_halt(1));
    EXPECT_EQ(board_.level(23), 1);
    board_.take_card("090a0b0c");
    board_.put_card("01020304");
    ASSERT_TRUE(wait_for_halt(2)) << "the terminal died: signal " << (terminal_.running() ? 0 : terminal_.term_signal());
    EXPECT_EQ(board_.level(14), 1) << "the kill was handled";
    board_.take_card("01020304");
    board_.put_card("090a0b0c");
    ASSERT_TRUE(wait_for_halt(3));
    ASSERT_EQ(board_.level(23), 1);
    ASSERT_EQ(board_.level(14), 0);

    uint64_t seq = board_.last_seq();
    ASSERT_EQ(kill(terminal_.pid(), SIGTERM), 0);
    ASSERT_TRUE(terminal_.wait_exit(10000));
    EXPECT_EQ(terminal_.exit_status(), 0);
    EXPECT_EQ(writes_since(seq), std::string("23=0 ") + kOff) << "StopBoat, then SetOff";
    EXPECT_EQ(board_.level(14), 0) << "the kill relay keeps its level";
    EXPECT_EQ(requests().size(), 3u);
}

// The wall clock steps an hour forward during one session and back during
// the next (as when time synchronisation comes up on a board without a
// real-time clock): each still runs for its seconds. A preloaded library
// moves the program's wall clock; the stamps it prints show the steps.
TEST_F(Program, SessionsKeepTheirLengthWhenTheWallClockSteps) {
    ASSERT_NO_FATAL_FAILURE(start_server("0a1bc203 OK 0 8\n01020304 OK 0 3\n"));
    const std::string shift = dir_.file("wall.shift");
    auto step_to = [&](const char* seconds) {
        write_file(shift + ".new", seconds);
        ASSERT_EQ(rename((shift + ".new").c_str(), shift.c_str()), 0);
    };
    step_to("0");
    const char* asan = getenv("ASAN_OPTIONS");
    terminal_ = Process({{bin("checkin/boat_checkin")},
                         {board_.env(), "LD_PRELOAD=" + bin("tests/checkin/libwall_clock_shift.so"), "BOATTEST_WALL_SHIFT=" + shift,
                          // the sanitizer runtime is no longer the first library
                          std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"},
                         dir_.path(),
                         "",
                         dir_.file("terminal.err"),
                         ""});
    ASSERT_TRUE(wait_for_message("All LED OFF")) << err();

    // Forward, just after the grant of an 8 s session.
    uint64_t seq = board_.last_seq();
    board_.put_card("0a1bc203");
    ASSERT_TRUE(wait_for_message("Expire Time Stamp ")) << err();
    ASSERT_NO_FATAL_FAILURE(step_to("3600"));
    ASSERT_TRUE(wait_for_level(23, 0, 30000)) << err();
    uint64_t started = 0, stopped = 0;
    for (const auto& e : board_.events_since(seq))
        if (e.pin == 23) (e.level ? started : stopped) = e.t_ns;
    ASSERT_NE(started, 0u);
    EXPECT_GT(stopped - started, 8000000000u) << "ended early";
    board_.take_card("0a1bc203");

    // Back, just after the grant of a 3 s session: it still ends.
    size_t mark = err().size();
    board_.put_card("01020304");
    ASSERT_TRUE(wait_until([&] { return err().find("Expire Time Stamp ", mark) != std::string::npos; }, 10000)) << err();
    ASSERT_NO_FATAL_FAILURE(step_to("0"));
    EXPECT_TRUE(wait_for_level(23, 0, 30000)) << "prolonged by the step: " << err().substr(mark);

    // The steps reached the program: the second session began an hour ahead.
    std::vector<long long> stamps;
    const std::string e = err();
    for (size_t at = 0; (at = e.find("Current Time Stamp ", at)) != std::string::npos; at++)
        stamps.push_back(std::atoll(e.c_str() + at + 19));
    ASSERT_EQ(stamps.size(), 2u) << e;
    EXPECT_GE(stamps[1] - stamps[0], 3600) << e;
}

// The terminal with an https link from its settings file (the server on
// another port than the compiled-in URL's, its CA file and pinned key)
// against an https check-in server: only a verified server, with the
// pinned key, that keeps the link https may start the boat; every other
// one is a network error that leaves it stopped.
TEST_F(Program, HttpsLinkOfTheSettingsFileStartsTheBoatOnlyOverAVerifiedServer) {
    ASSERT_FALSE(port_open(kHttpsPort)) << "something else listens on " << kHttpsPort;
    const std::string tls = dir_.file("tls");
    ASSERT_NO_FATAL_FAILURE(make_certs(tls));

    // A plain http server that would grant: reaching it would be a downgrade.
    ASSERT_TRUE(server_.start(kPort, {"--unknown", "OK 0 600"}, dir_.file("server.log"), dir_.file("http.err")))
        << server_.error();

    const std::string https_url = "https://127.0.0.1:" + std::to_string(kHttpsPort) + "/hullgate/checkin.php";
    const std::string http_url = "http://127.0.0.1:" + std::to_string(kPort) + "/hullgate/checkin.php";
    EtcFile settings("/etc/boat/terminal.conf", "# this fleet's server\nURL=" + https_url + "\nCA_FILE=" + tls +
                                                    "/ca.pem\nPINNED_KEY=" + dir_.file("pin.pem") + "\n");
    struct Case {
        const char* what;
        const char* cert;
        const char* pin;
        std::string redirect;
        std::string error;  // empty: granted
        size_t requests;    // reaching the https server
    } cases[] = {
        {"self-signed", "self.pem", "server.pub", "", "SSL peer certificate or SSH remote key was not OK", 0},
        {"wrong host name", "wronghost.pem", "server.pub", "", "SSL peer certificate or SSH remote key was not OK", 0},
        {"expired", "expired.pem", "server.pub", "", "SSL peer certificate or SSH remote key was not OK", 0},
        {"another key than the pinned one", "good.pem", "other.pub", "", "SSL public key does not match pinned public key",
         0},
        {"redirect down to http", "good.pem", "server.pub", http_url, "Unsupported protocol", 1},
        {"redirect loop", "good.pem", "server.pub", https_url, "Number of redirects hit maximum amount", 6},
        {"verified", "good.pem", "server.pub", "", "", 1},
    };
    terminal_ = Process({{bin("checkin/boat_checkin")}, {board_.env()}, dir_.path(), "", dir_.file("terminal.err"), ""});
    ASSERT_TRUE(wait_for_message("All LED OFF")) << err();
    uint64_t pulses = 0;
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(dir_.file("pin.pem"), read_file(tls + "/" + c.pin));
        std::vector<std::string> options = {"--unknown", "OK 0 600", "--tls-cert", tls + "/" + c.cert, "--tls-key",
                                            tls + "/server.key"};
        if (!c.redirect.empty()) options.insert(options.end(), {"--redirect", c.redirect});
        testsupport::CheckinServer https;
        ASSERT_TRUE(https.start(kHttpsPort, options, dir_.file("https" + std::to_string(++n) + ".log"),
                                dir_.file("https.err")))
            << https.error();

        const size_t mark = err().size();
        board_.put_card("0a1bc203");
        ASSERT_TRUE(wait_for_halt(++pulses)) << err();
        board_.take_card("0a1bc203");
        const std::string said = err().substr(mark);
        EXPECT_EQ(https.checkins().size(), c.requests);
        if (c.error.empty()) {
            EXPECT_NE(said.find("Green LED ONOK 0 600\r\n"), std::string::npos) << said;
            EXPECT_EQ(board_.level(23), 1) << "the boat runs";
        } else {
            EXPECT_NE(said.find("Network Error " + c.error + "\r\n"), std::string::npos) << said;
            EXPECT_EQ(said.find("Boat Started"), std::string::npos) << said;
            EXPECT_EQ(board_.level(23), 0) << "the boat stays stopped";
        }
        https.stop();
    }
    EXPECT_EQ(requests().size(), 0u) << "the plain http server was never asked";
}

// A server that asks every terminal for a client certificate its CA
// signed: the terminal shows the one of its settings file and is granted;
// without one, or with one the CA did not sign, the handshake is refused,
// which is a failed check-in that leaves the boat stopped.
TEST_F(Program, ClientCertificateOfTheSettingsFileOpensAServerThatAsksForIt) {
    ASSERT_FALSE(port_open(kHttpsPort)) << "something else listens on " << kHttpsPort;
    const std::string tls = dir_.file("tls");
    ASSERT_NO_FATAL_FAILURE(make_certs(tls));
    const std::string log = dir_.file("https.log");
    ASSERT_TRUE(server_.start(kHttpsPort,
                              {"--unknown", "OK 0 600", "--tls-cert", tls + "/good.pem", "--tls-key", tls + "/server.key",
                               "--client-ca", tls + "/ca.pem"},
                              log, dir_.file("https.err")))
        << server_.error();

    const std::string link = "URL=https://127.0.0.1:" + std::to_string(kHttpsPort) + "/hullgate/checkin.php\nCA_FILE=" +
                             tls + "/ca.pem\n";
    struct Case {
        const char* what;
        std::string client;  // settings lines
        bool granted;
    } cases[] = {
        {"no client certificate", "", false},
        {"one the CA did not sign", "CLIENT_CERT=" + tls + "/stranger.pem\nCLIENT_KEY=" + tls + "/client.key\n", false},
        {"the boat's own", "CLIENT_CERT=" + tls + "/client.pem\nCLIENT_KEY=" + tls + "/client.key\n", true},
    };
    size_t reached = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EtcFile settings("/etc/boat/terminal.conf", link + c.client);
        terminal_ = Process({{bin("checkin/boat_checkin")}, {board_.env()}, dir_.path(), "", dir_.file("terminal.err"), ""});
        ASSERT_TRUE(wait_for_message("All LED OFF")) << err();
        board_.put_card("0a1bc203");
        ASSERT_TRUE(wait_for_halt(board_.state().signal_pulses + 1)) << err();
        board_.take_card("0a1bc203");
        const std::string said = err();
        std::istringstream in(read_file(log));
        size_t now_reached = 0;
        for (std::string line; std::getline(in, line);) now_reached += line.rfind("checkin ", 0) == 0;
        if (c.granted) {
            EXPECT_EQ(now_reached, reached + 1);
            EXPECT_NE(said.find("Green LED ONOK 0 600\r\n"), std::string::npos) << said;
            EXPECT_EQ(board_.level(23), 1) << "the boat runs";
        } else {
            EXPECT_EQ(now_reached, reached) << "a refused handshake asks nothing";
            EXPECT_NE(said.find("Network Error "), std::string::npos) << said;
            EXPECT_EQ(said.find("Boat Started"), std::string::npos) << said;
            EXPECT_EQ(board_.level(23), 0) << "the boat stays stopped";
        }
        reached = now_reached;
        terminal_.stop();
    }
}

TEST_F(Program, HardwareSetUpFailureEndsWithStatus1) {
    start_terminal("BOATSIM_STATE=" + dir_.file("no-board.state"));
    ASSERT_TRUE(terminal_.wait_exit(10000));
    EXPECT_EQ(terminal_.exit_status(), 1);
    EXPECT_EQ(err().rfind("I Am Boat 0\r\n", 0), 0u) << err();
    EXPECT_EQ(err().find("Boat Stopped"), std::string::npos) << err();
}

// The card loop's pace: an idle pass pauses 200 ms, so no more than five
// passes fall in a second; blinking and the session's end come in the last
// of every 13 idle passes. The session ends on whole seconds of the
// terminal's boot-time clock, whose phase against the wall clock is any
// fraction of a second: the relay may drop up to one second of passes
// after the wall clock passed EndTime, beyond the blink cycle.
constexpr uint64_t kPassesPerBlink = 13;
constexpr uint64_t kIdlePassMs = 200;
constexpr uint64_t kPassesPerSecond = 1000 / kIdlePassMs;

// Passes of the card loop, counted in the program's SPI trace: each starts
// with REQA, the byte 26 written to FIFODataReg (tx 12 26) right after the
// command register was set to Idle (tx 02 00); no other frame begins so.
class PassCount {
public:
    explicit PassCount(std::string trace) : trace_(std::move(trace)) {}
    uint64_t operator()() {
        std::ifstream in(trace_);
        in.seekg(static_cast<std::streamoff>(offset_));
        std::string line;
        while (std::getline(in, line)) {
            if (in.eof()) break;  // a line still being written: read it next time
            offset_ += line.size() + 1;
            if (line.rfind("tx 12 26 |", 0) == 0 && last_.rfind("tx 02 00 |", 0) == 0) passes_++;
            last_ = line;
        }
        return passes_;
    }

private:
    std::string trace_;
    size_t offset_ = 0;
    std::string last_;
    uint64_t passes_ = 0;
};

// What the board counted at one moment.
struct Sample {
    double t;  // seconds, monotonic
    uint64_t transfers;
};

// Every fault family of the reader: a chip that resets, leaves the bus
// (MISO low or high) or switches its antenna off, a card that never
// completes a select, and a UID-writable card with a 4-byte UID starting
// with the cascade tag.
struct FaultCase {
    const char* name;
    const char* fault;   // set two seconds before the session's end, or none
    const char* card;    // put on the reader then, or none
    bool reader_lost;    // the watch reports the reader reset, lost and back
};

const FaultCase kFaultCases[] = {
    {"ChipReset", "rc522-reset", nullptr, true},
    {"ChipAbsentLow", "rc522-absent-low", nullptr, true},
    {"ChipAbsentHigh", "rc522-absent-high", nullptr, true},
    {"AntennaOff", "rc522-antenna-off", nullptr, true},
    {"CardNeverSelects", "card-no-select", "05060708", false},
    {"MagicCard", nullptr, "88a1b2c3", false},
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class ProgramFault : public Program, public ::testing::WithParamInterface<FaultCase> {
protected:
    void start_supervised_terminal() {
        // The program drops to user 500 before it says READY.
        ASSERT_EQ(chmod(notify_dir_.path().c_str(), 0755), 0);
        ASSERT_TRUE(notify_.ok()) << notify_.error();
        terminal_ = Process({{bin("checkin/boat_checkin")},
                             {board_.env(), "BOATSIM_SPI_TRACE=" + dir_.file("spi.trace"), "NOTIFY_SOCKET=" + notify_path_},
                             dir_.path(),
                             "",
                             dir_.file("terminal.err"),
                             ""});
        ASSERT_TRUE(wait_for_message("All LED OFF")) << err();
    }
    Sample sample() {
        boatsim::Lock lock(&board_.state());
        return {std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(),
                board_.state().spi.transfers};
    }
    static double rate(const Sample& a, const Sample& b) { return (b.transfers - a.transfers) / (b.t - a.t); }
    // Notifications received since the last call.
    std::vector<std::string> notified() {
        std::vector<std::string> out;
        for (const auto& m : notify_.drain(0)) out.push_back(m.raw);
        return out;
    }
    // EndTime of the last grant, as the terminal printed it.
    time_t end_time() {
        const std::string e = err();
        const size_t at = e.rfind("Expire Time Stamp ");
        return at == std::string::npos ? 0 : static_cast<time_t>(std::stoll(e.substr(at + 18)));
    }
    void set_fault(const char* name, bool on) {
        const boatsim::FaultInfo* f = boatsim::fault_by_name(name);
        ASSERT_NE(f, nullptr) << name;
        boatsim::fault_set(board_.state(), f->fault, on);
    }

    TempDir notify_dir_;
    std::string notify_path_ = notify_dir_.file("notify");
    testsupport::SyslogSink notify_{notify_path_};  // any datagram socket will do
    PassCount passes_{dir_.file("spi.trace")};
};

// A granted session, then the fault: the run relay drops within one blink
// cycle of passes after EndTime, the blink (and with it the count towards
// the periodic check-in) goes on, the SPI traffic stays at the idle pace's
// order, the loop keeps telling the watchdog, and once the fault is gone a
// card is read and checked in within a blink cycle of passes.
TEST_P(ProgramFault, SessionEndsInTimeAndCardsAreReadAgainAfterTheFault) {
    const FaultCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(start_server("0a1bc203 OK 0 2\n88a1b2c3 OK 0 2\n"));
    ASSERT_NO_FATAL_FAILURE(start_supervised_terminal());
    ASSERT_TRUE(wait_until([&] { return !notify_.drain(0).empty(); }, 10000)) << "no READY";

    // The idle pace: one blink cycle of passes without a card.
    const uint64_t p0 = passes_();
    const Sample idle0 = sample();
    ASSERT_TRUE(wait_until([&] { return passes_() >= p0 + kPassesPerBlink; }, 20000));
    const Sample idle1 = sample();

    board_.put_card("0a1bc203");
    ASSERT_TRUE(wait_for_halt(1)) << err();
    ASSERT_EQ(board_.level(23), 1);
    notified();
    const Sample fault0 = sample();
    if (c.fault) {
        ASSERT_NO_FATAL_FAILURE(set_fault(c.fault, true));
    }
    if (c.card) board_.put_card(c.card);
    if (std::string(c.name) == "MagicCard") {
        // Read as the 4-byte UID it is, and checked in as that.
        ASSERT_TRUE(wait_for_halt(2)) << err();
        EXPECT_EQ(requests().back(), "RFID=88a1b2c3 BoatID=0");
    }

    const time_t end = end_time();
    ASSERT_GT(end, 0) << err();
    ASSERT_TRUE(wait_until([&] { return time(nullptr) > end; }, 20000));
    const uint64_t p_end = passes_();
    ASSERT_TRUE(wait_for_level(23, 0, 20000)) << err();
    const uint64_t p_drop = passes_();
    EXPECT_LE(p_drop - p_end, kPassesPerBlink + kPassesPerSecond + 1)
        << "the expiry test runs in every blink cycle's last pass, on whole seconds of the boot-time clock";

    const uint64_t seq = board_.last_seq();
    const std::string blink = std::string(kBlue) + kBlue + kOff;
    ASSERT_TRUE(wait_until([&] { return writes_since(seq).find(blink) != std::string::npos; }, 20000))
        << writes_since(seq);
    const Sample fault1 = sample();
    const double idle_rate = rate(idle0, idle1), fault_rate = rate(fault0, fault1);
    EXPECT_LE(fault_rate, 4 * idle_rate) << "SPI transfers a second";
    const std::vector<std::string> kicks = notified();
    EXPECT_GE(kicks.size(), 1u) << "the loop tells the watchdog while the fault lasts";
    for (const auto& k : kicks) EXPECT_EQ(k, "WATCHDOG=1");

    boatsim::card_take_all(board_.state());
    if (c.fault) {
        ASSERT_NO_FATAL_FAILURE(set_fault(c.fault, false));
    }
    const uint64_t p_clear = passes_();
    const size_t n = requests().size();
    board_.put_card("0a1bc203");
    ASSERT_TRUE(wait_for_requests(n + 1, 20000)) << err();
    const uint64_t p_read = passes_();
    EXPECT_EQ(requests().back(), "RFID=0a1bc203 BoatID=0");
    EXPECT_LE(p_read - p_clear, kPassesPerBlink + 2) << "the watch checks once in a blink cycle";

    if (c.reader_lost) {
        ASSERT_TRUE(wait_for_message("Reader back\r\n")) << err();
    }
    const std::string e = err();
    const size_t reset = e.find("Reader reset\r\n"), lost = e.find("Reader lost\r\n"), back = e.find("Reader back\r\n");
    if (c.reader_lost) {
        EXPECT_LT(reset, lost) << e;
        EXPECT_LT(lost, back) << e;
        EXPECT_EQ(e.find("Reader", back + 1), std::string::npos) << "one message each: " << e;
    } else {
        EXPECT_EQ(e.find("Reader "), std::string::npos) << e;
    }
    printf("%s: %llu passes from EndTime to the relay drop, %llu from clearing to the next check-in; "
           "SPI %.0f/s idle, %.0f/s in the fault\n",
           c.name, static_cast<unsigned long long>(p_drop - p_end), static_cast<unsigned long long>(p_read - p_clear),
           idle_rate, fault_rate);
}

INSTANTIATE_TEST_SUITE_P(Faults, ProgramFault, ::testing::ValuesIn(kFaultCases),
                         [](const ::testing::TestParamInfo<FaultCase>& i) { return i.param.name; });

TEST_F(Program, PiBuildCannotReachThePeripheralsHereAndEndsWithStatus1) {
    const std::string rpi = testsupport::rpi_bin_dir() + "/checkin/boat_checkin";
    if (testsupport::rpi_bin_dir().empty()) GTEST_SKIP() << "configured without BOAT_RPI_BIN_DIR";
    ASSERT_EQ(access(rpi.c_str(), X_OK), 0) << rpi << " is not built";
    terminal_ = Process({{rpi}, {}, dir_.path(), "", dir_.file("terminal.err"), ""});
    ASSERT_TRUE(terminal_.wait_exit(10000));
    EXPECT_EQ(terminal_.exit_status(), 1);
    EXPECT_EQ(err().find("Boat Stopped"), std::string::npos) << err();
}

}  // namespace
