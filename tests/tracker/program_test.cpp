// boat_tracker as built, against its real peers: gpsd replaying a receiver
// log through gpsfake, the fixture's MariaDB server, the emulated PN532 on
// a pseudo-terminal, the check-in server, all on loopback.
#include "peers.h"
#include "temp_board.h"

#include <signal.h>
#include <unistd.h>
#include <gps.h>
#include <gtest/gtest.h>
#include <nfc/nfc.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

using testsupport::Process;
using testsupport::ProcessOptions;
using testsupport::TempBoard;
using testsupport::TempDir;
using testsupport::wait_until;
using trackertest::count;
using trackertest::Db;
using trackertest::Gpsd;
using trackertest::GpsRow;

constexpr uint8_t kGreen = 17, kBlue = 22, kRed = 27, kKill = 4, kRun = 15;
constexpr const char* kLog = "haicom-305N.log";
// About one epoch of this log per second.
constexpr const char* kCycle = "0.15";
const std::string kStartup =
    "MySql Connected\r\nI Am Boat 7\r\nSetting default pins\r\nPins Set\r\nBoat Stopped\r\nAll LED OFF\r\n";

class TrackerProgram : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(db.ok()) << db.error();
        ASSERT_TRUE(db.exec("TRUNCATE TABLE GPS")) << db.error();
        testsupport::write_file(dir.file("boatid.txt"), "7\n");
    }

    void TearDown() override {
        if (tracker) tracker->stop(3000);
        if (nfc) nfc->stop(3000);
        if (server) server->stop(3000);
        gpsd.stop();
    }

    std::string err() { return testsupport::read_file(dir.file("tracker.err")); }
    std::string out() { return testsupport::read_file(dir.file("tracker.out")); }

    // Runs boatsim (the simulator's control tool) on this test's board.
    void boatsim(const std::vector<std::string>& args) {
        ProcessOptions o;
        o.argv = {testsupport::bin("sim/boatsim")};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.env = {board.env()};
        o.stderr_path = dir.file("boatsim.err");
        Process p(o);
        ASSERT_TRUE(p.wait_exit(10000)) << "boatsim did not finish";
        ASSERT_EQ(p.exit_status(), 0) << testsupport::read_file(dir.file("boatsim.err"));
    }

    void start_nfc() {
        ProcessOptions o;
        o.argv = {testsupport::bin("sim/boatsim"), "nfc"};
        o.env = {board.env()};
        o.stdout_path = dir.file("nfc.out");
        o.stderr_path = dir.file("nfc.err");
        nfc = std::make_unique<Process>(o);
        bool up = wait_until(
            [&] { return testsupport::read_file(dir.file("nfc.out")).find('\n') != std::string::npos || !nfc->running(); },
            10000);
        std::string text = testsupport::read_file(dir.file("nfc.out"));
        size_t at = text.find("pn532_uart:");
        ASSERT_TRUE(up && nfc->running() && at != std::string::npos)
            << "the emulated NFC reader did not start: " << text << testsupport::read_file(dir.file("nfc.err"));
        connstring = text.substr(at, text.find_first_of(" \r\n", at) - at);
    }

    void start_server(const std::string& cards) {
        // CTest's lock keeps our own tests off the port; another test run
        // on the machine may still hold it for a while.
        ASSERT_TRUE(wait_until([] { return !testsupport::port_open(18080); }, 120000, 100))
            << "127.0.0.1:18080 is taken by another program";
        testsupport::write_file(dir.file("cards.txt"), cards);
        ProcessOptions o;
        o.argv = {testsupport::peer_bin("sim/checkin-server"), "--cards", dir.file("cards.txt"), "--port", "18080"};
        o.stdout_path = dir.file("server.out");
        o.stderr_path = dir.file("server.err");
        server = std::make_unique<Process>(o);
        ASSERT_TRUE(wait_until([&] { return testsupport::port_open(18080) || !server->running(); }, 10000) &&
                    server->running())
            << "check-in server did not start: " << testsupport::read_file(dir.file("server.err"));
    }

    std::string server_log() { return testsupport::read_file(dir.file("server.out")); }

    void start_tracker(const std::string& device) {
        ProcessOptions o;
        o.argv = {testsupport::bin("tracker/boat_tracker")};
        o.env = {board.env(), "LIBNFC_DEFAULT_DEVICE=" + device, "LIBNFC_LOG_LEVEL=" + nfc_log_level};
        o.cwd = dir.path();
        o.stdout_path = dir.file("tracker.out");
        o.stderr_path = dir.file("tracker.err");
        tracker = std::make_unique<Process>(o);
        ASSERT_GT(tracker->pid(), 0);
    }

    // The tracker is in its loop with all peers.
    void start_running(const std::string& cards = "") {
        ASSERT_NO_FATAL_FAILURE(gpsd.start(kLog, kCycle, dir.path()));
        ASSERT_NO_FATAL_FAILURE(start_server(cards));
        ASSERT_NO_FATAL_FAILURE(start_nfc());
        ASSERT_NO_FATAL_FAILURE(start_tracker(connstring));
        bool looping = wait_until([&] { return err().find("Start Loop\r\n") != std::string::npos || !tracker->running(); },
                                  30000);
        ASSERT_TRUE(looping && tracker->running()) << "boat_tracker did not reach its loop:\n"
                                                   << out() << err().substr(0, 2000);
    }

    // Waits until the table holds more than `n` rows after `after_id`.
    std::vector<GpsRow> wait_rows(size_t n, long after_id = 0, int timeout_ms = 60000) {
        std::vector<GpsRow> rows;
        wait_until([&] {
            rows = db.rows(after_id);
            return rows.size() > n || !tracker->running();
        }, timeout_ms, 200);
        return rows;
    }

    bool wait_err(const std::string& text, size_t from = 0, int timeout_ms = 60000) {
        return wait_until([&] { return err().find(text, from) != std::string::npos || !tracker->running(); }, timeout_ms,
                          20) &&
               err().find(text, from) != std::string::npos;
    }

    TempBoard board {boatsim::Profile::tracker};
    TempDir dir;
    Db db;
    Gpsd gpsd;
    std::unique_ptr<Process> nfc, server, tracker;
    std::string connstring;
    std::string nfc_log_level = "0";
};

TEST_F(TrackerProgram, WithoutGpsdItEndsAtOnce) {
    ASSERT_FALSE(testsupport::port_open(2947)) << "a gpsd is running outside the test";
    ASSERT_NO_FATAL_FAILURE(start_tracker("pn532_uart:/dev/null"));
    ASSERT_TRUE(tracker->wait_exit(20000));
    EXPECT_EQ(tracker->exit_status(), 1);
    EXPECT_EQ(out(), std::string("code: -1, reason: ") + gps_errstr(-1) + "\n");
    EXPECT_EQ(err(), "");
    EXPECT_EQ(board.last_seq(), 0u) << "no output was touched";
}

TEST_F(TrackerProgram, RefusedDatabaseLoginEndsIt) {
    ASSERT_NO_FATAL_FAILURE(gpsd.start(kLog, kCycle, dir.path()));
    ASSERT_TRUE(db.exec("ALTER USER 'skipper'@'127.0.0.1' IDENTIFIED BY 'not-the-password'")) << db.error();
    struct Restore {
        Db& db;
        ~Restore() { db.exec("ALTER USER 'skipper'@'127.0.0.1' IDENTIFIED BY 'tern482'"); }
    } restore {db};
    ASSERT_NO_FATAL_FAILURE(start_tracker("pn532_uart:/dev/null"));
    ASSERT_TRUE(tracker->wait_exit(20000));
    EXPECT_EQ(tracker->exit_status(), 1);
    EXPECT_EQ(err(), "Conection error : Access denied for user 'skipper'@'127.0.0.1' (using password: YES)\n");
    EXPECT_EQ(out(), "");
    EXPECT_EQ(board.last_seq(), 0u);
}

TEST_F(TrackerProgram, WithoutNfcDeviceItEndsAfterTheBoardIsSafe) {
    ASSERT_NO_FATAL_FAILURE(gpsd.start(kLog, kCycle, dir.path()));
    ASSERT_NO_FATAL_FAILURE(start_tracker("pn532_uart:/dev/boat-no-such-reader"));
    ASSERT_TRUE(tracker->wait_exit(20000));
    EXPECT_EQ(tracker->exit_status(), 1);
    EXPECT_EQ(err(), kStartup);
    EXPECT_EQ(out(), testsupport::bin("tracker/boat_tracker") + " uses libnfc " + nfc_version() +
                         "\nERROR: Unable to open NFC device.\n");
    EXPECT_EQ(board.level(kRun), 1) << "run relay stopped";
    EXPECT_EQ(board.level(kGreen) & board.level(kBlue) & board.level(kRed), 1) << "LED off";
    for (uint8_t pin : {kGreen, kBlue, kRed, kKill, kRun}) EXPECT_EQ(board.state().gpio[pin].fsel, 1) << int(pin);
}

// The Pi build links the real bcm2835 library, which cannot reach the
// peripherals on a PC: the real start-up failure of HW_init.
TEST_F(TrackerProgram, PiBuildEndsWithStatus1WhenTheHardwareCannotBeOpened) {
    const std::string rpi = std::string(BOAT_RPI_BIN_DIR) + "/tracker/boat_tracker";
    ASSERT_FALSE(std::string(BOAT_RPI_BIN_DIR).empty()) << "configure with BOAT_RPI_BIN_DIR (scripts/test does)";
    ASSERT_EQ(access(rpi.c_str(), X_OK), 0) << rpi << " is not built";
    ASSERT_NO_FATAL_FAILURE(gpsd.start(kLog, kCycle, dir.path()));
    ProcessOptions o;
    o.argv = {rpi};
    o.cwd = dir.path();
    o.stdout_path = dir.file("tracker.out");
    o.stderr_path = dir.file("tracker.err");
    tracker = std::make_unique<Process>(o);
    ASSERT_TRUE(tracker->wait_exit(20000));
    EXPECT_EQ(tracker->exit_status(), 1);
    // Connected to both peers, then nothing of its own after the library's
    // complaint: the LED and relays were never driven.
    const std::string e = err();
    EXPECT_EQ(e.rfind("MySql Connected\r\nI Am Boat 7\r\n", 0), 0u) << e;
    EXPECT_EQ(e.find("Setting default pins"), std::string::npos) << e;
    EXPECT_EQ(out(), "");
}

TEST_F(TrackerProgram, WritesTheLogsFixesWithFuelAndActive) {
    ASSERT_NO_FATAL_FAILURE(boatsim({"adc", "0", "700"}));
    ASSERT_NO_FATAL_FAILURE(start_running());
    std::string o = out();
    EXPECT_EQ(o.rfind(testsupport::bin("tracker/boat_tracker") + " uses libnfc " + nfc_version() + "\nNFC reader: ", 0),
              0u)
        << o;
    EXPECT_NE(o.find(" opened\n"), std::string::npos) << o;
    EXPECT_EQ(err().rfind(kStartup + "Start Loop\r\nCheck Fuel\r\nFuel Value: ", 0), 0u) << err().substr(0, 400);
    EXPECT_NE(err().find("Fuel Value: 00 02 BC (700)\r\n"), std::string::npos) << err().substr(0, 400);

    // gpsd reports each epoch twice: after GGA with a speed of its own
    // reckoning and no course (a NULL bearing), after RMC with the log's.
    std::vector<GpsRow> rows;
    auto with_bearing = [&] {
        int n = 0;
        for (auto& r : rows) n += r.has_bearing;
        return n;
    };
    wait_until([&] {
        rows = db.rows();
        return with_bearing() >= 3 || !tracker->running();
    }, 60000, 200);
    ASSERT_GE(with_bearing(), 3) << out();
    auto fixes = trackertest::read_rmc_fixes(std::string(BOAT_SHARED_DIR) + "/data/gps/" + kLog);
    ASSERT_FALSE(fixes.empty());
    for (const GpsRow& r : rows) {
        EXPECT_EQ(r.fuel, 700);
        EXPECT_EQ(r.active, 0);
        bool found = false;
        for (const auto& f : fixes) {
            // The statement carries six decimals.
            if (std::fabs(f.lat - r.lat) > 1e-6 || std::fabs(f.lng - r.lng) > 1e-6) continue;
            if (!r.has_bearing) {
                found = r.has_speed;
                continue;
            }
            if (std::fabs(f.knots * 0.514444 - r.speed) > 1e-3) continue;
            if (!f.has_track || std::fabs(f.track - r.bearing) > 1e-6) continue;
            found = true;
        }
        EXPECT_TRUE(found) << "row " << r.id << " " << r.lat << " " << r.lng << " " << r.speed << " " << r.bearing
                           << " is not a position of the log";
    }
    EXPECT_GE(count(out(), "latitude: "), static_cast<int>(rows.size()));
}

TEST_F(TrackerProgram, CardGrantRunsTheBoatUntilTheSessionExpires) {
    ASSERT_NO_FATAL_FAILURE(start_running("04A1B2C3D4E5F6 OK 0 600\n0A0B0C0D OK 0 2\n"));
    board.put_card("04a1b2c3d4e5f6");
    ASSERT_TRUE(wait_until([&] { return server_log().find("RFID=04A1B2C3D4E5F6 BoatID=7") != std::string::npos; },
                           30000))
        << server_log() << err().substr(err().size() > 3000 ? err().size() - 3000 : 0);
    board.take_card("04a1b2c3d4e5f6");
    ASSERT_TRUE(wait_err("Expire Time Stamp "));
    std::string e = err();
    EXPECT_NE(e.find("RFID: 04A1B2C3D4E5F6Blue LED ON\r\nDo CURL\r\nContacting "
                     "http://127.0.0.1:18080/hullgate/checkin.php?RFID=04A1B2C3D4E5F6&BoatID=7\r\nCURL OK \r\n"
                     "Green LED ON\r\nOK 0 600\r\nKill Switch Off\r\nOK 0 600\r\nGreen LED ON\r\nBoat Started\r\n"
                     "Online for 0 Days\r\n"),
              std::string::npos)
        << e;
    // The card may have been read on several passes before it left the
    // field: wait until the last check-in is over and a new pass began.
    ASSERT_TRUE(wait_until([&] {
        std::string e = err();
        size_t end = e.rfind("End Read Loop\r\n");
        return end != std::string::npos && count(e, "RFID: ") == count(e, "End Read Loop\r\n") &&
               e.find("Start Loop\r\n", end) != std::string::npos;
    }, 60000)) << err().substr(err().find("RFID: "));
    EXPECT_EQ(board.level(kRun), 0) << "tracker's run relay runs the boat low";
    EXPECT_EQ(board.level(kKill), 0);
    EXPECT_EQ(board.level(kGreen), 0) << err().substr(err().find("RFID: "), 3000);
    EXPECT_GE(board.state().signal_pulses, 1u);

    // Rows written during the session carry Active 1.
    auto rows = wait_rows(0);
    ASSERT_TRUE(wait_until([&] {
        for (auto& r : db.rows()) if (r.active == 1) return true;
        return !tracker->running();
    }, 60000, 200)) << out();

    // A short second session ends on its own.
    size_t mark = err().size();
    board.put_card("0a0b0c0d");
    ASSERT_TRUE(wait_until([&] { return server_log().find("RFID=0A0B0C0D") != std::string::npos; }, 30000));
    board.take_card("0a0b0c0d");
    ASSERT_TRUE(wait_err("Expire Time Stamp ", mark));
    size_t granted = err().find("Expire Time Stamp ", mark);
    ASSERT_TRUE(wait_err("All LED OFF\r\nBoat Stopped\r\n", granted)) << err().substr(granted);
    EXPECT_EQ(board.level(kRun), 1);
    long last = db.rows().empty() ? 0 : db.rows().back().id;
    auto after = wait_rows(0, last);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.back().active, 0);
}

TEST_F(TrackerProgram, SigtermDuringASessionStopsTheBoatAndEndsWithStatus0) {
    ASSERT_NO_FATAL_FAILURE(start_running("04A1B2C3D4E5F6 OK 0 600\n"));
    board.put_card("04a1b2c3d4e5f6");
    ASSERT_TRUE(wait_err("Expire Time Stamp ")) << err().substr(err().size() > 3000 ? err().size() - 3000 : 0);
    board.take_card("04a1b2c3d4e5f6");
    ASSERT_TRUE(wait_until([&] { return board.level(kRun) == 0; }, 10000));
    ASSERT_EQ(kill(tracker->pid(), SIGTERM), 0);
    ASSERT_TRUE(tracker->wait_exit(60000));
    EXPECT_EQ(tracker->exit_status(), 0);
    EXPECT_EQ(board.level(kRun), 1) << "run relay stopped";
    EXPECT_EQ(board.level(kGreen) & board.level(kBlue) & board.level(kRed), 1) << "LED off";
    const std::string e = err(), tail = "Boat Stopped\r\nAll LED OFF\r\n";
    EXPECT_EQ(e.substr(e.size() - std::min(e.size(), tail.size())), tail);
}

TEST_F(TrackerProgram, RowsResumeAfterTheDatabaseRestarts) {
    ASSERT_NO_FATAL_FAILURE(start_running());
    ASSERT_FALSE(wait_rows(1).size() <= 1u) << out();
    ASSERT_TRUE(Db::control("stop"));
    struct Resume {
        ~Resume() { Db::control("resume"); }
    } resume;
    ASSERT_TRUE(wait_err("Database error: ")) << err().substr(err().size() > 2000 ? err().size() - 2000 : 0);
    ASSERT_TRUE(Db::control("resume"));
    long last = 0;
    for (auto& r : db.rows()) last = r.id;
    auto rows = wait_rows(2, last);
    EXPECT_GT(rows.size(), 2u) << "rows did not resume after the restart";
    EXPECT_TRUE(tracker->running());
}

TEST_F(TrackerProgram, RowsResumeAfterGpsdRestarts) {
    ASSERT_NO_FATAL_FAILURE(start_running());
    ASSERT_GT(wait_rows(1).size(), 1u) << out();
    gpsd.stop();
    ASSERT_TRUE(wait_until([&] { return out().find("error occured reading gps data. code: -1") != std::string::npos; },
                           60000))
        << out();
    long last = 0;
    for (auto& r : db.rows()) last = r.id;
    ASSERT_NO_FATAL_FAILURE(gpsd.start(kLog, kCycle, dir.path()));
    auto rows = wait_rows(2, last);
    EXPECT_GT(rows.size(), 2u) << "rows did not resume after gpsd came back\n" << out();
    EXPECT_TRUE(tracker->running());
}

// The loop must not wait in the reader for a card: after libnfc's
// initiator set-up (which asks for endless retries) the passive activation
// retries are set finite before the first poll.
TEST_F(TrackerProgram, TheReaderPollsWithFiniteRetries) {
    nfc_log_level = "3";  // libnfc logs every frame it sends
    ASSERT_NO_FATAL_FAILURE(start_running());
    ASSERT_TRUE(wait_until([&] { return count(err(), "Start Loop\r\n") >= 3 || !tracker->running(); }, 60000));
    std::string e = err();
    // RFConfiguration, item MaxRetries: MxRtyATR, MxRtyPSL, MxRtyPassiveActivation.
    const std::string max_retries = "d4 32 05 ";
    size_t first_poll = e.find("d4 4a 01 00");
    ASSERT_NE(first_poll, std::string::npos) << "no InListPassiveTarget for one type A target seen";
    size_t last_setting = e.rfind(max_retries, first_poll);
    ASSERT_NE(last_setting, std::string::npos) << e.substr(0, first_poll);
    std::string activation = e.substr(last_setting + max_retries.size() + 6, 2);
    EXPECT_NE(activation, "ff") << e.substr(last_setting, 40);
    EXPECT_EQ(count(e, "Start Loop\r\n"), count(e, "d4 4a 01 00") + (e.rfind("Start Loop") > e.rfind("d4 4a 01 00")));
}

TEST_F(TrackerProgram, WithoutCardsThePeriodicCheckInComesAfter600Passes) {
    ASSERT_NO_FATAL_FAILURE(start_running("\n"));
    ASSERT_TRUE(wait_until([&] { return server_log().find("checkin RFID= BoatID=7") != std::string::npos ||
                                        !tracker->running(); },
                           600000, 200))
        << "no periodic check-in; passes so far: " << count(err(), "Start Loop\r\n");
    std::string e = err();
    size_t at = e.find("Performing Check In\r\n");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(count(e.substr(0, at), "Start Loop\r\n"), 601);
    EXPECT_NE(e.find("Contacting http://127.0.0.1:18080/hullgate/checkin.php?RFID=&BoatID=7\r\n", at), std::string::npos);
    EXPECT_EQ(count(e, "RFID: "), 0);
    EXPECT_FALSE(db.rows().empty()) << "GPS rows went on while no card came\n" << out().substr(0, 3000);
}

}  // namespace
