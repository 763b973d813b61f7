#include "terminal_fixture.h"

#include <chrono>

using namespace termtest;

namespace {

TEST(AnswerKind, ClassifiedByItsStartCaseSensitively) {
    EXPECT_EQ(classify_answer("KILL"), AnswerKind::kill);
    EXPECT_EQ(classify_answer("KILLED"), AnswerKind::kill);
    EXPECT_EQ(classify_answer("killed"), AnswerKind::grant);
    EXPECT_EQ(classify_answer("KIL"), AnswerKind::grant);
    EXPECT_EQ(classify_answer("BAD"), AnswerKind::bad);
    EXPECT_EQ(classify_answer("BADGE"), AnswerKind::bad);
    EXPECT_EQ(classify_answer("BA"), AnswerKind::grant);
    EXPECT_EQ(classify_answer("OK 3 7200"), AnswerKind::grant);
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
    EXPECT_EQ(card("0a1bc203"), "Blue LED ONGreen LED ONOK 3 7200\r\n" + grant_lines("OK 3 7200", 3, g_now, g_now + 7200));
    EXPECT_EQ(server_.queries(), std::vector<std::string>{"0a1bc203/12"});
    EXPECT_STREQ(Buff, (server_.url() + "?RFID=0a1bc203&BoatID=12").c_str());
    EXPECT_STREQ(LastRFID, "0a1bc203");
    EXPECT_EQ(Active, 1);
    EXPECT_EQ(LastCheckin, 0);
    EXPECT_EQ(Days, 3);
    EXPECT_EQ(Seconds, 7200);
    EXPECT_EQ(StartTime, g_now);
    EXPECT_EQ(EndTime, g_now + 7200);
    EXPECT_EQ(writes(), "17=1 22=0 27=1 17=0 22=1 27=1 14=0 17=0 22=1 27=1 23=1");
}

TEST_F(Exchange, GrantNumbersThatDoNotScanKeepTheirValues) {
    Seconds = 90;
    Days = 5;
    server_.answer("OK");  // two letters only: Days reset by the card check-in, Seconds kept
    card("01020304");
    EXPECT_EQ(Days, 0);
    EXPECT_EQ(Seconds, 90);
    EXPECT_EQ(EndTime, g_now + 90);
    EXPECT_EQ(Active, 1);

    server_.answer("OK 4");  // only the first number
    card("01020304");
    EXPECT_EQ(Days, 4);
    EXPECT_EQ(Seconds, 90);

    server_.answer("OK 1 -60");  // negative: ends before it started
    card("01020304");
    EXPECT_EQ(EndTime, g_now - 60);

    server_.answer("O");  // shorter than the two skipped characters
    card("01020304");
    EXPECT_EQ(Days, 0);
    EXPECT_EQ(Seconds, -60);
}

TEST_F(Exchange, BadStopsTheBoatWithTwoSecondsOfRed) {
    Active = 1;
    server_.answer("BADGE");
    EXPECT_EQ(card("0a1bc203"),
              "Blue LED ONGreen LED ONBADGE\r\nKill Switch Off\r\nBADGE\r\nBoat Stopped\r\nRed LED ON<2000000>All LED OFF");
    EXPECT_EQ(Active, 0);
    EXPECT_EQ(board_.level(23), 0);
    EXPECT_EQ(board_.level(14), 0);
}

TEST_F(Exchange, KillSetsTheKillSwitchAndStopsTheBoat) {
    Active = 1;
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
    std::string body = "OK 1 30" + std::string(593, 'x');
    server_.answer(body);
    card("0a1bc203");
    EXPECT_EQ(std::string(InBuff), body.substr(0, 511));
    EXPECT_EQ(Seconds, 30);
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

TEST_F(Exchange, HttpErrorIsAFailedTransfer) {
    server_.answer("Not Found", 404);
    Active = 1;
    EndTime = 123;
    std::string err = card("0a1bc203");
    EXPECT_EQ(err, "Blue LED ONRed LED ON<500000>Blue LED ON<500000>Red LED ON<500000>All LED OFF"
                   "Network Error HTTP response code said error\r\n");
    EXPECT_EQ(Active, 1);
    EXPECT_EQ(EndTime, 123);
    EXPECT_STREQ(LastRFID, "0a1bc203") << "the handle was obtained";
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
    EXPECT_EQ(periodic(), "Performing Check In\r\n" + grant_lines("OK 0 100", 0, g_now, g_now + 100));
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
    Active = 1;
    EXPECT_EQ(periodic(), "Performing Check In\r\n") << "failures are silent";
    EXPECT_EQ(Active, 1);
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
