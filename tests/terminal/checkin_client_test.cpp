#include "terminal_fixture.h"

#include <chrono>
#include <climits>
#include <cstdint>

using namespace termtest;

namespace {

#define BOM "\xEF\xBB\xBF"

struct AnswerCase {
    const char* text;
    AnswerKind kind;
    bool numbers;
    int days;
    int seconds;
};

constexpr AnswerKind kKill = AnswerKind::kill, kBad = AnswerKind::bad, kGrant = AnswerKind::grant,
                     kInvalid = AnswerKind::invalid;

const AnswerCase kAnswers[] = {
    // Kills and refusals by their start, case-sensitively, after white
    // space and byte-order marks.
    {"KILL", kKill, false, 0, 0},
    {"KILLED", kKill, false, 0, 0},
    {" KILL", kKill, false, 0, 0},
    {"\r\n\tKILL\r\n", kKill, false, 0, 0},
    {BOM "KILL", kKill, false, 0, 0},
    {"BAD", kBad, false, 0, 0},
    {"BADGE", kBad, false, 0, 0},
    {" BAD", kBad, false, 0, 0},
    {"\r\nBAD", kBad, false, 0, 0},
    {BOM "BAD", kBad, false, 0, 0},
    {BOM " " BOM "\nBAD card", kBad, false, 0, 0},
    // Grants: two characters, then days and seconds as "%d %d" scans them.
    {"OK 3 7200", kGrant, true, 3, 7200},
    {"OK 3 7200\r\n", kGrant, true, 3, 7200},
    {"OK3 7200", kGrant, true, 3, 7200},
    {BOM "\nOK\t+3\r\n-60 ", kGrant, true, 3, -60},
    {"ok 007 0010", kGrant, true, 7, 10},
    {"OK -2147483648 2147483647", kGrant, true, INT_MIN, INT_MAX},
    // Two characters alone: the last grant's numbers.
    {"OK", kGrant, false, 0, 0},
    {"BA", kGrant, false, 0, 0},
    {" OK \r\n", kGrant, false, 0, 0},
    // Anything else is no answer.
    {"", kInvalid, false, 0, 0},
    {" \r\n", kInvalid, false, 0, 0},
    {"O", kInvalid, false, 0, 0},
    {"KIL", kInvalid, false, 0, 0},
    {"killed", kInvalid, false, 0, 0},
    {"\xEF\xBB" "BAD", kInvalid, false, 0, 0},
    {"OK 4", kInvalid, false, 0, 0},
    {"OK 4 \r\n", kInvalid, false, 0, 0},
    {"OK 3 7200 s", kInvalid, false, 0, 0},
    {"OK 3 72x", kInvalid, false, 0, 0},
    {"OK 3-5", kInvalid, false, 0, 0},
    {"OK 3,5", kInvalid, false, 0, 0},
    {"OK 0x10 5", kInvalid, false, 0, 0},
    {"OK - 5 5", kInvalid, false, 0, 0},
    {"OK 0 99999999999", kInvalid, false, 0, 0},
    {"OK 0 2147483648", kInvalid, false, 0, 0},
    {"OK -2147483649 0", kInvalid, false, 0, 0},
    {"<br />\n<b>Warning</b>:  Undefined variable $Seconds in <b>/var/www/hullgate/checkin.php</b> on line "
     "<b>12</b><br />\nOK 0 3600",
     kInvalid, false, 0, 0},
};

TEST(Answer, KillBadGrantOrNone) {
    for (const AnswerCase& c : kAnswers) {
        Answer a = classify_answer(c.text);
        EXPECT_EQ(a.kind, c.kind) << '"' << c.text << '"';
        EXPECT_EQ(a.numbers, c.numbers) << '"' << c.text << '"';
        if (a.numbers && c.numbers) {
            EXPECT_EQ(a.days, c.days) << c.text;
            EXPECT_EQ(a.seconds, c.seconds) << c.text;
        }
    }
}

// Exercised for both widths on every machine: the 32-bit rows are what a
// board with a 32-bit time_t computes.
TEST(SessionEnd, SaturatesAtTheEndsOfTheTimeType) {
    struct Case32 {
        int32_t start;
        int seconds;
        int32_t end;
    };
    const Case32 c32[] = {
        {1700000000, 7200, 1700007200}, {1700000000, -60, 1699999940}, {INT32_MAX - 100, 99, INT32_MAX - 1},
        {INT32_MAX - 100, 100, INT32_MAX}, {INT32_MAX - 100, 3600, INT32_MAX}, {1700000000, INT_MAX, INT32_MAX},
        {INT32_MIN + 10, -60, INT32_MIN}, {0, INT_MAX, INT_MAX}, {INT32_MAX, INT_MIN, -1},
    };
    for (const auto& c : c32) EXPECT_EQ(session_end<int32_t>(c.start, c.seconds), c.end) << c.start << " + " << c.seconds;
    struct Case64 {
        int64_t start;
        int seconds;
        int64_t end;
    };
    const Case64 c64[] = {
        {INT32_MAX - 100, 3600, INT32_MAX + 3500LL}, {1700000000, INT_MAX, 1700000000LL + INT_MAX},
        {INT64_MAX - 5, 10, INT64_MAX}, {INT64_MIN + 5, -10, INT64_MIN},
    };
    for (const auto& c : c64) EXPECT_EQ(session_end<int64_t>(c.start, c.seconds), c.end) << c.start << " + " << c.seconds;
}

TEST(SerialText, TwoDigitsPerByteInTheTerminalsCase) {
    const uint8_t uid[] = {0x0a, 0x1b, 0xc2, 0x03, 0xff, 0x00, 0x9e};
    char text[64];
    Terminal = &kCheckinTerminal;
    format_serial(uid, 4, text, sizeof text);
    EXPECT_STREQ(text, "0a1bc203");
    format_serial(uid, 7, text, sizeof text);
    EXPECT_STREQ(text, "0a1bc203ff009e");
    Terminal = &kTrackerTerminal;
    format_serial(uid, 4, text, sizeof text);
    EXPECT_STREQ(text, "0A1BC203");
    Terminal = &kCheckinTerminal;
    format_serial(uid, 7, text, 6);  // cut to whole bytes that fit
    EXPECT_STREQ(text, "0a1b");
}

TEST(WriteCallback, CollectsTheWholeBodyAcrossChunksUpTo511Bytes) {
    checkin_buffers_init();
    memset(InBuff, 'x', kInBuffSize);
    InBuffPointer = 0;
    char ki[] = "KI", ll[] = "LL";
    EXPECT_EQ(write_callback(ki, 1, 2, nullptr), 2u);
    EXPECT_EQ(write_callback(ll, 2, 1, nullptr), 2u);
    EXPECT_STREQ(InBuff, "KILL");
    EXPECT_EQ(InBuff[kInBuffSize - 1], 0) << "the first chunk clears the whole buffer";

    InBuffPointer = 0;
    std::string big(600, 'a');
    big[510] = 'b';
    big[511] = 'c';
    EXPECT_EQ(write_callback(big.data(), 1, 300, nullptr), 300u);
    EXPECT_EQ(write_callback(big.data() + 300, 1, 300, nullptr), 300u) << "never a short write";
    EXPECT_EQ(strlen(InBuff), 511u);
    EXPECT_EQ(InBuff[510], 'b');
    char more[] = "zz";
    EXPECT_EQ(write_callback(more, 1, 2, nullptr), 2u);
    EXPECT_EQ(strlen(InBuff), 511u);
}

TEST(BoatId, DecimalAtTheStartOfTheFileElseZero) {
    checkin_buffers_init();
    testsupport::TempDir dir;
    const std::string f = dir.file("boatid.txt");
    EXPECT_EQ(read_boat_id(f.c_str()), 0) << "missing file";
    testsupport::write_file(f, "12\n");
    EXPECT_EQ(read_boat_id(f.c_str()), 12);
    testsupport::write_file(f, "  -4 boats\n");
    EXPECT_EQ(read_boat_id(f.c_str()), -4);
    testsupport::write_file(f, "boat 12\n");
    EXPECT_EQ(read_boat_id(f.c_str()), 0);
    testsupport::write_file(f, std::string(300, '9'));  // longer than the buffer: stays terminated
    read_boat_id(f.c_str());
    EXPECT_LT(strlen(Buff), kBuffSize);
}

class Exchange : public BoardTest {
protected:
    std::string card(const char* serial) {
        testing::internal::CaptureStderr();
        card_checkin(serial);
        return testing::internal::GetCapturedStderr();
    }
    std::string periodic() {
        testing::internal::CaptureStderr();
        periodic_checkin();
        return testing::internal::GetCapturedStderr();
    }
    // A session granted just now, far from its end.
    void running_session() {
        Active = 1;
        StartTime = fake_clock.wall;
        StartMonotonic = fake_clock.monotonic_seconds();
        EndTime = fake_clock.wall + 600;
    }
    static std::string grant_lines(const std::string& answer, int days, long long start, long long end) {
        return "Kill Switch Off\r\n" + answer + "\r\nGreen LED ONBoat Started\r\nOnline for " + std::to_string(days) +
               " Days\r\nCurrent Time Stamp " + std::to_string(start) + "\r\nExpire Time Stamp " + std::to_string(end) +
               "\r\n";
    }
};

TEST_F(Exchange, GrantStartsTheBoatForItsSeconds) {
    server_.answer("OK 3 7200");
    BoatID = 12;
    LastCheckin = 55;
    EXPECT_EQ(card("0a1bc203"),
              "Blue LED ONGreen LED ONOK 3 7200\r\n" + grant_lines("OK 3 7200", 3, fake_clock.wall, fake_clock.wall + 7200));
    EXPECT_EQ(server_.queries(), std::vector<std::string>{"0a1bc203/12"});
    EXPECT_STREQ(Buff, (server_.url() + "?RFID=0a1bc203&BoatID=12").c_str());
    EXPECT_STREQ(LastRFID, "0a1bc203");
    EXPECT_EQ(Active, 1);
    EXPECT_EQ(LastCheckin, 0);
    EXPECT_EQ(Days, 3);
    EXPECT_EQ(Seconds, 7200);
    EXPECT_EQ(StartTime, fake_clock.wall);
    EXPECT_EQ(EndTime, fake_clock.wall + 7200);
    EXPECT_EQ(writes(), "17=1 22=0 27=1 17=0 22=1 27=1 14=0 17=0 22=1 27=1 23=1");
}

TEST_F(Exchange, GrantWithoutNumbersKeepsTheLastSeconds) {
    Seconds = 90;
    Days = 5;
    server_.answer("OK\r\n");  // two letters only: Days reset by the card check-in, Seconds kept
    card("01020304");
    EXPECT_EQ(Days, 0);
    EXPECT_EQ(Seconds, 90);
    EXPECT_EQ(EndTime, fake_clock.wall + 90);
    EXPECT_EQ(Active, 1);

    server_.answer("OK 1 -60");  // negative: ends before it started
    card("01020304");
    EXPECT_EQ(EndTime, fake_clock.wall - 60);
    session_expiry_step();
    EXPECT_EQ(Active, 0);
}

// An error page, a number out of range, half a grant, a grant cut at the
// buffer's end or hiding more behind a NUL: the exchange failed, and the
// running session goes on as it was.
TEST_F(Exchange, BodyThatIsNoAnswerFailsTheExchangeAndLeavesTheBoat) {
    const std::string bodies[] = {
        "<br />\n<b>Warning</b>:  Undefined variable $Seconds in <b>/var/www/hullgate/checkin.php</b><br />\n",
        "OK 0 99999999999",
        "OK 4",
        "killed",
        std::string("OK 0 60\0 and then some", 22),
        "OK 0 60" + std::string(600, ' '),
    };
    server_.answer("OK 2 600");
    card("0a1bc203");
    ASSERT_EQ(Active, 1);
    const time_t start = StartTime, end = EndTime;
    for (const std::string& body : bodies) {
        server_.answer(body);
        writes();
        EXPECT_EQ(card("0a1bc203"), "Blue LED ONRed LED ON<500000>Blue LED ON<500000>Red LED ON<500000>All LED OFF"
                                    "Network Error Bad answer\r\n")
            << body.substr(0, 40);
        EXPECT_EQ(writes(), "17=1 22=0 27=1 17=1 22=1 27=0 17=1 22=0 27=1 17=1 22=1 27=0 17=1 22=1 27=1")
            << "only the LED: " << body.substr(0, 40);
        EXPECT_EQ(periodic(), "Performing Check In\r\n") << body.substr(0, 40);
        EXPECT_EQ(writes(), "") << body.substr(0, 40);
        EXPECT_EQ(Active, 1);
        EXPECT_EQ(Days, 0);  // reset by the card check-in, as before every card
        EXPECT_EQ(Seconds, 600);
        EXPECT_EQ(StartTime, start);
        EXPECT_EQ(EndTime, end);
    }
    EXPECT_EQ(board_.level(23), 1);
    EXPECT_EQ(board_.level(14), 0);
}

// 2038-01-19T03:12:07Z on the wall clock, a one-hour grant: where time_t
// has 32 bits the session runs to the last second it can show, not round
// to 1901; elsewhere the full hour. Either way the stamps print right.
TEST_F(Exchange, GrantPastTheEndOfTimeTRunsAsLongAsFits) {
    fake_clock.wall = INT32_MAX - 100;
    const long long end = sizeof(time_t) == 4 ? 2147483647LL : 2147487147LL;
    server_.answer("OK 0 3600");
    EXPECT_EQ(card("0a1bc203"), "Blue LED ONGreen LED ONOK 0 3600\r\n" + grant_lines("OK 0 3600", 0, 2147483547LL, end));
    EXPECT_EQ(static_cast<long long>(EndTime), end);
    fake_clock.advance_monotonic_seconds(end - 2147483547LL);
    session_expiry_step();
    EXPECT_EQ(Active, 1);
    fake_clock.advance_monotonic_seconds(1);
    session_expiry_step();
    EXPECT_EQ(Active, 0);
}

TEST_F(Exchange, BadStopsTheBoatWithTwoSecondsOfRed) {
    running_session();
    server_.answer("BADGE");
    EXPECT_EQ(card("0a1bc203"),
              "Blue LED ONGreen LED ONBADGE\r\nKill Switch Off\r\nBADGE\r\nBoat Stopped\r\nRed LED ON<2000000>All LED OFF");
    EXPECT_EQ(Active, 0);
    EXPECT_EQ(board_.level(23), 0);
    EXPECT_EQ(board_.level(14), 0);
}

TEST_F(Exchange, KillSetsTheKillSwitchAndStopsTheBoat) {
    running_session();
    server_.answer("KILLED");
    EXPECT_EQ(card("0a1bc203"), "Blue LED ONGreen LED ONKILLED\r\nBoat Stopped\r\nKill Switch Active\r\nBoat Stopped\r\n"
                                "Red LED ON<2000000>All LED OFF");
    EXPECT_EQ(Active, 0);
    EXPECT_EQ(board_.level(14), 1);
    EXPECT_EQ(board_.level(23), 0);
    // A later grant releases the kill switch and starts the boat.
    server_.answer("OK 0 60");
    card("0a1bc203");
    EXPECT_EQ(board_.level(14), 0);
    EXPECT_EQ(board_.level(23), 1);
}

TEST_F(Exchange, KillSplitAcrossChunksIsAKill) {
    server_.on([](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("text/plain", [](size_t, httplib::DataSink& sink) {
            sink.write("KI", 2);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            sink.write("LL", 2);
            sink.done();
            return true;
        });
    });
    card("0a1bc203");
    EXPECT_STREQ(InBuff, "KILL");
    EXPECT_EQ(board_.level(14), 1);
}

TEST_F(Exchange, LongBodyIsCutTo511Bytes) {
    std::string body = "BAD " + std::string(596, 'x');
    server_.answer(body);
    running_session();
    EXPECT_EQ(card("0a1bc203"), "Blue LED ONGreen LED ON" + body.substr(0, 511) + "\r\nKill Switch Off\r\n" +
                                    body.substr(0, 511) + "\r\nBoat Stopped\r\nRed LED ON<2000000>All LED OFF");
    EXPECT_EQ(std::string(InBuff), body.substr(0, 511));
    EXPECT_EQ(Active, 0);
}

TEST_F(Exchange, EveryExchangeStartsWithAnEmptyAnswer) {
    server_.answer("OK 1 30");
    card("0a1bc203");
    server_.answer("");
    Active = 0;
    EXPECT_EQ(card("0a1bc203"), "Blue LED ONRed LED ON<500000>Blue LED ON<500000>Red LED ON<500000>All LED OFF"
                                "Network Error Empty answer\r\n");
    EXPECT_EQ(Active, 0) << "an empty body must not replay the last grant";
    EXPECT_EQ(board_.level(23), 1) << "the boat stays as it was";
}

// An error status never grants, but never hides a stop: its kill or
// refusal acts; any other error response is a failed exchange that leaves
// the session as it was.
TEST_F(Exchange, ErrorStatusNeverGrantsButItsKillOrRefusalActs) {
    const std::string failed = "Blue LED ONRed LED ON<500000>Blue LED ON<500000>Red LED ON<500000>All LED OFF"
                               "Network Error HTTP response code said error\r\n";
    struct Case {
        int status;
        const char* body;
        std::string said;
        int active, run, kill;
    } cases[] = {
        {404, "Not Found", failed, 1, 1, 0},
        {500, "OK 0 600", failed, 1, 1, 0},
        {503, "", failed, 1, 1, 0},
        {500, "KILL", "Blue LED ONGreen LED ONKILL\r\nBoat Stopped\r\nKill Switch Active\r\nBoat Stopped\r\n"
                      "Red LED ON<2000000>All LED OFF", 0, 0, 1},
        {403, " BAD card", "Blue LED ONGreen LED ON BAD card\r\nKill Switch Off\r\n BAD card\r\nBoat Stopped\r\n"
                           "Red LED ON<2000000>All LED OFF", 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
        server_.answer("OK 0 600");
        card("01020304");
        running_session();
        const time_t end = EndTime;
        server_.answer(c.body, c.status);
        EXPECT_EQ(card("0a1bc203"), c.said);
        EXPECT_EQ(Active, c.active);
        EXPECT_EQ(EndTime, end);
        EXPECT_EQ(board_.level(23), c.run);
        EXPECT_EQ(board_.level(14), c.kill);
        EXPECT_STREQ(LastRFID, "0a1bc203") << "the handle was obtained";
    }
}

// The server holds the transfer past the paid end: the watch inside the
// transfer stops the boat and ends the session, the LED stays blue until
// the outcome; a grant that then arrives starts the boat again.
TEST_F(Exchange, PaidTimeIsWatchedDuringTheTransfer) {
    server_.answer("OK 0 600");
    card("01020304");
    running_session();
    fake_clock.advance_monotonic_seconds(601);  // the paid end has passed; the server takes its time
    server_.on([](const httplib::Request&, httplib::Response& res) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        res.set_content("OK 0 30", "text/plain");
    });
    writes();
    EXPECT_EQ(card("0a1bc203"), "Blue LED ONBoat Stopped\r\nGreen LED ONOK 0 30\r\n" +
                                    grant_lines("OK 0 30", 0, fake_clock.wall, fake_clock.wall + 30));
    EXPECT_EQ(writes(), "17=1 22=0 27=1 23=0 17=0 22=1 27=1 14=0 17=0 22=1 27=1 23=1");
    EXPECT_EQ(Active, 1);

    // Not before the end: a slow answer within the paid time leaves the boat.
    server_.on([](const httplib::Request&, httplib::Response& res) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        res.set_content("BAD", "text/plain");
    });
    testing::internal::CaptureStderr();
    periodic_checkin();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Performing Check In\r\nKill Switch Off\r\nBAD\r\nBoat Stopped\r\n");
}

TEST_F(Exchange, RedirectIsFollowed) {
    server_.on([](const httplib::Request& req, httplib::Response& res) {
        if (req.has_param("hop"))
            res.set_content("OK 2 45", "text/plain");
        else
            res.set_redirect("/hullgate/checkin.php?hop=1&RFID=x&BoatID=0");
    });
    card("0a1bc203");
    EXPECT_EQ(Active, 1);
    EXPECT_EQ(Seconds, 45);
}

TEST_F(Exchange, ServerDownIsANetworkError) {
    URL = "http://127.0.0.1:1/hullgate/checkin.php";
    std::string err = card("0a1bc203");
    EXPECT_EQ(err, "Blue LED ONRed LED ON<500000>Blue LED ON<500000>Red LED ON<500000>All LED OFF"
                   "Network Error Couldn't connect to server\r\n");
}

TEST_F(Exchange, PeriodicCheckInUsesTheLastCardAndKeepsTheLedExceptForGrantAndKill) {
    server_.answer("OK 0 100");
    EXPECT_EQ(periodic(), "Performing Check In\r\n" + grant_lines("OK 0 100", 0, fake_clock.wall, fake_clock.wall + 100));
    EXPECT_EQ(server_.queries().back(), "/7") << "before any card: empty RFID";

    strcpy(LastRFID, "0a1bc203");
    LastCheckin = 10001;
    Days = 9;
    server_.answer("BAD");
    EXPECT_EQ(periodic(), "Performing Check In\r\nKill Switch Off\r\nBAD\r\nBoat Stopped\r\n");
    EXPECT_EQ(server_.queries().back(), "0a1bc203/7");
    EXPECT_EQ(Active, 0);
    EXPECT_EQ(LastCheckin, 0);
    EXPECT_EQ(Days, 9) << "the periodic check-in does not reset Days";

    server_.answer("KILL");
    EXPECT_EQ(periodic(), "Performing Check In\r\nBoat Stopped\r\nKill Switch Active\r\nBoat Stopped\r\nRed LED ON<2000000>All LED OFF");

    server_.answer("", 500);
    running_session();
    EXPECT_EQ(periodic(), "Performing Check In\r\n") << "failures are silent";
    EXPECT_EQ(Active, 1);

    server_.answer("KILL", 500);
    EXPECT_EQ(periodic(), "Performing Check In\r\nBoat Stopped\r\nKill Switch Active\r\nBoat Stopped\r\nRed LED ON<2000000>All LED OFF");
    EXPECT_EQ(Active, 0);
}

TEST_F(Exchange, TrackerReportsTheTransferAndSendsUpperCase) {
    Terminal = &kTrackerTerminal;
    server_.answer("OK 0 10");
    std::string err = card("0A1BC203");
    std::string request = server_.url() + "?RFID=0A1BC203&BoatID=7";
    EXPECT_EQ(err.rfind("Blue LED ON\r\nDo CURL\r\nContacting " + request + "\r\nCURL OK \r\nGreen LED ON\r\nOK 0 10\r\n", 0), 0u)
        << err;
    EXPECT_EQ(periodic().rfind("Performing Check In\r\nContacting " + request + "\r\n", 0), 0u);
}

}  // namespace

namespace {
int g_alive_calls = 0;
}  // namespace

// A transfer is one of the loop's waits: while the server takes its time
// the watchdog is still told the loop is alive, at least once a second.
TEST_F(Exchange, ASlowServerLeavesTheLoopAliveForTheWatchdog) {
    server_.on([](const httplib::Request&, httplib::Response& res) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2200));
        res.set_content("OK 0 60", "text/plain");
    });
    g_alive_calls = 0;
    void (*saved)() = terminal_alive;
    terminal_alive = [] { g_alive_calls++; };
    card("0a1bc203");
    terminal_alive = saved;
    EXPECT_EQ(Active, 1) << "the slow answer still counts";
    EXPECT_GE(g_alive_calls, 2);
}
