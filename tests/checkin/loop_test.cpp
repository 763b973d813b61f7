#include "checkin_loop.h"
#include "fake_reader.h"
#include "reader.h"
#include "terminal_fixture.h"

#include <unistd.h>

using namespace termtest;

namespace {

int g_sleeps = 0;
int counting_usleep(useconds_t us) {
    EXPECT_EQ(us, 200000u);
    g_sleeps++;
    return 0;
}

class Loop : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        fakereader::reset();
        Counter = 0;
        use_gpio = 1;
        gpio = 18;
        g_sleeps = 0;
        terminal_usleep = counting_usleep;
        server_.answer("OK 0 60");
    }
    // One pass with its stderr.
    std::string pass() {
        testing::internal::CaptureStderr();
        checkin_pass();
        return testing::internal::GetCapturedStderr();
    }
    void idle(int n) {
        for (int i = 0; i < n; i++) checkin_pass();
    }
};

TEST_F(Loop, IdleBlinkIsBlueAtThe11thAnd12thPollAndOffAtThe13th) {
    for (int cycle = 0; cycle < 2; cycle++) {
        for (int i = 1; i <= 10; i++) EXPECT_EQ(pass(), "") << "poll " << i;
        EXPECT_EQ(writes(), "");
        EXPECT_EQ(pass(), "Blue LED ON");
        EXPECT_EQ(pass(), "Blue LED ON");
        EXPECT_EQ(writes(), "17=1 22=0 27=1 17=1 22=0 27=1");
        EXPECT_EQ(pass(), "All LED OFF");
        EXPECT_EQ(writes(), "17=1 22=1 27=1");
        EXPECT_EQ(Counter, 0);
    }
    EXPECT_EQ(g_sleeps, 26);
    EXPECT_EQ(LastCheckin, 26);
}

// Timed on the monotonic clock: the wall clock stepping forward past
// EndTime does not end it, stepping back before StartTime does not
// prolong it.
TEST_F(Loop, SessionEndsOnlyAtThe13thPollAfterItsSecondsHavePassed) {
    Active = 1;
    StartTime = fake_clock.wall;
    EndTime = fake_clock.wall + 100;
    StartMonotonic = fake_clock.monotonic_seconds();
    idle(12);
    EXPECT_EQ(writes(), "") << "no blinking during a session";
    fake_clock.wall += 7200;
    fake_clock.advance_monotonic_seconds(100);
    EXPECT_EQ(pass(), "") << "not at T";
    EXPECT_EQ(Active, 1);
    fake_clock.wall -= 86400;
    fake_clock.advance_monotonic_seconds(1);
    idle(12);
    EXPECT_EQ(Active, 1) << "only the 13th poll tests";
    EXPECT_EQ(pass(), "All LED OFFBoat Stopped\r\n");
    EXPECT_EQ(Active, 0);
    EXPECT_EQ(writes(), "17=1 22=1 27=1 23=0");
}

TEST_F(Loop, PeriodicCheckInAfter10001IdlePolls) {
    strcpy(LastRFID, "0a1bc203");
    idle(10000);
    EXPECT_TRUE(server_.queries().empty());
    EXPECT_EQ(LastCheckin, 10000);
    std::string err = pass();
    EXPECT_EQ(err.rfind("Performing Check In\r\n", 0), 0u) << err;
    EXPECT_EQ(server_.queries(), std::vector<std::string>{"0a1bc203/7"});
    EXPECT_EQ(LastCheckin, 0);
    EXPECT_EQ(Active, 1);
    idle(10000);
    EXPECT_EQ(server_.queries().size(), 1u);
}

TEST_F(Loop, CardIsCheckedInAndHaltedWithTheSignalPinHigh) {
    LastCheckin = 5000;
    Counter = 7;
    fakereader::find_script = {READER_OK};
    std::string err = pass();
    EXPECT_EQ(err.rfind("Serial: 0a1bc203\nBlue LED ON", 0), 0u) << err;
    EXPECT_EQ(server_.queries(), std::vector<std::string>{"0a1bc203/7"});
    EXPECT_EQ(fakereader::halt_calls, 1);
    std::string w = writes();
    EXPECT_EQ(w.substr(w.size() - 9), "18=1 18=0") << w;
    EXPECT_EQ(g_sleeps, 0) << "no sleep after a card";
    EXPECT_EQ(LastCheckin, 0);
    EXPECT_EQ(Counter, 7);
    EXPECT_EQ(Active, 1);

    // Several cards at once are handled like one; a 7-byte serial.
    fakereader::card_uid = {0x04, 0xA2, 0x3B, 0x5C, 0x6D, 0x7E, 0x80};
    fakereader::find_script = {READER_COLLISION};
    err = pass();
    EXPECT_EQ(err.rfind("Serial: 04a23b5c6d7e80\n", 0), 0u) << err;
    EXPECT_EQ(fakereader::halt_calls, 2);

    // Without the signal pin nothing but the halt.
    use_gpio = 0;
    fakereader::find_script = {READER_OK};
    writes();
    pass();
    EXPECT_EQ(writes().find("18="), std::string::npos);
    EXPECT_EQ(fakereader::halt_calls, 3);
}

// A reader error, or a card that answers but cannot be selected, makes a
// pass like an idle poll: it sleeps and counts, so the blink, the end of
// the session and the periodic check-in go on whatever the reader does.
TEST_F(Loop, PassesThatReadNoCardAreIdlePolls) {
    struct Case {
        const char* what;
        uint8_t find;
        uint8_t select;  // when find_tag found a card
    };
    for (const Case& c : {Case{"reader error", READER_ERROR, READER_OK}, Case{"other code", READER_CRC_ERROR, READER_OK},
                          Case{"card never selected", READER_OK, READER_ERROR},
                          Case{"cards never selected", READER_COLLISION, READER_ERROR}}) {
        SCOPED_TRACE(c.what);
        fakereader::reset();
        fakereader::select_status = c.select;
        Active = 0;
        Counter = 0;
        LastCheckin = 0;
        g_sleeps = 0;
        strcpy(LastRFID, "0a1bc203");
        writes();
        std::string err;
        for (int i = 0; i < 13; i++) {
            fakereader::find_script = {c.find};
            err += pass();
        }
        EXPECT_EQ(err, "Blue LED ONBlue LED ONAll LED OFF");
        EXPECT_EQ(writes(), "17=1 22=0 27=1 17=1 22=0 27=1 17=1 22=1 27=1");
        EXPECT_EQ(g_sleeps, 13);
        EXPECT_EQ(Counter, 0);
        EXPECT_EQ(LastCheckin, 13);
        EXPECT_EQ(fakereader::halt_calls, 0);

        // An expired session ends, and the periodic check-in reaches the server.
        Active = 1;
        StartTime = fake_clock.wall - 70;
        EndTime = fake_clock.wall - 10;
        StartMonotonic = fake_clock.monotonic_seconds() - 70;
        Counter = 12;
        LastCheckin = 10000;
        const size_t queries = server_.queries().size();
        fakereader::find_script = {c.find};
        err = pass();
        EXPECT_EQ(err.rfind("All LED OFFBoat Stopped\r\nPerforming Check In\r\n", 0), 0u) << err;
        EXPECT_EQ(err.find("Serial:"), std::string::npos) << err;
        ASSERT_EQ(server_.queries().size(), queries + 1);
        EXPECT_EQ(server_.queries().back(), "0a1bc203/7");
        EXPECT_EQ(LastCheckin, 0);
        EXPECT_EQ(g_sleeps, 14);
    }
}

// A card read in every pass (one that ignores HLTA) while the server is
// out of reach: the session still ends on time, within the card pass.
TEST_F(Loop, CardPassesEndAnExpiredSessionToo) {
    terminal_usleep = fake_usleep;  // the failed check-in's LED pauses
    const std::string url = "http://127.0.0.1:1/hullgate/checkin.php";  // nothing listens there
    URL = url.c_str();
    Active = 1;
    StartTime = fake_clock.wall;
    EndTime = fake_clock.wall + 5;
    StartMonotonic = fake_clock.monotonic_seconds();
    for (int i = 0; i < 3; i++) {
        fakereader::find_script = {READER_OK};
        std::string err = pass();
        EXPECT_NE(err.find("Network Error"), std::string::npos) << err;
        EXPECT_EQ(Active, 1) << "not before its time";
    }
    fake_clock.wall = EndTime + 1;
    fake_clock.advance_monotonic_seconds(6);
    fakereader::find_script = {READER_OK};
    std::string err = pass();
    const std::string stopped = "Boat Stopped\r\n", failed = "All LED OFFNetwork Error Couldn't connect to server\r\n";
    EXPECT_NE(err.find(stopped), std::string::npos) << err;
    EXPECT_EQ(err.find(stopped), err.rfind(stopped)) << "stopped once: " << err;
    EXPECT_EQ(err.substr(err.size() - std::min(err.size(), failed.size())), failed) << err;
    EXPECT_EQ(Active, 0);
    EXPECT_EQ(board_.level(23), 0);
    EXPECT_EQ(fakereader::halt_calls, 4);
    EXPECT_EQ(Counter, 0) << "card passes are no idle polls";
}

TEST_F(Loop, ReaderWatchRunsEveryPassAndItsEventsArePrinted) {
    fakereader::watch_script = {0, WATCH_RESET | WATCH_LOST, 0, WATCH_BACK, WATCH_RESET};
    fakereader::find_script = {READER_ERROR, READER_NO_TAG, READER_ERROR, READER_NO_TAG, READER_OK};
    EXPECT_EQ(pass(), "");
    EXPECT_EQ(pass(), "Reader reset\r\nReader lost\r\n");
    EXPECT_EQ(pass(), "");
    EXPECT_EQ(pass(), "Reader back\r\n");
    std::string err = pass();  // a card pass
    EXPECT_EQ(err.rfind("Serial: 0a1bc203\n", 0), 0u) << err;
    EXPECT_NE(err.find("Reader reset\r\n"), std::string::npos) << err;
    EXPECT_EQ(fakereader::watch_calls, 5);
    EXPECT_EQ(fakereader::halt_calls, 1);
}

// checkin_startup in a directory with boatid.txt holding 12, rights kept.
std::string startup_err(int* result) {
    testsupport::TempDir dir;
    testsupport::write_file(dir.file("boatid.txt"), "12\n");
    char old_cwd[4096];
    EXPECT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
    EXPECT_EQ(chdir(dir.path().c_str()), 0);
    checkin_drop_identity = [](uid_t) { return 0; };
    testing::internal::CaptureStderr();
    *result = checkin_startup();
    std::string err = testing::internal::GetCapturedStderr();
    checkin_drop_identity = setuid;
    EXPECT_EQ(chdir(old_cwd), 0);
    return err;
}

TEST_F(Loop, StartUpReportsAReaderThatIsNotThereAndRunsOn) {
    struct Case {
        uint8_t version;
        const char* message;
    };
    for (const Case& c : {Case{0x92, ""}, Case{0x91, ""}, Case{0x00, "Reader not found (version 0x00)\r\n"},
                          Case{0xFF, "Reader not found (version 0xff)\r\n"}}) {
        fakereader::reset();
        fakereader::version = c.version;
        int r = -1;
        EXPECT_EQ(startup_err(&r), std::string("I Am Boat 12\r\n") + c.message + "Boat Stopped\r\nAll LED OFF");
        EXPECT_EQ(r, 0);
        EXPECT_EQ(fakereader::init_calls, 1);
    }
}

TEST_F(Loop, StartUpOrder) {
    testsupport::TempDir dir;
    testsupport::write_file(dir.file("boatid.txt"), "12\n");
    char old_cwd[4096];
    ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    static uid_t switched_to;
    static int init_calls_at_switch;
    switched_to = 0;
    init_calls_at_switch = -1;
    checkin_drop_identity = [](uid_t uid) {
        switched_to = uid;
        init_calls_at_switch = fakereader::init_calls;
        return 0;
    };
    Active = 1;
    LastCheckin = 3;
    Counter = 4;
    testing::internal::CaptureStderr();
    int r = checkin_startup();
    std::string err = testing::internal::GetCapturedStderr();
    checkin_drop_identity = setuid;
    ASSERT_EQ(chdir(old_cwd), 0);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(err, "I Am Boat 12\r\nBoat Stopped\r\nAll LED OFF");
    EXPECT_EQ(BoatID, 12);
    EXPECT_EQ(switched_to, 500u);
    EXPECT_EQ(init_calls_at_switch, 0) << "rights dropped before the reader is set up";
    EXPECT_EQ(fakereader::init_calls, 1);
    for (uint8_t pin : {17, 22, 27, 23, 14}) EXPECT_EQ(board_.state().gpio[pin].fsel, BCM2835_GPIO_FSEL_OUTP);
    EXPECT_EQ(writes(), "18=0 23=0 17=1 22=1 27=1");
    EXPECT_EQ(Active + LastCheckin + Counter, 0);
}

}  // namespace
