// The control tool as a separate process against a board this process
// has mapped, as a person or a test would use it while a program runs.
#include "faults.h"
#include "rc522_fixture.h"

#include <bcm2835.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct ToolRun {
    int status = -1;
    std::string out, err;
};

ToolRun boatsim(const std::string& state, const std::vector<std::string>& args) {
    testsupport::TempDir dir;
    testsupport::ProcessOptions o;
    o.argv = {testsupport::bin("sim/boatsim")};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.env = {"BOATSIM_STATE=" + state};
    o.stdout_path = dir.file("out");
    o.stderr_path = dir.file("err");
    testsupport::Process p(o);
    ToolRun r;
    EXPECT_TRUE(p.wait_exit(10000)) << "boatsim did not end";
    r.status = p.exit_status();
    r.out = testsupport::read_file(dir.file("out"));
    r.err = testsupport::read_file(dir.file("err"));
    return r;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

using BoatsimTool = Rc522Test;

TEST_F(BoatsimTool, CardPutAndTakeAreSeenAtTheNextExchange) {
    EXPECT_FALSE(reqa().answered());
    ToolRun r = boatsim(board_.path(), {"card", "put", "A1B2C3D4"});
    ASSERT_EQ(r.status, 0) << r.err;
    Exchange ex = reqa();
    ASSERT_TRUE(ex.answered());
    EXPECT_EQ(anticoll(0x93).data, (std::vector<uint8_t>{0xA1, 0xB2, 0xC3, 0xD4, 0xA1 ^ 0xB2 ^ 0xC3 ^ 0xD4}));

    ASSERT_EQ(boatsim(board_.path(), {"card", "take", "a1b2c3d4"}).status, 0);
    EXPECT_FALSE(wupa().answered());

    r = boatsim(board_.path(), {"card", "put", "04a1b2c3d4e5f6", "--atqa", "4403", "--sak", "20"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(reqa().data, (std::vector<uint8_t>{0x44, 0x03}));
    EXPECT_EQ(select(0x93, {0x88, 0x04, 0xa1, 0xb2}).data[0], 0x24);
    EXPECT_EQ(select(0x95, {0xc3, 0xd4, 0xe5, 0xf6}).data[0], 0x20);

    r = boatsim(board_.path(), {"show", "--json"});
    EXPECT_TRUE(has(r.out, "{\"uid\": \"04a1b2c3d4e5f6\", \"state\": \"active\"")) << r.out;
    ASSERT_EQ(boatsim(board_.path(), {"card", "take", "--all"}).status, 0);
    EXPECT_FALSE(reqa().answered());
    EXPECT_EQ(boatsim(board_.path(), {"card", "take", "04a1b2c3d4e5f6"}).status, 1);
}

TEST_F(BoatsimTool, ShowJsonReflectsThisProcessesGpioWrites) {
    for (uint8_t pin : {17, 22, 27, 23, 14}) bcm2835_gpio_fsel(pin, BCM2835_GPIO_FSEL_OUTP);
    ToolRun r = boatsim(board_.path(), {"show", "--json"});
    EXPECT_TRUE(has(r.out, "\"led\": \"mixed\"")) << r.out;  // all three lines low
    EXPECT_TRUE(has(r.out, "\"run_relay\": \"stopped\""));
    EXPECT_TRUE(has(r.out, "\"kill_relay\": \"off\""));

    bcm2835_gpio_clr(17);
    bcm2835_gpio_set(22);
    bcm2835_gpio_set(27);
    bcm2835_gpio_set(23);
    bcm2835_gpio_set(14);
    bcm2835_gpio_fsel(18, BCM2835_GPIO_FSEL_OUTP);
    bcm2835_gpio_write(18, 1);
    bcm2835_gpio_write(18, 0);
    bcm2835_gpio_write(18, 1);
    r = boatsim(board_.path(), {"show", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);
    EXPECT_EQ(r.out.front(), '{');
    EXPECT_TRUE(has(r.out, "\"profile\": \"checkin\"")) << r.out;
    EXPECT_TRUE(has(r.out, "\"led\": \"green\""));
    EXPECT_TRUE(has(r.out, "\"run_relay\": \"running\""));
    EXPECT_TRUE(has(r.out, "\"kill_relay\": \"active\""));
    EXPECT_TRUE(has(r.out, "\"signal\": {\"gpio\": 18, \"level\": 1, \"pulses\": 2}"));
    EXPECT_TRUE(has(r.out, "\"17\": {\"mode\": \"output\", \"level\": 0}"));
    EXPECT_TRUE(has(r.out, "\"22\": {\"mode\": \"output\", \"level\": 1}"));
    EXPECT_TRUE(has(r.out, "\"10\": {\"mode\": \"alt\", \"level\": 0}"));  // SPI0 MOSI after spi_begin
    EXPECT_TRUE(has(r.out, "\"spi\": {\"begun\": true, \"divider\": 50, \"mode\": 0, \"bit_order\": \"msb\", \"cs\": 0, "
                           "\"cs_polarity\": 0, \"transfers\": "));

    bcm2835_gpio_set(17);
    bcm2835_gpio_clr(22);
    r = boatsim(board_.path(), {"show", "--json"});
    EXPECT_TRUE(has(r.out, "\"led\": \"blue\"")) << r.out;
}

TEST_F(BoatsimTool, EventsListTheWriteLogSinceASequenceNumber) {
    const uint64_t before = board_.last_seq();
    bcm2835_gpio_write(22, 1);
    bcm2835_gpio_write(27, 0);
    ToolRun r = boatsim(board_.path(), {"events", "--json", "--since", std::to_string(before + 1)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "\"last_seq\": " + std::to_string(before + 2))) << r.out;
    EXPECT_FALSE(has(r.out, "\"pin\": 22"));
    EXPECT_TRUE(has(r.out, "\"seq\": " + std::to_string(before + 2)));
    EXPECT_TRUE(has(r.out, "\"pin\": 27, \"level\": 0"));

    r = boatsim(board_.path(), {"events", "--since", std::to_string(before)});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
}

TEST_F(BoatsimTool, BadInputExitsTwoWithOneLineAndLeavesTheStateAlone) {
    board_.put_card("11223344");
    const std::string before = testsupport::read_file(board_.path());
    const std::vector<std::vector<std::string>> bad = {
        {"new", "--profile", "ferry"},
        {"new"},
        {"new", "--profile", "tagreader", "--signal-pin", "54"},
        {"card", "put", "112233"},
        {"card", "put", "1122334455"},
        {"card", "put", "11223344zz"},
        {"card", "put", "1122334"},
        {"card", "put", "55667788", "--atqa", "04"},
        {"card", "put", "55667788", "--sak", "xyz"},
        {"card", "take"},
        {"card", "swap", "11223344"},
        {"adc", "8", "100"},
        {"adc", "0", "1024"},
        {"adc", "-1", "5"},
        {"show", "--yaml"},
        {"events", "--since", "soon"},
        {"fault", "set", "rc522-smoke"},
        {"fault", "toggle", "rc522-reset"},
        {"fault", "clear"},
        {"fault", "set", "--all"},
        {"fault"},
        {"dance"},
        {},
    };
    for (const auto& args : bad) {
        ToolRun r = boatsim(board_.path(), args);
        std::string cmd;
        for (const auto& a : args) cmd += a + " ";
        EXPECT_EQ(r.status, 2) << cmd;
        if (!args.empty()) {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << cmd << ": " << r.err;
        }
    }
    EXPECT_TRUE(testsupport::read_file(board_.path()) == before) << "state file changed";

    testsupport::TempDir elsewhere;
    const std::string missing = elsewhere.file("board.state");
    ToolRun r = boatsim(missing, {"card", "put", "11223344"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    struct stat st {};
    EXPECT_NE(stat(missing.c_str(), &st), 0) << "a missing board must not be created by card put";
}

TEST_F(BoatsimTool, FaultsComeAndGoWhileTheChipIsInUse) {
    using namespace mfrc522;
    ToolRun r = boatsim(board_.path(), {"fault", "list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "rc522-absent-high  -   reader chip off the bus, MISO reads 0xFF\n")) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), static_cast<long>(boatsim::kFaultCount));

    ASSERT_EQ(boatsim(board_.path(), {"fault", "set", "rc522-absent-high"}).status, 0);
    EXPECT_EQ(rd(VersionReg), 0xFF);
    ASSERT_EQ(boatsim(board_.path(), {"fault", "set", "card-no-select"}).status, 0);
    EXPECT_TRUE(has(boatsim(board_.path(), {"fault", "list"}).out, "rc522-absent-high  set"));
    r = boatsim(board_.path(), {"show", "--json"});
    EXPECT_TRUE(has(r.out, "\"faults\": [\"rc522-absent-high\", \"card-no-select\"]")) << r.out;
    EXPECT_TRUE(has(boatsim(board_.path(), {"show"}).out, "faults      rc522-absent-high card-no-select\n"));

    ASSERT_EQ(boatsim(board_.path(), {"fault", "clear", "rc522-absent-high"}).status, 0);
    EXPECT_EQ(rd(VersionReg), 0x92);
    EXPECT_EQ(rd(TModeReg), 0x8D) << "off the bus, the chip kept its set-up";
    ASSERT_EQ(boatsim(board_.path(), {"fault", "set", "rc522-reset"}).status, 0);
    EXPECT_EQ(rd(TModeReg), 0x00);
    ASSERT_EQ(boatsim(board_.path(), {"fault", "clear", "--all"}).status, 0);
    EXPECT_TRUE(has(boatsim(board_.path(), {"show", "--json"}).out, "\"faults\": []"));
    EXPECT_EQ(rd(TModeReg), 0x00) << "out of reset at its power-on values";

    r = boatsim(board_.path(), {"help"});
    EXPECT_TRUE(has(r.out, "  card-parity        card answers arrive with a parity error\n")) << r.out;
}

TEST_F(BoatsimTool, UidsTheStandardForbidsAreTakenAndMarked) {
    ASSERT_EQ(boatsim(board_.path(), {"card", "put", "88a1b2c3"}).status, 0);
    ASSERT_EQ(boatsim(board_.path(), {"card", "put", "04a1b288d4e5f6"}).status, 0);
    ASSERT_EQ(boatsim(board_.path(), {"card", "put", "fe881234"}).status, 0);
    ASSERT_EQ(boatsim(board_.path(), {"card", "put", "010203040506880a0b0c"}).status, 0);
    ToolRun r = boatsim(board_.path(), {"show", "--json"});
    EXPECT_TRUE(has(r.out, "{\"uid\": \"88a1b2c3\", \"state\": \"idle\", \"atqa\": \"0400\", \"sak\": \"08\", "
                           "\"uid_forbidden\": true}")) << r.out;
    EXPECT_TRUE(has(r.out, "\"uid\": \"04a1b288d4e5f6\", \"state\": \"idle\", \"atqa\": \"4400\", \"sak\": \"00\", "
                           "\"uid_forbidden\": true}"));
    EXPECT_TRUE(has(r.out, "\"sak\": \"08\", \"uid_forbidden\": false}"));
    EXPECT_TRUE(has(r.out, "\"uid\": \"010203040506880a0b0c\", \"state\": \"idle\", \"atqa\": \"8400\", \"sak\": \"00\", "
                           "\"uid_forbidden\": true}")) << "level 3 begins with the cascade tag";
    r = boatsim(board_.path(), {"show"});
    EXPECT_TRUE(has(r.out, "cards       88a1b2c3 (idle, forbidden UID) 04a1b288d4e5f6 (idle, forbidden UID) fe881234 (idle) 010203040506880a0b0c (idle, forbidden UID)\n"))
        << r.out;
}

TEST(BoatsimNew, CreatesABoardTheLibraryMapsWithTheChosenSignalPin) {
    testsupport::TempDir dir;
    const std::string path = dir.file("sub.state");
    ToolRun r = boatsim(path, {"new", "--profile", "tagreader", "--signal-pin", "21"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = boatsim(path, {"show", "--json"});
    EXPECT_TRUE(has(r.out, "\"profile\": \"tagreader\"")) << r.out;
    EXPECT_TRUE(has(r.out, "\"signal\": {\"gpio\": 21,"));
    EXPECT_TRUE(has(r.out, "\"run_relay\": \"unset\""));

    setenv("BOATSIM_STATE", path.c_str(), 1);
    ASSERT_EQ(bcm2835_init(), 1);
    bcm2835_gpio_fsel(21, BCM2835_GPIO_FSEL_OUTP);
    bcm2835_gpio_write(21, 1);
    bcm2835_close();
    r = boatsim(path, {"show", "--json"});
    EXPECT_TRUE(has(r.out, "\"signal\": {\"gpio\": 21, \"level\": 1, \"pulses\": 1}")) << r.out;

    // new on an existing board resets it.
    ASSERT_EQ(boatsim(path, {"new", "--profile", "tracker"}).status, 0);
    ASSERT_EQ(boatsim(path, {"adc", "3", "700"}).status, 0);
    r = boatsim(path, {"show", "--json"});
    EXPECT_TRUE(has(r.out, "\"signal\": {\"gpio\": 18, \"level\": 0, \"pulses\": 0}")) << r.out;
    EXPECT_TRUE(has(r.out, "\"adc\": [0, 0, 0, 700, 0, 0, 0, 0]"));
}

}  // namespace

namespace {

TEST_F(BoatsimTool, WatchRedrawsUntilInterrupted) {
    testsupport::TempDir dir;
    testsupport::ProcessOptions o;
    o.argv = {testsupport::bin("sim/boatsim"), "watch"};
    o.env = {board_.env()};
    o.stdout_path = dir.file("out");
    testsupport::Process p(o);
    auto shows = [&](const std::string& part) {
        return testsupport::wait_until([&] { return has(testsupport::read_file(dir.file("out")), part); }, 10000, 20);
    };
    ASSERT_TRUE(shows("cards in the field"));
    board_.put_card("cafe0123");
    bcm2835_gpio_fsel(22, BCM2835_GPIO_FSEL_OUTP);
    bcm2835_gpio_clr(22);
    EXPECT_TRUE(shows("cafe0123"));
    EXPECT_TRUE(shows("blue"));
    p.stop(5000);
    EXPECT_EQ(p.exit_status(), 0);
    const std::string out = testsupport::read_file(dir.file("out"));
    EXPECT_EQ(out.substr(out.size() - 7), "\x1b[?25h\n");  // cursor shown again
}

}  // namespace
