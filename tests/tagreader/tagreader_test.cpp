// tag_reader as a whole program on a simulated board. Each test process has
// private mounts, so it supplies /etc/RC522.conf and reads /dev/log itself.
#include "faults.h"
#include "field.h"
#include "private_mounts.h"
#include "process.h"
#include "temp_board.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>

using testsupport::Process;
using testsupport::ProcessOptions;
using testsupport::SyslogSink;
using testsupport::TempBoard;
using testsupport::TempDir;
using testsupport::read_file;
using testsupport::status_line;
using testsupport::wait_until;

namespace {

SyslogSink* syslog_sink() { return testsupport::PrivateSyslogEnvironment::sink(); }

constexpr int kPrioInfo = LOG_DAEMON | LOG_INFO;  // 30
constexpr int kPrioErr = LOG_DAEMON | LOG_ERR;    // 27
constexpr const char* kConfPath = "/etc/RC522.conf";
constexpr const char* kSettingsPath = "/etc/boat/terminal.conf";
constexpr int kWaitMs = 10000;
// The reader watch runs in the last of every 13 poll passes.
constexpr int kPassesPerWatch = 13;

const std::string kCard4 = "0a1bc203";
const std::string kCard7 = "04a1b2c3d4e5f6";
const std::string kLine4 = "Type: 0400, Serial: 0a1bc203\n";
const std::string kLine7 = "Type: 4400, Serial: 04a1b2c3d4e5f6\n";

std::string messages_text(const std::vector<SyslogSink::Message>& ms) {
    std::string s;
    for (const auto& m : ms) s += "<" + std::to_string(m.priority) + ">" + m.ident + ": " + m.text + "|";
    return s;
}

class TagReader : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(syslog_sink(), nullptr);
        syslog_sink()->drain(0);
        unlink(kConfPath);
        unlink(kSettingsPath);  // the host's, if it has one, is not this test's
    }
    void TearDown() override {
        proc_.stop();
        unlink(kConfPath);
    }

    static void config(const std::string& text) { testsupport::write_file(kConfPath, text); }

    void start(std::vector<std::string> args, const std::string& program = testsupport::bin("tagreader/tag_reader"),
               const std::string& state_env = "") {
        ProcessOptions o;
        o.argv = {program};
        for (auto& a : args) o.argv.push_back(a);
        o.env = {state_env.empty() ? board_.env() : state_env, "BOATSIM_SPI_TRACE=" + trace_};
        o.env.insert(o.env.end(), env_.begin(), env_.end());
        o.stdout_path = out_;
        o.stderr_path = err_;
        spi_before_ = spi().transfers;
        proc_ = Process(o);
        ASSERT_GT(proc_.pid(), 0);
    }

    // Start-up is over once the reader chip has been initialised.
    void wait_ready() {
        ASSERT_TRUE(wait_until([&] { return spi().transfers > spi_before_ || !proc_.running(); }, kWaitMs));
        ASSERT_TRUE(proc_.running()) << "exit " << proc_.exit_status() << ", stderr: " << err();
    }

    void wait_exit_1() {
        ASSERT_TRUE(proc_.wait_exit(kWaitMs)) << "still running";
        EXPECT_EQ(proc_.exit_status(), 1);
    }

    boatsim::SpiState spi() {
        boatsim::Lock lock(&board_.state());
        return board_.state().spi;
    }

    // REQA frames sent so far: each is the byte 26 written into the chip's
    // FIFO (FIFODataReg 09, address byte 12). Every poll pass sends one.
    int reqa() {
        std::istringstream in(read_file(trace_));
        int n = 0;
        for (std::string line; std::getline(in, line);)
            if (line.rfind("tx 12 26", 0) == 0) n++;
        return n;
    }

    // The next message, due within `passes` poll passes from now. Waits as
    // long as the loop makes passes, which a busy machine makes slowly, and
    // at most kWaitMs without one: the bound is the passes', not the clock's.
    bool next_within_passes(SyslogSink::Message* m, int passes) {
        const int last = reqa() + passes;
        int seen = -1;
        auto progress = std::chrono::steady_clock::now();
        for (;;) {
            if (syslog_sink()->next(m, 50)) return true;
            const int r = reqa();
            if (r > last) return syslog_sink()->next(m, 50);  // sent in the last pass, perhaps
            if (r != seen) {
                seen = r;
                progress = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - progress > std::chrono::milliseconds(kWaitMs)) {
                return false;
            }
        }
    }

    // Lets three more poll passes run: any report or pulse they would give
    // for a card still in the field has happened when this returns.
    void three_more_passes() {
        int r = reqa();
        ASSERT_TRUE(wait_until([&] { return reqa() >= r + 3; }, kWaitMs)) << "the poll loop stopped";
    }

    std::vector<boatsim::GpioEvent> events_on(uint8_t pin) {
        std::vector<boatsim::GpioEvent> out;
        for (const auto& e : board_.events_since(0))
            if (e.pin == pin) out.push_back(e);
        return out;
    }

    int pulses(uint8_t pin) {
        int n = 0;
        for (const auto& e : events_on(pin)) n += e.level == 1;
        return n;
    }

    boatsim::CardState card_state(const std::string& uid_hex) {
        auto uid = testsupport::hex_bytes(uid_hex);
        boatsim::Lock lock(&board_.state());
        for (const auto& c : board_.state().cards)
            if (c.in_field && c.uid_len == uid.size() && std::equal(uid.begin(), uid.end(), c.uid))
                return static_cast<boatsim::CardState>(c.state);
        return boatsim::CardState::idle;
    }

    void wait_halted(const std::string& uid_hex) {
        ASSERT_TRUE(wait_until([&] { return card_state(uid_hex) == boatsim::CardState::halt; }, kWaitMs))
            << "card " << uid_hex << " was not halted";
    }

    bool err_is(const std::string& want) {
        return wait_until([&] { return err() == want; }, kWaitMs);
    }

    std::string out() { return read_file(out_); }
    std::string err() { return read_file(err_); }

    // Start-up messages of a process that is ready or has ended: all of them
    // have been sent by then.
    std::vector<SyslogSink::Message> logged() { return syslog_sink()->drain(0); }

    TempBoard board_ {boatsim::Profile::tagreader};
    TempDir dir_;
    std::string out_ = dir_.file("stdout");
    std::string err_ = dir_.file("stderr");
    std::string trace_ = dir_.file("spi.trace");
    std::vector<std::string> env_;
    Process proc_;
    uint64_t spi_before_ = 0;
};

TEST_F(TagReader, DebugModeReportsEachPresentationOnce) {
    config("GPIO=17\nUID=1000\nGID=1000\n");
    start({"-d", "second argument ignored"});
    wait_ready();
    EXPECT_EQ(out(), "Debug mode.\n");

    board_.put_card(kCard4);
    ASSERT_TRUE(err_is(kLine4)) << err();
    three_more_passes();
    EXPECT_EQ(err(), kLine4) << "a card that stays is reported once";

    board_.put_card(kCard7);  // the first card stays in the field
    ASSERT_TRUE(err_is(kLine4 + kLine7)) << err();
    three_more_passes();
    EXPECT_EQ(err(), kLine4 + kLine7);

    board_.take_card(kCard4);
    board_.take_card(kCard7);
    board_.put_card(kCard4);
    ASSERT_TRUE(err_is(kLine4 + kLine7 + kLine4)) << err();
    three_more_passes();
    EXPECT_EQ(err(), kLine4 + kLine7 + kLine4);
    EXPECT_EQ(pulses(17), 3);
}

TEST_F(TagReader, NormalModeIsSilentAndPulsesTheSignalPinOncePerPresentation) {
    config("GPIO=17\nSPI_SPEED=5000\nUID=1000\nGID=1000\n");
    start({});
    wait_ready();
    EXPECT_EQ(board_.level(17), 0);

    board_.put_card(kCard4);
    wait_halted(kCard4);
    three_more_passes();
    EXPECT_EQ(pulses(17), 1);
    board_.take_card(kCard4);
    board_.put_card(kCard4);
    ASSERT_TRUE(wait_until([&] { return pulses(17) == 2; }, kWaitMs));
    three_more_passes();

    std::vector<int> levels;
    for (const auto& e : events_on(17)) levels.push_back(e.level);
    EXPECT_EQ(levels, (std::vector<int> {0, 1, 0, 1, 0})) << "low at start, then one pulse per presentation";
    EXPECT_EQ(board_.events_since(0).size(), levels.size()) << "no other pin is written";
    EXPECT_EQ(out(), "");
    EXPECT_EQ(err(), "");
    EXPECT_EQ(spi().divider, 50);
}

TEST_F(TagReader, SignalPinIsTheLow8BitsOfGpio) {
    config("GPIO=280\nUID=1000\n");
    start({});
    wait_ready();
    board_.put_card(kCard7);
    ASSERT_TRUE(wait_until([&] { return pulses(24) == 1 && board_.level(24) == 0; }, kWaitMs));
    auto ev = events_on(24);
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(board_.events_since(0).size(), 3u) << "only GPIO 24 is written";
    auto ms = logged();
    ASSERT_EQ(ms.size(), 1u) << messages_text(ms);
    EXPECT_EQ(ms[0].priority, kPrioInfo);
    EXPECT_EQ(ms[0].ident, "tag_reader");
    EXPECT_EQ(ms[0].text, "Found param. GPIO=280\n");
}

TEST_F(TagReader, GpioAbove27MeansNoSignalPin) {
    for (const char* value : {"28", "255"}) {
        SCOPED_TRACE(value);
        uint64_t since = board_.last_seq();
        config(std::string("GPIO=") + value + "\nUID=1000\n");
        start({});
        wait_ready();
        board_.put_card(kCard4);
        wait_halted(kCard4);
        three_more_passes();
        EXPECT_EQ(board_.events_since(since).size(), 0u) << "no GPIO is written";
        proc_.stop();
        board_.take_card(kCard4);
    }
}

TEST_F(TagReader, SpiSpeedSetsTheClockDivider) {
    config("SPI_SPEED=200000 # more than the bus can do\nUID=1000\n");
    start({});
    wait_ready();
    EXPECT_EQ(spi().divider, 2);
    auto ms = logged();
    ASSERT_EQ(ms.size(), 1u) << messages_text(ms);
    EXPECT_EQ(ms[0].priority, kPrioInfo);
    EXPECT_EQ(ms[0].text, "Found param. SPI_SPEED=200000 ");
    proc_.stop();

    config("UID=1000\n");
    start({});
    wait_ready();
    EXPECT_EQ(spi().divider, 0) << "without SPI_SPEED= the slowest clock";
    EXPECT_EQ(logged().size(), 0u);
}

TEST_F(TagReader, BadArgumentPrintsUsage) {
    config("UID=1000\n");
    for (const char* arg : {"-x", "d", "-d-"}) {
        SCOPED_TRACE(arg);
        start({arg, "-d"});
        wait_exit_1();
        EXPECT_EQ(out(), "Usage:\n" + testsupport::bin("tagreader/tag_reader") +
                             " [options]\n\nOptions:\n -d\t Debug mode\n\n");
        EXPECT_EQ(err(), "");
    }
    EXPECT_EQ(spi().begun, 0) << "the hardware is not touched";
    EXPECT_EQ(logged().size(), 0u);
}

TEST_F(TagReader, MissingConfigFileEndsStartUp) {
    start({});
    wait_exit_1();
    auto ms = logged();
    ASSERT_EQ(ms.size(), 1u) << messages_text(ms);
    EXPECT_EQ(ms[0].priority, kPrioErr);
    EXPECT_EQ(ms[0].text, "Can't open config file!");
    EXPECT_EQ(err(), "");

    start({"-d"});
    wait_exit_1();
    EXPECT_EQ(out(), "Debug mode.\n");
    EXPECT_EQ(err(), "Can't open config file!");
    EXPECT_EQ(logged().size(), 0u) << "debug mode reports on stderr only";
    EXPECT_EQ(spi().begun, 0);
}

TEST_F(TagReader, RunsAsConfiguredUserAndGroupAfterStartUp) {
    ASSERT_EQ(getuid(), 0u) << "these tests run as root";
    // User 1234 has an account with primary group 3456; user 1235 has none.
    std::string passwd;
    {
        std::istringstream in(read_file("/etc/passwd"));
        for (std::string line; std::getline(in, line);)
            if (line.find(":x:1234:") == std::string::npos && line.find(":x:1235:") == std::string::npos)
                passwd += line + "\n";
    }
    testsupport::write_file("/etc/passwd", passwd + "reader:x:1234:3456::/nonexistent:/usr/sbin/nologin\n");
    struct Case {
        const char* conf;
        std::string uid, gid;
    } cases[] = {
        {"UID=1234\nGID=2345\n", "1234", "2345"},
        {"UID=1234\n", "1234", "3456"},
        {"UID=1235\n", "1235", "1235"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.conf);
        config(c.conf);
        start({"-d"});
        wait_ready();
        EXPECT_EQ(status_line(proc_.pid(), "Uid"), c.uid + "\t" + c.uid + "\t" + c.uid + "\t" + c.uid);
        EXPECT_EQ(status_line(proc_.pid(), "Gid"), c.gid + "\t" + c.gid + "\t" + c.gid + "\t" + c.gid);
        EXPECT_EQ(status_line(proc_.pid(), "Groups"), "") << "no supplementary group of root is kept";
        EXPECT_EQ(status_line(proc_.pid(), "CapEff"), "0000000000000000");
        proc_.stop();
    }
    // The hardware opened as root stays usable.
    config("UID=1234\n");
    start({"-d"});
    wait_ready();
    board_.put_card(kCard4);
    EXPECT_TRUE(err_is(kLine4)) << err();
}

TEST_F(TagReader, RefusedSettingOrIdentityEndsStartUp) {
    // Pin and clock are refused before the hardware is set up, the identity
    // after it; in debug mode the refusal is also on stderr.
    struct Case {
        const char* conf;
        const char* message;
        int hw_begun;
        std::vector<std::string> wrapper;
    } cases[] = {
        {"GID=1000\n", "UID must be set!\n", 1, {}},
        {"UID=99\n", "Invalid UID: 99\n", 1, {}},
        {"UID=1000\nGID=wheel\n", "Invalid GID: wheel\n", 1, {}},
        {"GPIO=-1\nUID=1000\n", "Invalid GPIO: -1\n", 0, {}},
        {"GPIO=\nUID=1000\n", "Invalid GPIO: \n", 0, {}},
        {"GPIO=0x11\nUID=1000\n", "Invalid GPIO: 0x11\n", 0, {}},
        {"SPI_SPEED=5 MHz\nUID=1000\n", "Invalid SPI_SPEED: 5 MHz\n", 0, {}},
        {"SPI_SPEED=+5000\nUID=1000\n", "Invalid SPI_SPEED: +5000\n", 0, {}},
        // Root that may not change its groups, or its user.
        {"UID=1000\nGID=1000\n", "Can't drop supplementary groups: Operation not permitted\n", 1,
         {"setpriv", "--bounding-set=-setgid"}},
        {"UID=1000\n", "Can't set UID 1000: Operation not permitted\n", 1, {"setpriv", "--bounding-set=-setuid"}},
    };
    for (const auto& c : cases) {
        for (bool debug : {true, false}) {
            SCOPED_TRACE(std::string(c.conf) + (debug ? " debug" : ""));
            config(c.conf);
            {
                boatsim::Lock lock(&board_.state());
                board_.state().spi.begun = 0;
            }
            const std::string program = testsupport::bin("tagreader/tag_reader");
            std::vector<std::string> args;
            std::string first = program;
            if (!c.wrapper.empty()) {
                first = "/usr/bin/" + c.wrapper[0];
                args.assign(c.wrapper.begin() + 1, c.wrapper.end());
                args.push_back(program);
            }
            if (debug) args.push_back("-d");
            start(args, first);
            wait_exit_1();
            std::vector<SyslogSink::Message> errors;
            for (const auto& m : logged())
                if (m.priority == kPrioErr) errors.push_back(m);
            ASSERT_EQ(errors.size(), 1u) << messages_text(errors);
            EXPECT_EQ(errors[0].text, c.message);
            EXPECT_EQ(err(), debug ? c.message : "");
            EXPECT_EQ(spi().begun, c.hw_begun);
            EXPECT_EQ(spi().transfers, 0u) << "the reader chip is not touched";
        }
    }
}

// The board's devices come from the terminals' settings, their unit's
// credential copy first: its own keys are checked, the terminals' lines
// (here ones they would refuse) are not its business.
TEST_F(TagReader, TakesTheBoardsKeysOfTheTerminalsSettings) {
    config("GPIO=17\nUID=1000\n");
    const std::string credentials = dir_.file("credentials");
    ASSERT_EQ(mkdir(credentials.c_str(), 0500), 0);
    const std::string credential = credentials + "/terminal.conf";
    const std::string refused_chip = "GPIO_CHIP: neither a device path nor a GPIO chip label (at most 31 characters)";
    struct Case {
        std::string settings;
        bool as_credential;
        std::string message;  // empty: it starts
    } cases[] = {
        {"URL=ftp://a.lan/x\nCLIENT_CERT=/etc/boat/none.pem\nGPIO_CHIP=pinctrl-rp1\nSPI_DEVICE=/dev/spidev1.0\n",
         false, ""},
        {"URL=http://a.lan/x\nGPIO_CHIP=" + std::string(32, 'g') + "\n", false,
         std::string(kSettingsPath) + ":2: " + refused_chip + "\n"},
        {"DB_HOST=\nSPI_DEVICE=spidev1.0\n", true, credential + ":2: SPI_DEVICE: not a device path\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        // /etc's file is refused when the credential counts.
        testsupport::EtcFile settings(kSettingsPath, c.as_credential ? "GPIO_CHIP=/\nSPI_DEVICE=\n" : c.settings);
        env_.clear();
        unlink(credential.c_str());
        if (c.as_credential) {
            testsupport::write_file(credential, c.settings);
            env_.push_back("CREDENTIALS_DIRECTORY=" + credentials);
        }
        {
            boatsim::Lock lock(&board_.state());
            board_.state().spi.begun = 0;
        }
        start({});
        if (c.message.empty()) {
            wait_ready();
            board_.put_card(kCard4);
            EXPECT_TRUE(wait_until([&] { return pulses(17) == 1; }, kWaitMs));
            proc_.stop();
            board_.take_card(kCard4);
            logged();
            continue;
        }
        wait_exit_1();
        auto ms = logged();
        ASSERT_EQ(ms.size(), 1u) << messages_text(ms);
        EXPECT_EQ(ms[0].priority, kPrioErr);
        EXPECT_EQ(ms[0].text, c.message);
        EXPECT_EQ(err(), "");
        EXPECT_EQ(spi().begun, 0) << "the board is not touched";
    }
}

TEST_F(TagReader, BoardThatCannotBeOpenedEndsStartUp) {
    config("GPIO=17\nUID=1000\n");
    start({"-d"}, testsupport::bin("tagreader/tag_reader"), "BOATSIM_STATE=" + dir_.file("no-such.state"));
    wait_exit_1();
    auto ms = logged();
    ASSERT_EQ(ms.size(), 2u) << messages_text(ms);
    EXPECT_EQ(ms[0].text, "Found param. GPIO=17\n");
    EXPECT_EQ(ms[1].priority, kPrioErr);
    EXPECT_EQ(ms[1].text, "Can't init bcm2835!\n");
    EXPECT_EQ(err().find("Can't init"), std::string::npos) << "syslog only, also in debug mode";
}

// A reader that is not there at start-up is reported and watched; once it
// is back, cards are read again. Reader errors are polled at the pace of an
// empty field: one REQA a pass, the check once a blink cycle of passes.
TEST_F(TagReader, ReaderMissingAtStartIsReportedAndReadsCardsOnceBack) {
    config("GPIO=17\nUID=1000\n");
    boatsim::fault_set(board_.state(), boatsim::Fault::rc522_absent_low, true);
    start({});
    wait_ready();
    SyslogSink::Message m;
    ASSERT_TRUE(syslog_sink()->next(&m, kWaitMs));
    EXPECT_EQ(m.text, "Found param. GPIO=17\n");
    ASSERT_TRUE(syslog_sink()->next(&m, kWaitMs));
    EXPECT_EQ(m.priority, kPrioErr);
    EXPECT_EQ(m.text, "Reader not found (version 0x00)");
    for (const char* text : {"Reader reset", "Reader lost"}) {
        ASSERT_TRUE(next_within_passes(&m, kPassesPerWatch + 1)) << text;
        EXPECT_EQ(m.priority, kPrioErr);
        EXPECT_EQ(m.text, text);
    }
    EXPECT_GE(reqa(), kPassesPerWatch);
    EXPECT_LE(reqa(), kPassesPerWatch + 1) << "the watch checks once a blink cycle of passes";
    three_more_passes();
    boatsim::fault_set(board_.state(), boatsim::Fault::rc522_absent_low, false);
    ASSERT_TRUE(next_within_passes(&m, kPassesPerWatch + 1));
    EXPECT_EQ(m.priority, kPrioInfo);
    EXPECT_EQ(m.text, "Reader back");
    board_.put_card(kCard4);
    ASSERT_TRUE(wait_until([&] { return pulses(17) == 1; }, kWaitMs));
    auto more = logged();
    EXPECT_EQ(more.size(), 0u) << messages_text(more);
}

TEST_F(TagReader, PiBuildFailsToInitOnAPc) {
    std::string program = testsupport::rpi_bin_dir() + "/tagreader/tag_reader";
    if (testsupport::rpi_bin_dir().empty()) GTEST_SKIP() << "configured without BOAT_RPI_BIN_DIR";
    ASSERT_EQ(access(program.c_str(), X_OK), 0) << program << " is not built";
    config("UID=1000\n");
    start({}, program);
    wait_exit_1();
    auto ms = logged();
    ASSERT_EQ(ms.size(), 1u) << messages_text(ms);
    EXPECT_EQ(ms[0].priority, kPrioErr);
    EXPECT_EQ(ms[0].ident, "tag_reader");
    EXPECT_EQ(ms[0].text, "Can't init bcm2835!\n");
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new testsupport::PrivateSyslogEnvironment);
    return RUN_ALL_TESTS();
}
