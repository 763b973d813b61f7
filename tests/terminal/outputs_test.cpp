#include "terminal_fixture.h"

#include "private_mounts.h"
#include "process.h"

#include <sys/wait.h>
#include <unistd.h>

using namespace termtest;

namespace {

struct OutputCase {
    void (*op)();
    const char* name;
    const char* checkin_writes;
    const char* checkin_message;
    const char* tracker_writes;
    const char* tracker_message;
};

const OutputCase kOutputs[] = {
    {SetBlue, "SetBlue", "17=1 22=0 27=1", "Blue LED ON", "17=1 22=0 27=1", "Blue LED ON\r\n"},
    {SetRed, "SetRed", "17=1 22=1 27=0", "Red LED ON", "17=1 22=1 27=0", "Red LED ON\r\n"},
    {SetGreen, "SetGreen", "17=0 22=1 27=1", "Green LED ON", "17=0 22=1 27=1", "Green LED ON\r\n"},
    {SetOff, "SetOff", "17=1 22=1 27=1", "All LED OFF", "17=1 22=1 27=1", "All LED OFF\r\n"},
    {StartBoat, "StartBoat", "23=1", "Boat Started\r\n", "15=0", "Boat Started\r\n"},
    {StopBoat, "StopBoat", "23=0", "Boat Stopped\r\n", "15=1", "Boat Stopped\r\n"},
    {UnKillBoat, "UnKillBoat", "14=0", "Kill Switch Off\r\n", "4=0", "Kill Switch Off\r\n"},
    {KillBoat, "KillBoat", "14=1 23=0", "Kill Switch Active\r\nBoat Stopped\r\n", "4=1 15=1",
     "Kill Switch Active\r\nBoat Stopped\r\n"},
};

using OutputsTest = BoardTest;

TEST_F(OutputsTest, EightOutputsOfBothTerminalsDriveTheirPinsInOrderAndSayTheirMessage) {
    for (const TerminalProfile* profile : {&kCheckinTerminal, &kTrackerTerminal}) {
        Terminal = profile;
        const bool checkin = profile == &kCheckinTerminal;
        for (const auto& c : kOutputs) {
            // Twice: every call re-drives its pins and repeats its message.
            for (int round = 0; round < 2; round++) {
                writes();
                testing::internal::CaptureStderr();
                c.op();
                std::string err = testing::internal::GetCapturedStderr();
                EXPECT_EQ(writes(), checkin ? c.checkin_writes : c.tracker_writes) << c.name << (checkin ? " checkin" : " tracker");
                EXPECT_EQ(err, checkin ? c.checkin_message : c.tracker_message) << c.name;
            }
        }
    }
}

TEST_F(OutputsTest, CheckinLedMessagesShareTheLineWithWhatFollows) {
    testing::internal::CaptureStderr();
    SetBlue();
    StartBoat();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Blue LED ONBoat Started\r\n");
    EXPECT_EQ(board_.level(22), 0);
    EXPECT_EQ(board_.level(17), 1);
    EXPECT_EQ(board_.level(23), 1);
}

// HW_init on a fresh board, closed again afterwards.
class HwInitTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("BOATSIM_STATE", board_.path().c_str(), 1); }
    void TearDown() override {
        Terminal = &kCheckinTerminal;
        bcm2835_close();
    }
    uint16_t divider_for(uint32_t speed) {
        EXPECT_EQ(HW_init(speed, 255), 0);
        uint16_t d = board_.state().spi.divider;
        bcm2835_close();
        return d;
    }
    testsupport::TempBoard board_{boatsim::Profile::checkin};
};

TEST_F(HwInitTest, DividerIsCoreClockOverSpeedInSixteenBits) {
    EXPECT_EQ(divider_for(5000), 50);
    EXPECT_EQ(divider_for(125000), 2);
    EXPECT_EQ(divider_for(4), 62500);
    EXPECT_EQ(divider_for(10000000), 0);
    EXPECT_EQ(divider_for(1), 53392);
}

TEST_F(HwInitTest, TrackerAlwaysUsesDivider256) {
    Terminal = &kTrackerTerminal;
    EXPECT_EQ(divider_for(5000), 256);
    EXPECT_EQ(divider_for(1), 256);
}

TEST_F(HwInitTest, ConfiguresSpi0ForTheReaderAndLowersTheSignalPin) {
    // Raise 27 first so that HW_init's own write is visible.
    ASSERT_EQ(HW_init(5000, 27), 0);
    bcm2835_gpio_write(27, 1);
    bcm2835_close();
    uint64_t seq = board_.last_seq();
    ASSERT_EQ(HW_init(5000, 27), 0);
    auto events = board_.events_since(seq);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].pin, 27);
    EXPECT_EQ(events[0].level, 0);
    auto& s = board_.state();
    EXPECT_EQ(s.gpio[27].fsel, BCM2835_GPIO_FSEL_OUTP);
    EXPECT_EQ(s.spi.begun, 1);
    EXPECT_EQ(s.spi.bit_order, BCM2835_SPI_BIT_ORDER_MSBFIRST);
    EXPECT_EQ(s.spi.mode, BCM2835_SPI_MODE0);
    EXPECT_EQ(s.spi.cs, BCM2835_SPI_CS0);
    EXPECT_EQ(s.spi.cs_polarity, LOW);
}

TEST_F(HwInitTest, PinAbove27MeansNoSignalPin) {
    for (uint8_t pin : {28, 255}) {
        uint64_t seq = board_.last_seq();
        ASSERT_EQ(HW_init(5000, pin), 0);
        EXPECT_TRUE(board_.events_since(seq).empty()) << int(pin);
        for (int p = 0; p < boatsim::kGpioCount; p++) {
            if (p >= 7 && p <= 11) continue;  // the SPI0 lines
            EXPECT_EQ(board_.state().gpio[p].fsel, BCM2835_GPIO_FSEL_INPT) << "pin " << p;
        }
        bcm2835_close();
    }
}

// HW_init when the bcm2835 library cannot start, in a child with private
// mounts whose /dev/log is our syslog sink.
TEST(HwInitFailure, LogsToSyslogAtPriority27AndReturns1) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string missing = testsupport::TempDir().path() + "/no.state";  // removed at once
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        std::string out;
        if (!testsupport::enter_private_mounts(&out)) {
            out = "private mounts: " + out;
        } else {
            testsupport::SyslogSink sink;
            setenv("BOATSIM_STATE", missing.c_str(), 1);
            out = std::string(1, static_cast<char>('0' + HW_init(5000, 18)));
            testsupport::SyslogSink::Message m;
            if (sink.next(&m, 2000)) out += std::to_string(m.priority) + ":" + m.text;
        }
        if (write(fds[1], out.data(), out.size()) < 0) {}
        _exit(0);
    }
    close(fds[1]);
    std::string got;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << got;
    EXPECT_EQ(got, "127:Can't init bcm2835!\n");
}

}  // namespace

namespace {

// boat_safe, run by a terminal's unit once the terminal has gone: for each
// terminal it stops the run relay and puts the LED out, and does not touch
// the kill relay; a name that is no terminal's touches nothing.
TEST_F(OutputsTest, BoatSafeStopsTheTerminalsBoatAndLeavesItsKillRelay) {
    struct Case {
        const char* name;
        const TerminalProfile* profile;  // nullptr: no terminal of that name
    };
    for (const Case& c : {Case{"checkin", &kCheckinTerminal}, Case{"tracker", &kTrackerTerminal}, Case{"dinghy", nullptr}}) {
        SCOPED_TRACE(c.name);
        const TerminalProfile* p = c.profile ? c.profile : &kTrackerTerminal;
        Terminal = p;
        testing::internal::CaptureStderr();
        KillBoat();
        StartBoat();
        SetGreen();
        testing::internal::GetCapturedStderr();
        writes();

        testsupport::TempDir dir;
        testsupport::ProcessOptions o;
        o.argv = {BOAT_SAFE, c.name};
        o.env = {board_.env()};
        o.stderr_path = dir.file("err");
        testsupport::Process safe(o);
        ASSERT_TRUE(safe.wait_exit(30000));
        const std::string stopped = std::to_string(p->run_pin) + "=" + (p->run_level_running ? "0" : "1");
        if (c.profile) {
            EXPECT_EQ(safe.exit_status(), 0) << testsupport::read_file(dir.file("err"));
            EXPECT_EQ(writes(), stopped + " 17=1 22=1 27=1");
        } else {
            EXPECT_EQ(safe.exit_status(), 2);
            EXPECT_EQ(writes(), "");
        }
        EXPECT_EQ(board_.level(p->kill_pin), p->kill_level_active);
    }
}

}  // namespace
