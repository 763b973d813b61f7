// boat_tracker as built, against its real peers: gpsd replaying a receiver
// log through gpsfake, a MariaDB server of the test's own, the emulated
// PN532 on a pseudo-terminal, the check-in server, all on the loopback of
// the test's own network namespace.
#include "checkin_server.h"
#include "faults.h"
#include "peers.h"
#include "private_mounts.h"
#include "temp_board.h"

#include <signal.h>
#include <unistd.h>
#include <gps.h>
#include <gtest/gtest.h>
#include <nfc/nfc.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace {

using testsupport::Process;
using testsupport::ProcessOptions;
using testsupport::TempBoard;
using testsupport::TempDir;
using testsupport::wait_until;
using trackertest::count;
using testsupport::Gpsd;
using Db = testsupport::MariaDb;
using trackertest::GpsRow;

constexpr uint8_t kGreen = 17, kBlue = 22, kRed = 27, kKill = 4, kRun = 15;
// In this folder, so that the suite needs nothing outside its clone.
const std::string kLog = trackertest::test_log("haicom-305N.log");
constexpr int kServerPort = 18080;  // of the compiled-in base URL
// About one epoch of this log per second.
constexpr const char* kCycle = "0.15";
const std::string kSafeBoard = "I Am Boat 7\r\nSetting default pins\r\nPins Set\r\nBoat Stopped\r\nAll LED OFF\r\n";
const std::string kStartup = "MySql Connected\r\n" + kSafeBoard;

class TrackerProgram : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a network and mounts of its own";
        std::string why;
        ASSERT_TRUE(testsupport::enter_private_host(&why)) << why;
        ASSERT_TRUE(db.start(dir.file("db"))) << db.error();
        testsupport::write_file(dir.file("boatid.txt"), "7\n");
    }

    void TearDown() override { stop_peers(); }

    void stop_peers() {
        if (tracker) {
            kill(tracker->pid(), SIGCONT);  // in case a test stopped it
            tracker->stop(3000);
        }
        if (nfc) nfc->stop(3000);
        server.stop(3000);
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

    // `link`: the reader's stable device name, for a reader that is
    // unplugged and plugged back.
    void start_nfc(const std::string& link = "") {
        ProcessOptions o;
        o.argv = {testsupport::bin("sim/boatsim"), "nfc"};
        if (!link.empty()) o.argv.insert(o.argv.end(), {"--link", link});
        unlink(dir.file("nfc.out").c_str());  // a reader before this one wrote there
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

    void start_server(const std::string& cards, int port = kServerPort) {
        testsupport::write_file(dir.file("cards.txt"), cards);
        ASSERT_TRUE(server.start(port, {"--cards", dir.file("cards.txt")}, dir.file("server.out"), dir.file("server.err")))
            << server.error();
    }

    std::string server_log() { return server.log(); }

    // Outputs set up, run relay stopped, LED off; the kill relay untouched.
    void expect_safe_board() {
        EXPECT_EQ(board.level(kRun), 1) << "run relay stopped";
        EXPECT_EQ(board.level(kGreen) & board.level(kBlue) & board.level(kRed), 1) << "LED off";
        for (uint8_t pin : {kGreen, kBlue, kRed, kKill, kRun}) EXPECT_EQ(board.state().gpio[pin].fsel, 1) << int(pin);
    }

    void start_tracker(const std::string& device) {
        ProcessOptions o;
        o.argv = {testsupport::bin("tracker/boat_tracker")};
        o.env = {board.env(), "LIBNFC_DEFAULT_DEVICE=" + device, "LIBNFC_LOG_LEVEL=" + nfc_log_level};
        o.cwd = dir.path();
        o.stdout_path = dir.file("tracker.out");
        o.stderr_path = dir.file("tracker.err");
        unlink(o.stdout_path.c_str());
        unlink(o.stderr_path.c_str());
        tracker = std::make_unique<Process>(o);
        ASSERT_GT(tracker->pid(), 0);
    }

    // The tracker is in its loop with all peers.
    void start_running(const std::string& cards = "", const std::string& reader_link = "", int server_port = kServerPort) {
        if (!gpsd.running()) {
            ASSERT_TRUE(gpsd.start(kLog, kCycle, dir.path())) << gpsd.error();
        }
        ASSERT_NO_FATAL_FAILURE(start_server(cards, server_port));
        ASSERT_NO_FATAL_FAILURE(start_nfc(reader_link));
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
            rows = trackertest::rows(db, after_id);
            return rows.size() > n || !tracker->running();
        }, timeout_ms, 200);
        return rows;
    }

    int passes() { return count(err(), "Start Loop\r\n"); }
    int checkins(const std::string& rfid) { return count(server_log(), "checkin RFID=" + rfid + " "); }
    bool wait_passes(int n, int timeout_ms = 60000) {
        return wait_until([&] { return passes() >= n || !tracker->running(); }, timeout_ms, 20) && passes() >= n;
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
    std::unique_ptr<Process> nfc, tracker;
    testsupport::CheckinServer server;
    std::string connstring;
    std::string nfc_log_level = "0";
};

// The tracker's run relay stops the boat at a high level: an undriven line
// is not safe, so every start-up failure leaves the outputs set up first.
TEST_F(TrackerProgram, WithoutGpsdItStopsTheBoatThenEnds) {
    ASSERT_FALSE(testsupport::port_open(testsupport::kGpsdPort)) << "a gpsd is running outside the test";
    ASSERT_NO_FATAL_FAILURE(start_tracker("pn532_uart:/dev/null"));
    ASSERT_TRUE(tracker->wait_exit(20000));
    EXPECT_EQ(tracker->exit_status(), 1);
    EXPECT_EQ(out(), std::string("code: -1, reason: ") + gps_errstr(-1) + "\n");
    EXPECT_EQ(err(), kSafeBoard);
    expect_safe_board();
}

TEST_F(TrackerProgram, RefusedDatabaseLoginStopsTheBoatThenEnds) {
    ASSERT_TRUE(gpsd.start(kLog, kCycle, dir.path())) << gpsd.error();
    ASSERT_TRUE(db.exec("ALTER USER 'skipper'@'127.0.0.1' IDENTIFIED BY 'not-the-password'")) << db.error();
    ASSERT_NO_FATAL_FAILURE(start_tracker("pn532_uart:/dev/null"));
    ASSERT_TRUE(tracker->wait_exit(20000));
    EXPECT_EQ(tracker->exit_status(), 1);
    EXPECT_EQ(err(), "Conection error : Access denied for user 'skipper'@'127.0.0.1' (using password: YES)\n" + kSafeBoard);
    EXPECT_EQ(out(), "");
    expect_safe_board();
}

// The settings file names another check-in server, database login and
// gpsd port than the compiled-in ones, where nothing answers: the
// tracker's check-ins and rows go where the file says.
TEST_F(TrackerProgram, ChecksInAndWritesRowsWhereItsSettingsFileSays) {
    constexpr int kFilePort = 18081, kFileGpsdPort = 2948;
    ASSERT_TRUE(db.exec("CREATE USER 'deckhand'@'127.0.0.1' IDENTIFIED BY 'fleet-own-secret'")) << db.error();
    ASSERT_TRUE(db.exec("GRANT INSERT ON GPSTracker.GPS TO 'deckhand'@'127.0.0.1'")) << db.error();
    ASSERT_TRUE(db.exec("DROP USER 'skipper'@'127.0.0.1'")) << db.error();
    testsupport::EtcFile settings("/etc/boat/terminal.conf",
                                  "URL=http://127.0.0.1:" + std::to_string(kFilePort) +
                                      "/hullgate/checkin.php\nDB_USER=deckhand\nDB_PASSWORD=fleet-own-secret\n"
                                      "GPSD_PORT=" + std::to_string(kFileGpsdPort) + "\n");
    ASSERT_TRUE(gpsd.start(kLog, kCycle, dir.path(), false, kFileGpsdPort)) << gpsd.error();
    ASSERT_NO_FATAL_FAILURE(start_running("0A1BC203 OK 0 600\n", "", kFilePort));
    EXPECT_EQ(err().rfind(kStartup, 0), 0u) << "no warning for a file only root may read\n" << err().substr(0, 400);
    board.put_card("0a1bc203");
    ASSERT_TRUE(wait_until([&] { return checkins("0A1BC203") == 1 || !tracker->running(); }, 30000))
        << server_log() << err().substr(err().size() > 3000 ? err().size() - 3000 : 0);
    EXPECT_NE(err().find("Contacting http://127.0.0.1:" + std::to_string(kFilePort) +
                         "/hullgate/checkin.php?RFID=0A1BC203&BoatID=7\r\n"),
              std::string::npos);
    EXPECT_GT(wait_rows(1).size(), 1u) << "no rows through the file's login and gpsd\n" << out();
}

TEST_F(TrackerProgram, WithoutNfcDeviceItEndsAfterTheBoardIsSafe) {
    ASSERT_TRUE(gpsd.start(kLog, kCycle, dir.path())) << gpsd.error();
    ASSERT_NO_FATAL_FAILURE(start_tracker("pn532_uart:/dev/boat-no-such-reader"));
    ASSERT_TRUE(tracker->wait_exit(20000));
    EXPECT_EQ(tracker->exit_status(), 1);
    EXPECT_EQ(err(), kStartup);
    EXPECT_EQ(out(), testsupport::bin("tracker/boat_tracker") + " uses libnfc " + nfc_version() +
                         "\nERROR: Unable to open NFC device.\n");
    expect_safe_board();
}

// The Pi build links the real bcm2835 library, which cannot reach the
// peripherals on a PC: the real start-up failure of HW_init.
TEST_F(TrackerProgram, PiBuildEndsWithStatus1WhenTheHardwareCannotBeOpened) {
    const std::string rpi = testsupport::rpi_bin_dir() + "/tracker/boat_tracker";
    ASSERT_FALSE(testsupport::rpi_bin_dir().empty()) << "configure with BOAT_RPI_BIN_DIR (scripts/test does)";
    ASSERT_EQ(access(rpi.c_str(), X_OK), 0) << rpi << " is not built";
    ASSERT_TRUE(gpsd.start(kLog, kCycle, dir.path())) << gpsd.error();
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
    // The first pass reads the fuel after "Start Loop": its line may still
    // be on its way (slowly so under an emulator).
    EXPECT_TRUE(wait_until([&] { return err().find(")\r\n", err().find("Fuel Value: ")) != std::string::npos; }, 30000));
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
        rows = trackertest::rows(db);
        return with_bearing() >= 3 || !tracker->running();
    }, 60000, 200);
    ASSERT_GE(with_bearing(), 3) << out();
    auto fixes = trackertest::read_rmc_fixes(kLog);
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
    // Wait until the check-in is over and a new pass began.
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
        for (auto& r : trackertest::rows(db)) if (r.active == 1) return true;
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
    long last = trackertest::rows(db).empty() ? 0 : trackertest::rows(db).back().id;
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
    ASSERT_TRUE(db.control("stop"));
    ASSERT_TRUE(wait_err("Database error: ")) << err().substr(err().size() > 2000 ? err().size() - 2000 : 0);
    ASSERT_TRUE(db.control("resume"));
    long last = 0;
    for (auto& r : trackertest::rows(db)) last = r.id;
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
    for (auto& r : trackertest::rows(db)) last = r.id;
    ASSERT_TRUE(gpsd.start(kLog, kCycle, dir.path())) << gpsd.error();
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
    EXPECT_FALSE(trackertest::rows(db).empty()) << "GPS rows went on while no card came\n" << out().substr(0, 3000);
}

// With CHECKIN_INTERVAL=2 the periodic check-in comes every 2 s instead of
// after 600 passes, each request says its kind, and a kill given at the
// server sets the kill relay within the interval and one exchange.
TEST_F(TrackerProgram, WithACheckInIntervalAKillArrivesWithinIt) {
    constexpr double kInterval = 2.0;
    // The pass that notices the time (50 ms at its floor, a GPS wait on
    // every tenth) and an exchange on loopback: a second is ample.
    constexpr double kSlack = 1.0;
    testsupport::EtcFile settings("/etc/boat/terminal.conf", "CHECKIN_INTERVAL=2\n");
    ASSERT_NO_FATAL_FAILURE(start_running("0A1BC203 OK 0 600\n"));
    // Each request as it arrives, timed by polling the server's log.
    std::vector<std::pair<double, std::string>> seen;
    auto watch = [&](size_t n, const std::string& what) {
        return wait_until([&] {
            std::istringstream in(server_log());
            size_t i = 0;
            for (std::string line; std::getline(in, line);) {
                if (line.rfind("checkin ", 0) != 0 || i++ < seen.size()) continue;
                seen.emplace_back(std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(),
                                  line.substr(8, line.find(" ->") - 8));
            }
            return seen.size() >= n && seen.back().second == what;
        }, 15000, 10);
    };
    const std::string periodic = "RFID= BoatID=7 Kind=periodic";
    ASSERT_TRUE(watch(3, periodic)) << server_log();
    for (size_t i = 0; i < 3; i++) EXPECT_EQ(seen[i].second, periodic);
    for (size_t i = 1; i < 3; i++) {
        EXPECT_GE(seen[i].first - seen[i - 1].first, kInterval - 0.2) << i;
        EXPECT_LE(seen[i].first - seen[i - 1].first, kInterval + kSlack) << i;
    }
    EXPECT_NE(err().find("Contacting http://127.0.0.1:18080/hullgate/checkin.php?RFID=&BoatID=7&Kind=periodic\r\n"),
              std::string::npos);
    EXPECT_LT(passes(), 600) << "the interval, not the pass count";

    board.put_card("0a1bc203");
    ASSERT_TRUE(watch(seen.size() + 1, "RFID=0A1BC203 BoatID=7 Kind=card")) << server_log();
    board.take_card("0a1bc203");
    ASSERT_TRUE(watch(seen.size() + 1, "RFID=0A1BC203 BoatID=7 Kind=periodic")) << server_log();
    EXPECT_EQ(board.level(kRun), 0) << "granted";
    const double card = seen[seen.size() - 2].first;
    EXPECT_GE(seen.back().first - card, kInterval - 0.2) << "the card restarts the interval";
    EXPECT_LE(seen.back().first - card, kInterval + kSlack);

    // The server turns to a kill just after a periodic check-in: the next
    // one, an interval later, brings it.
    testsupport::write_file(dir.file("cards.txt"), "0A1BC203 KILL\n");
    const auto ordered = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_until([&] { return board.level(kKill) == 1; }, 10000, 10)) << err().substr(err().size() - 2000);
    EXPECT_LE(std::chrono::duration<double>(std::chrono::steady_clock::now() - ordered).count(), kInterval + kSlack);
    EXPECT_EQ(board.level(kRun), 1) << "the boat stopped";
}

// Another client holds the table (a backup's lock), or the server answers
// only after the client's time-out (a slow disk): the loop goes on, the
// session ends on time, rows resume, and a statement the server stored
// after the time-out is not stored again by the retry.
TEST_F(TrackerProgram, DatabaseStalledLongerThanTheTimeOut) {
    ASSERT_NO_FATAL_FAILURE(start_running("0A1BC203 OK 0 2\n"));
    ASSERT_GT(wait_rows(1).size(), 1u) << out();
    struct Stall {
        const char* name;
        const char* begin;
        const char* end;
    } stalls[] = {
        {"lock", "LOCK TABLES GPS WRITE", "UNLOCK TABLES"},
        {"slow server", "CREATE OR REPLACE TRIGGER slow_gps BEFORE INSERT ON GPS FOR EACH ROW SET @pause = SLEEP(3)",
         "DROP TRIGGER slow_gps"},
    };
    int sessions = 0;
    for (const Stall& st : stalls) {
        SCOPED_TRACE(st.name);
        size_t mark = err().size();
        ASSERT_TRUE(db.exec(st.begin)) << db.error();
        board.put_card("0a1bc203");
        ASSERT_TRUE(wait_until([&] { return checkins("0A1BC203") > sessions || !tracker->running(); }, 60000))
            << err().substr(mark);
        sessions++;
        board.take_card("0a1bc203");
        ASSERT_TRUE(wait_err("Expire Time Stamp ", mark)) << err().substr(mark);
        size_t granted = err().find("Expire Time Stamp ", mark);
        // Stopped by the expiry, or during the database's waits by the
        // paid-time watch (the LED then goes off at the next expiry step).
        EXPECT_TRUE(wait_err("Boat Stopped\r\n", granted)) << "the session outlived its time";
        EXPECT_EQ(board.level(kRun), 1);
        EXPECT_TRUE(wait_err("Database error: ", mark)) << "the stall never reached the tracker";
        ASSERT_TRUE(db.exec(st.end)) << db.error();
        long last = 0;
        for (auto& r : trackertest::rows(db)) last = r.id;
        EXPECT_GT(wait_rows(1, last).size(), 1u) << "rows did not resume";
    }
    std::set<std::string> seen;
    for (auto& r : trackertest::rows(db)) {
        EXPECT_TRUE(r.fix_time.empty() || seen.insert(r.fix_time).second) << "fix " << r.fix_time << " stored twice";
    }
    EXPECT_GT(seen.size(), 2u);
    EXPECT_TRUE(tracker->running());
}

// Without gpsd and without its reader the loop keeps its pace: the passes
// and the periodic check-ins they count stay as few as with every peer.
TEST_F(TrackerProgram, WithReaderAndGpsdGoneTheLoopKeepsItsPace) {
    ASSERT_NO_FATAL_FAILURE(start_running("\n", dir.file("reader")));
    gpsd.stop();
    boatsim::fault_set(board.state(), boatsim::Fault::pn532_line_closed, true);
    ASSERT_TRUE(wait_until([&] { return out().find(" lost: ") != std::string::npos || !tracker->running(); }, 60000))
        << out();
    ASSERT_TRUE(wait_until([&] { return out().find("\ncode: -1, reason: ") != std::string::npos; }, 60000)) << out();
    auto t0 = std::chrono::steady_clock::now();
    int passes0 = passes();
    int checkins0 = checkins("");
    ASSERT_FALSE(wait_until([&] { return !tracker->running(); }, 6000));  // a window to count in
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    int made = passes() - passes0;
    // At most one pass per 50 ms, and a periodic check-in per 600 passes.
    EXPECT_LE(made, static_cast<int>(seconds / 0.05) + 2) << made << " passes in " << seconds << " s";
    EXPECT_GT(made, 0);
    EXPECT_LE(checkins("") - checkins0, made / 600 + 1);
    EXPECT_EQ(count(out(), " lost: "), 1) << "reported once";
    EXPECT_EQ(count(out(), "\ncode: -1, reason: "), 1) << "reported once\n" << out();
}

// A card left on the reader is selected on every pass; it is checked in
// once, and again only after it has left the field.
TEST_F(TrackerProgram, ACardLeftOnTheReaderIsCheckedInOncePerPresentation) {
    ASSERT_NO_FATAL_FAILURE(start_running("0A1BC203 OK 0 600\n"));
    board.put_card("0a1bc203");
    ASSERT_TRUE(wait_until([&] { return checkins("0A1BC203") == 1 || !tracker->running(); }, 30000)) << server_log();
    ASSERT_TRUE(wait_passes(passes() + 40)) << "the loop stopped";
    EXPECT_EQ(checkins("0A1BC203"), 1) << server_log();
    EXPECT_EQ(count(err(), "RFID: "), 1);
    board.take_card("0a1bc203");
    ASSERT_TRUE(wait_passes(passes() + 3));
    board.put_card("0a1bc203");
    EXPECT_TRUE(wait_until([&] { return checkins("0A1BC203") == 2; }, 30000)) << "presented again, not read";
    ASSERT_TRUE(wait_passes(passes() + 20));
    EXPECT_EQ(checkins("0A1BC203"), 2) << server_log();
}

// The reader unplugged and plugged back under its name: reported once
// each way, reopened, and cards are read again.
TEST_F(TrackerProgram, AReaderPluggedBackIsOpenedAgainAndReadsCards) {
    ASSERT_NO_FATAL_FAILURE(start_running("0A1BC203 OK 0 600\n11223344 OK 0 600\n", dir.file("reader")));
    board.put_card("0a1bc203");
    ASSERT_TRUE(wait_until([&] { return checkins("0A1BC203") == 1 || !tracker->running(); }, 30000)) << server_log();
    board.take_card("0a1bc203");

    boatsim::fault_set(board.state(), boatsim::Fault::pn532_line_closed, true);
    ASSERT_TRUE(wait_until([&] { return out().find(" lost: ") != std::string::npos || !tracker->running(); }, 60000))
        << out();
    board.put_card("11223344");  // laid on the unplugged reader
    // Past a reopen attempt, which finds no reader yet.
    ASSERT_TRUE(wait_passes(passes() + 70)) << "the loop stopped without its reader";
    boatsim::fault_set(board.state(), boatsim::Fault::pn532_line_closed, false);
    EXPECT_TRUE(wait_until([&] { return checkins("11223344") == 1 || !tracker->running(); }, 60000))
        << out() << server_log();
    EXPECT_EQ(count(out(), "NFC reader: user defined default device lost: Input / Output Error\n"), 1) << out();
    EXPECT_EQ(count(out(), "NFC reader: user defined default device opened\n"), 2) << out();
}

// gpsd's reports of a DGPS receiver, and of a receiver whose every epoch
// brings several TPV and SKY reports: one row per new fix, with the fix's
// time and position, in the order of the log. The tracker stalls during
// the first while gpsd goes on: the first sample after the stall logs the
// newest fix, not the reports that queued up.
TEST_F(TrackerProgram, RowsAreTheLogsNewFixesEachOnceTheNewestAfterAStall) {
    struct Case {
        const char* log;
        const char* cycle;
        bool stall;
    } cases[] = {{"dgps-sbas.log", "0.05", true}, {"tpv-sky.log", "0.03", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        auto fixes = trackertest::read_rmc_fixes(trackertest::test_log(c.log));
        ASSERT_FALSE(fixes.empty());
        std::map<std::string, trackertest::LogFix> by_time;
        for (const auto& f : fixes) by_time[f.when] = f;
        ASSERT_TRUE(db.exec("TRUNCATE TABLE GPS")) << db.error();
        ASSERT_TRUE(gpsd.start(trackertest::test_log(c.log), c.cycle, dir.path(), true)) << gpsd.error();
        gpsd.hold();
        ASSERT_NO_FATAL_FAILURE(start_running());
        gpsd.release();
        long stalled_at = 0;
        if (c.stall) {
            ASSERT_GE(wait_rows(2).size(), 3u) << out();
            ASSERT_EQ(kill(tracker->pid(), SIGSTOP), 0);
            ASSERT_TRUE(gpsd.wait_for_fix(fixes.back().when, 60000)) << "gpsd did not report the log's last fix";
            auto before = trackertest::rows(db);
            ASSERT_LT(before.back().fix_time, fixes.back().when) << "the stall came after the log's end";
            stalled_at = before.back().id;
            ASSERT_EQ(kill(tracker->pid(), SIGCONT), 0);
        }
        // Replayed once: rows until the log's last fix.
        std::vector<GpsRow> rows;
        ASSERT_TRUE(wait_until([&] {
            rows = trackertest::rows(db);
            return (!rows.empty() && rows.back().fix_time == fixes.back().when) || !tracker->running();
        }, 120000, 100))
            << out();
        EXPECT_GE(rows.size(), 3u);
        std::string before;
        for (const GpsRow& r : rows) {
            if (r.fix_time.empty()) {
                // gpsd may come in after an epoch's RMC: its GGA then gives
                // a fix without the date, and so without a time.
                EXPECT_EQ(before, "") << "row " << r.id << ": no time once gpsd had the date";
                EXPECT_TRUE(std::any_of(fixes.begin(), fixes.end(), [&](const trackertest::LogFix& f) {
                    return std::fabs(f.lat - r.lat) < 1e-6 && std::fabs(f.lng - r.lng) < 1e-6;
                })) << "row " << r.id << " is not a position of the log";
                continue;
            }
            auto it = by_time.find(r.fix_time);
            ASSERT_NE(it, by_time.end()) << "row " << r.id << ": no fix of the log at '" << r.fix_time << "'";
            EXPECT_NEAR(r.lat, it->second.lat, 1e-6) << r.fix_time;
            EXPECT_NEAR(r.lng, it->second.lng, 1e-6) << r.fix_time;
            if (r.has_bearing) {
                EXPECT_NEAR(r.bearing, it->second.track, 1e-6) << r.fix_time;
            }
            EXPECT_GT(r.fix_time, before) << "row " << r.id << " repeats or goes back";
            before = r.fix_time;
        }
        if (c.stall) {
            // A statement the stop caught on its way may come before the newest fix.
            EXPECT_LE(trackertest::rows(db, stalled_at).size(), 2u) << "the reports queued in the stall were logged one by one";
        }
        stop_peers();
    }
}

// Waits the loop cannot avoid during a session: a check-in server that
// is silent or drips its grant, and a database server that froze while the
// reader stopped answering (each statement and each select then runs to
// its time-out, one after the other). None holds the run relay more than
// 5 s past the paid end; a grant dripped in after the end starts the boat
// again.
TEST_F(TrackerProgram, NoWaitHoldsTheBoatPastItsPaidTime) {
    struct Case {
        const char* what;
        const char* answer;  // to the second card, which starts the wait
        bool freeze;         // the database server and the reader instead
        const char* outcome;
    } cases[] = {
        {"silent check-in server", "!hang", false, "Network Error Timeout was reached\r\n"},
        {"dripping check-in server", "!drip 1000 OK 0 2", false, "Expire Time Stamp "},
        {"frozen database and mute reader", "", true, ""},
    };
    constexpr int kPaidS = 3;
    constexpr uint64_t kLateNs = 5000000000;
    const std::string db_pid = testsupport::read_file(db.dir() + "/mysqld.pid");
    ASSERT_FALSE(db_pid.empty());
    struct Thaw {
        pid_t pid;
        ~Thaw() { kill(pid, SIGCONT); }
    } thaw {static_cast<pid_t>(std::stol(db_pid))};
    ASSERT_NO_FATAL_FAILURE(start_running());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::write_file(dir.file("cards.txt"), "0A1BC203 OK 0 " + std::to_string(kPaidS) + "\n11223344 " +
                                                           c.answer + "\n");
        // The run relay's writes, read as they come: the board's event log
        // is a ring that the blink of a long wait would run over.
        uint64_t seq = board.last_seq();
        std::vector<boatsim::GpioEvent> run;
        auto collect = [&] {
            for (const auto& e : board.events_since(seq)) {
                if (e.pin == kRun) run.push_back(e);
                seq = e.seq;
            }
            return false;
        };
        const size_t mark0 = err().size();
        const int grants = count(err(), "Expire Time Stamp ");
        board.put_card("0a1bc203");
        ASSERT_TRUE(wait_until([&] { return count(err(), "Expire Time Stamp ") > grants || !tracker->running(); },
                               30000))
            << err().substr(mark0);
        board.take_card("0a1bc203");
        const size_t mark = err().size();
        if (c.freeze) {
            // Shortly before the paid end, so that the waits fall after it.
            wait_until(collect, kPaidS * 1000 - 800);
            ASSERT_EQ(kill(thaw.pid, SIGSTOP), 0);
            boatsim::fault_set(board.state(), boatsim::Fault::pn532_mute, true);
        } else {
            board.put_card("11223344");
        }
        if (c.freeze) {
            // Frozen until the boat stops, or well past any bound.
            wait_until([&] { return collect() || board.level(kRun) == 1; }, 20000);
        } else {
            EXPECT_TRUE(wait_until([&] { return collect() || err().find(c.outcome, mark) != std::string::npos; }, 60000))
                << err().substr(mark);
        }
        if (c.freeze) {
            kill(thaw.pid, SIGCONT);
            boatsim::fault_set(board.state(), boatsim::Fault::pn532_mute, false);
        } else {
            board.take_card("11223344");
        }
        collect();
        uint64_t on = 0, off = 0;
        for (const auto& e : run) {
            if (e.level == 0 && on == 0) on = e.t_ns;
            if (e.level == 1 && on != 0 && off == 0) off = e.t_ns;
        }
        ASSERT_NE(on, 0u) << "never granted";
        EXPECT_NE(off, 0u) << "the run relay never dropped";
        if (off != 0) {
            EXPECT_LE(off - on, kPaidS * 1000000000ull + kLateNs) << "held past the paid time";
            printf("%s: run relay dropped %.2f s after a grant of %d s\n", c.what, (off - on) / 1e9, kPaidS);
        }
        // Whatever the wait left behind is over before the next case, and
        // a pass without a card makes the next one a new presentation.
        ASSERT_TRUE(wait_until([&] { return board.level(kRun) == 1 || !tracker->running(); }, 30000));
        ASSERT_TRUE(wait_passes(passes() + 3));
    }
}

}  // namespace
