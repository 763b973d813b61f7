// boat_checkin as built, on a private simulated board, against the
// check-in server on the compiled base URL's port.
#include "process.h"
#include "temp_board.h"

#include <bcm2835.h>
#include <gtest/gtest.h>
#include <unistd.h>

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
    void SetUp() override { ASSERT_FALSE(port_open(kPort)) << "something else listens on " << kPort; }
    void TearDown() override {
        terminal_.stop();
        server_.stop();
    }

    void start_server(const std::string& cards) {
        write_file(dir_.file("cards.txt"), cards);
        server_ = Process({{peer_bin("sim/checkin-server"), "--cards", dir_.file("cards.txt"), "--port", std::to_string(kPort)},
                           {},
                           "",
                           dir_.file("server.log"),
                           dir_.file("server.err"),
                           ""});
        ASSERT_TRUE(wait_until([] { return port_open(kPort); }, 10000)) << read_file(dir_.file("server.err"));
    }
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
    // Requests the server logged, as "RFID=... BoatID=..." lines.
    std::vector<std::string> requests() {
        std::vector<std::string> out;
        std::istringstream in(read_file(dir_.file("server.log")));
        for (std::string line; std::getline(in, line);)
            if (line.rfind("checkin ", 0) == 0) out.push_back(line.substr(8, line.find(" ->") - 8));
        return out;
    }
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
    Process server_;
    Process terminal_;
};

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

TEST_F(Program, DropsToUser500AfterStartUp) {
    if (geteuid() != 0) GTEST_SKIP() << "started without root rights";
    ASSERT_NO_FATAL_FAILURE(start_terminal());
    std::istringstream status(read_file("/proc/" + std::to_string(terminal_.pid()) + "/status"));
    std::string line;
    while (std::getline(status, line) && line.rfind("Uid:", 0) != 0) {}
    EXPECT_EQ(line, "Uid:\t500\t500\t500\t500");
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

TEST_F(Program, SilentServerTimesOutAndTheRunningSessionStillEnds) {
    ASSERT_NO_FATAL_FAILURE(start_server("0a1bc203 OK 0 3\n01020304 !hang\n"));
    ASSERT_NO_FATAL_FAILURE(start_terminal());
    board_.put_card("0a1bc203");
    ASSERT_TRUE(wait_for_halt(1)) << err();
    ASSERT_EQ(board_.level(23), 1);
    board_.put_card("01020304");
    ASSERT_TRUE(wait_for_message("Network Error Timeout was reached\r\n", 60000)) << err();
    EXPECT_EQ(board_.level(23), 1) << "a failed transfer leaves the session";
    ASSERT_TRUE(wait_for_level(23, 0)) << err();
    EXPECT_NE(err().find("Network Error Timeout was reached\r\nAll LED OFFBoat Stopped\r\n"), std::string::npos) << err();
}

TEST_F(Program, HardwareSetUpFailureEndsWithStatus1) {
    start_terminal("BOATSIM_STATE=" + dir_.file("no-board.state"));
    ASSERT_TRUE(terminal_.wait_exit(10000));
    EXPECT_EQ(terminal_.exit_status(), 1);
    EXPECT_EQ(err().rfind("I Am Boat 0\r\n", 0), 0u) << err();
    EXPECT_EQ(err().find("Boat Stopped"), std::string::npos) << err();
}

TEST_F(Program, PiBuildCannotReachThePeripheralsHereAndEndsWithStatus1) {
    const std::string rpi = std::string(BOAT_RPI_BIN_DIR) + "/checkin/boat_checkin";
    if (std::string(BOAT_RPI_BIN_DIR).empty()) GTEST_SKIP() << "configured without BOAT_RPI_BIN_DIR";
    ASSERT_EQ(access(rpi.c_str(), X_OK), 0) << rpi << " is not built";
    terminal_ = Process({{rpi}, {}, dir_.path(), "", dir_.file("terminal.err"), ""});
    ASSERT_TRUE(terminal_.wait_exit(10000));
    EXPECT_EQ(terminal_.exit_status(), 1);
    EXPECT_EQ(err().find("Boat Stopped"), std::string::npos) << err();
}

}  // namespace
