// The tracker's pass loop driven pass by pass on a private simulated board,
// with the NFC select, gpsd, the database and the clock scripted. Check-ins
// go to a closed loopback port, so they fail at once without a server.
#include "checkin_client.h"
#include "telemetry.h"
#include "temp_board.h"
#include "terminal.h"
#include "tracker_loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using boatsim::GpioEvent;
using testsupport::TempBoard;

constexpr uint8_t kGreen = 17, kBlue = 22, kRed = 27, kKill = 4, kRun = 15, kSignal = 18;

std::unique_ptr<TempBoard> board;

// Scripted peers, keyed by pass number (PassCount + 1 while a pass runs).
std::map<int, std::vector<uint8_t>> cards;  // pass -> UID the reader selects
std::set<int> select_errors;                // passes whose select fails
std::vector<int> gps_passes;
std::vector<std::pair<int, std::string>> rows;
time_t now = 1000;

int pass_number() { return PassCount + 1; }

int fake_select(nfc_target* nt) {
    // Runs after the pass's increment.
    int pass = PassCount;
    if (select_errors.count(pass)) return -90;
    auto it = cards.find(pass);
    if (it == cards.end()) return 0;
    *nt = nfc_target {};
    nt->nm = {NMT_ISO14443A, NBR_106};
    size_t len = it->second.size();  // libnfc's records are packed: unaligned
    memcpy(reinterpret_cast<char*>(&nt->nti.nai) + offsetof(nfc_iso14443a_info, szUidLen), &len, sizeof len);
    for (size_t i = 0; i < it->second.size(); i++) nt->nti.nai.abtUid[i] = it->second[i];
    return 1;
}

// One TPV waits at each GPS sample.
int fake_fetch(struct gps_data_t* g, bool* tpv) {
    *tpv = false;
    if (!gps_passes.empty() && gps_passes.back() == pass_number()) return 0;
    gps_passes.push_back(pass_number());
    *g = gps_data_t {};
    g->fix.status = STATUS_FIX;
    g->fix.mode = MODE_3D;
    g->fix.latitude = 51.5;
    g->fix.longitude = -0.25;
    g->fix.speed = 2.0;
    g->fix.track = 180.0;
    *tpv = true;
    return 1;
}

void fake_store(const char* statement) { rows.emplace_back(pass_number(), statement); }
time_t fake_time(time_t* t) {
    if (t) *t = now;
    return now;
}
time_t mono = 50000;
time_t fake_monotonic() { return mono; }
int no_sleep(useconds_t) { return 0; }

struct Pass {
    int number;
    std::string err;
    std::vector<GpioEvent> events;
    bool led_written(uint8_t g, uint8_t b, uint8_t r) const {
        // The LED lines are always written 17, 22, 27 in a row.
        for (size_t i = 0; i + 2 < events.size(); i++)
            if (events[i].pin == kGreen && events[i].level == g && events[i + 1].pin == kBlue &&
                events[i + 1].level == b && events[i + 2].pin == kRed && events[i + 2].level == r)
                return true;
        return false;
    }
    bool wrote(uint8_t pin) const {
        for (auto& e : events)
            if (e.pin == pin) return true;
        return false;
    }
    bool has(const std::string& text) const { return err.find(text) != std::string::npos; }
};

class PassTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (board) return;
        board = std::make_unique<TempBoard>(boatsim::Profile::tracker);
        setenv("BOATSIM_STATE", board->path().c_str(), 1);
        Terminal = &kTrackerTerminal;
    }

    void SetUp() override {
        cards.clear();
        select_errors.clear();
        gps_passes.clear();
        rows.clear();
        now = 1000;
        mono = 50000;
        saved_io_ = Telemetry;
        Telemetry = {fake_fetch, fake_store};
        tracker_select = fake_select;
        terminal_time = fake_time;
        terminal_monotonic = fake_monotonic;
        terminal_usleep = no_sleep;
        URL = "http://127.0.0.1:9/hullgate/checkin.php";
        query = query_;
        ::testing::internal::CaptureStderr();
        int rc = tracker_board_startup();
        std::string start = ::testing::internal::GetCapturedStderr();
        ASSERT_EQ(rc, 0) << start;
        ASSERT_EQ(start,
                  "I Am Boat 0\r\nSetting default pins\r\nPins Set\r\nBoat Stopped\r\nAll LED OFF\r\n");
    }

    void TearDown() override {
        Telemetry = saved_io_;
        query = nullptr;
    }

    Pass pass() {
        Pass p;
        p.number = pass_number();
        uint64_t seq = board->last_seq();
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        tracker_pass();
        p.err = ::testing::internal::GetCapturedStderr();
        ::testing::internal::GetCapturedStdout();
        p.events = board->events_since(seq);
        return p;
    }

    std::vector<Pass> passes(int n) {
        std::vector<Pass> out;
        for (int i = 0; i < n; i++) out.push_back(pass());
        return out;
    }

    TelemetryIo saved_io_ {};
    char query_[kQuerySize] {};
};

TEST_F(PassTest, GpsEveryTenthPassFromTheFirstAndBlinkFromTheSecond) {
    auto log = passes(30);
    EXPECT_EQ(gps_passes, (std::vector<int> {1, 11, 21}));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_TRUE(log[0].events.empty()) << "pass 1 touches no output";
    EXPECT_EQ(log[0].err.rfind("Start Loop\r\nCheck Fuel\r\nFuel Value: ", 0), 0u) << log[0].err;
    for (const Pass& p : log) {
        if (p.number == 1) continue;
        if (p.number % 2 == 0) {
            EXPECT_TRUE(p.led_written(1, 1, 1)) << "pass " << p.number;
            EXPECT_TRUE(p.has("All LED OFF\r\n")) << p.number;
        } else {
            EXPECT_TRUE(p.led_written(1, 0, 1)) << "pass " << p.number;
            EXPECT_TRUE(p.has("Blue LED ON\r\n")) << p.number;
        }
        EXPECT_FALSE(p.wrote(kRun)) << p.number;
        EXPECT_FALSE(p.has("End Read Loop")) << p.number;
        EXPECT_FALSE(p.wrote(kSignal)) << p.number;
    }
}

// On the monotonic clock, whatever the wall clock does.
TEST_F(PassTest, SessionExpiresOnlyOnEvenPassesAfterItsSecondsHavePassed) {
    Active = 1;
    StartTime = 940;
    EndTime = 1000;
    StartMonotonic = mono - 60;
    now = 9000;  // the wall clock steps forward
    auto log = passes(3);  // passes 1-3 at EndTime itself: not later
    EXPECT_EQ(Active, 1);
    EXPECT_FALSE(log[1].wrote(kGreen)) << "a running session leaves the LED alone";
    EXPECT_FALSE(log[2].wrote(kGreen));
    mono += 1;
    Pass p4 = pass();  // even: expiry
    EXPECT_EQ(Active, 0);
    EXPECT_TRUE(p4.has("All LED OFF\r\nBoat Stopped\r\n")) << p4.err;
    ASSERT_EQ(p4.events.size(), 4u);
    EXPECT_TRUE(p4.led_written(1, 1, 1));
    EXPECT_EQ(p4.events[3].pin, kRun);
    EXPECT_EQ(p4.events[3].level, 1);  // tracker's run relay: high is stopped

    // Odd passes never test the session, whatever the time.
    Active = 1;
    StartTime = 800;
    EndTime = 900;
    StartMonotonic = mono - 101;
    now = 0;  // and back
    Pass p5 = pass();
    EXPECT_EQ(Active, 1);
    EXPECT_TRUE(p5.events.empty());
    Pass p6 = pass();
    EXPECT_EQ(Active, 0);
    EXPECT_TRUE(p6.has("All LED OFF\r\nBoat Stopped\r\n"));
}

// A pass held by its peers (here a select as long as a silent reader's)
// stops the boat after the wait once the paid time is over, odd pass or
// not; the LED waits for the next even pass.
int slow_select(nfc_target*) {
    usleep(600000);  // longer than a pass that kept its pace may take
    return 0;
}

TEST_F(PassTest, APassHeldByItsPeersStopsTheBoatOnceThePaidTimeIsOver) {
    passes(2);
    Active = 1;
    StartTime = 940;
    EndTime = 1000;
    StartMonotonic = mono - 61;
    tracker_select = slow_select;
    Pass p3 = pass();
    EXPECT_EQ(Active, 0);
    EXPECT_EQ(p3.err.find("All LED OFF"), std::string::npos) << p3.err;
    EXPECT_TRUE(p3.has("Boat Stopped\r\n")) << p3.err;
    ASSERT_EQ(p3.events.size(), 1u);
    EXPECT_EQ(p3.events[0].pin, kRun);
    EXPECT_EQ(p3.events[0].level, 1);
    tracker_select = fake_select;
    Pass p4 = pass();
    EXPECT_TRUE(p4.has("All LED OFF\r\n")) << p4.err;
    EXPECT_FALSE(p4.wrote(kRun));
}

TEST_F(PassTest, RowCarriesTheActiveLeftByThePreviousPass) {
    Active = 1;
    StartTime = EndTime = 1000;
    StartMonotonic = mono;
    passes(9);
    mono += 1;
    pass();  // pass 10 ends the session
    passes(10);  // pass 11 writes a row
    Active = 1;  // as a grant on pass 20 would leave it
    EndTime = 5000;
    pass();  // pass 21
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].first, 1);
    EXPECT_NE(rows[0].second.find(", '1', NULL, '"), std::string::npos) << rows[0].second;
    EXPECT_EQ(rows[1].first, 11);
    EXPECT_NE(rows[1].second.find(", '0', NULL, '"), std::string::npos) << rows[1].second;
    EXPECT_EQ(rows[2].first, 21);
    EXPECT_NE(rows[2].second.find(", '1', NULL, '"), std::string::npos) << rows[2].second;
}

TEST_F(PassTest, PeriodicCheckInAfter600PassesCountedFromTheLastCheckIn) {
    cards[700] = {0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};
    select_errors = {5, 702};
    std::vector<int> periodic;
    for (int i = 0; i < 1301; i++) {
        Pass p = pass();
        if (p.has("Performing Check In\r\n")) {
            periodic.push_back(p.number);
            // Before any card the request carries an empty RFID.
            const char* rfid = p.number == 601 ? "" : "04A1B2C3D4E5F6";
            EXPECT_TRUE(p.has(std::string("Contacting http://127.0.0.1:9/hullgate/checkin.php?RFID=") + rfid +
                              "&BoatID=0\r\n"))
                << p.err;
        }
        if (p.number == 700) {
            EXPECT_TRUE(p.has("RFID: 04A1B2C3D4E5F6Blue LED ON\r\nDo CURL\r\n")) << p.err;
            EXPECT_TRUE(p.has("Network Error "));
            // The pulse comes after the check-in, with nothing between its edges.
            ASSERT_GE(p.events.size(), 2u);
            const GpioEvent& hi = p.events[p.events.size() - 2];
            const GpioEvent& lo = p.events.back();
            EXPECT_EQ(hi.pin, kSignal);
            EXPECT_EQ(hi.level, 1);
            EXPECT_EQ(lo.pin, kSignal);
            EXPECT_EQ(lo.level, 0);
            EXPECT_EQ(p.err.substr(p.err.size() - 15), "End Read Loop\r\n");
        } else {
            EXPECT_FALSE(p.has("End Read Loop")) << p.number;
            EXPECT_FALSE(p.wrote(kSignal)) << p.number;
            EXPECT_FALSE(p.has("RFID: ")) << p.number;
        }
        if (HasFatalFailure()) return;
    }
    EXPECT_EQ(periodic, (std::vector<int> {601, 1301}));
    EXPECT_STREQ(LastRFID, "04A1B2C3D4E5F6");
    EXPECT_FALSE(board->level(kKill)) << "no answer ever touched the kill relay";
}

TEST_F(PassTest, FuelLineShowsTheConverterReply) {
    {
        boatsim::Lock lock(&board->state());
        board->state().adc[0] = 1023;
    }
    Pass p = pass();
    unsigned b0 = 0, b1 = 0, b2 = 0;
    int value = -1;
    auto at = p.err.find("Fuel Value: ");
    ASSERT_NE(at, std::string::npos) << p.err;
    ASSERT_EQ(sscanf(p.err.c_str() + at, "Fuel Value: %02X %02X %02X (%d)\r\n", &b0, &b1, &b2, &value), 4) << p.err;
    EXPECT_EQ(value, static_cast<int>((b1 & 0x03) * 256 + b2));
    EXPECT_EQ(value, FuelLevel);
    EXPECT_EQ((b1 & 0x03) * 256 + b2, 1023u) << "channel 0 at full scale";
    char line[64];
    snprintf(line, sizeof line, "Fuel Value: %02X %02X %02X (%d)\r\n", b0, b1, b2, value);
    EXPECT_TRUE(p.has(line));
    EXPECT_EQ(static_cast<uint8_t>(Buff[1]), b1) << "the reply lands in Buff";
}

}  // namespace
