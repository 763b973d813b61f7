// Fuel arithmetic, the row statement and the fix tests, with gpsd and the
// database replaced by scripted answers.
#include "telemetry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace {

struct gps_data_t fix_data(int status, int mode, double lat, double lng, double speed, double track) {
    struct gps_data_t g {};
    g.fix.status = status;
    g.fix.mode = mode;
    g.fix.latitude = lat;
    g.fix.longitude = lng;
    g.fix.speed = speed;
    g.fix.track = track;
    return g;
}

// A fix time of the shared logs' receivers.
constexpr timespec_t kFixTime = {1176025985, 802000000};  // 2007-04-08 09:53:05.802 UTC

struct gps_data_t timed(struct gps_data_t g, timespec_t t) {
    g.fix.time = t;
    return g;
}

TEST(FuelValue, TheConvertersTenBitsMakeTheValue) {
    const uint8_t full_scale[3] = {0x00, 0x03, 0xFF};
    EXPECT_EQ(fuel_value(full_scale), 1023);
    // Bits before B9 are not driven by the converter.
    const uint8_t upper_bits[3] = {0x00, 0x83, 0x10};
    EXPECT_EQ(fuel_value(upper_bits), 0x310);
    const uint8_t byte0_set[3] = {0xFF, 0x83, 0x10};
    EXPECT_EQ(fuel_value(byte0_set), 0x310);
    const uint8_t all_ones[3] = {0xA5, 0xFF, 0xFF};
    EXPECT_EQ(fuel_value(all_ones), 1023);
    const uint8_t zero[3] = {0x00, 0xFC, 0x00};
    EXPECT_EQ(fuel_value(zero), 0);
}

TEST(GpsRow, OrdinaryValuesKeepTheStatementsSpacing) {
    char q[kQuerySize];
    auto g = timed(fix_data(STATUS_FIX, MODE_3D, -27.210843333, 153.052163333, 0.5, 279.46), kFixTime);
    int n = format_gps_row(q, sizeof q, g.fix, 1023, 1, 18446744073709551615ull);
    std::string want =
        "INSERT INTO GPS (Lat, Lng, Speed, Bearing, FuelVoltage, Active, FixTime, RowKey) VALUES "
        "('-27.210843','153.052163','0.500000', '279.460000','1023', '1', '2007-04-08 09:53:05.802', "
        "'18446744073709551615')";
    EXPECT_EQ(std::string(q), want);
    EXPECT_EQ(n, static_cast<int>(want.size()));
}

TEST(GpsRow, NegativeLongitudeAFixPast2038AndNoFixTime) {
    char q[kQuerySize];
    auto g = fix_data(STATUS_FIX, MODE_2D, 51.5, -0.25, 0.0, 0.0);
    // A board whose time_t has 32 bits cannot hold the time in the first place.
    if (sizeof(time_t) >= 8) {
        g.fix.time.tv_sec = static_cast<time_t>(INT64_C(2240611200));  // 2041-01-01 00:00:00 UTC
        format_gps_row(q, sizeof q, g.fix, 784, 0, 7);
        EXPECT_EQ(std::string(q),
                  "INSERT INTO GPS (Lat, Lng, Speed, Bearing, FuelVoltage, Active, FixTime, RowKey) VALUES "
                  "('51.500000','-0.250000','0.000000', '0.000000','784', '0', '2041-01-01 00:00:00.000', '7')");
    }
    g.fix.time = {};
    format_gps_row(q, sizeof q, g.fix, 784, 0, 8);
    EXPECT_EQ(std::string(q),
              "INSERT INTO GPS (Lat, Lng, Speed, Bearing, FuelVoltage, Active, FixTime, RowKey) VALUES "
              "('51.500000','-0.250000','0.000000', '0.000000','784', '0', NULL, '8')");
}

TEST(GpsRow, MissingSpeedOrTrackIsWrittenAsNull) {
    char q[kQuerySize];
    auto g = fix_data(STATUS_FIX, MODE_3D, 51.5, -0.25, NAN, 90.0);
    format_gps_row(q, sizeof q, g.fix, 7, 1, 1);
    EXPECT_EQ(std::string(q),
              "INSERT INTO GPS (Lat, Lng, Speed, Bearing, FuelVoltage, Active, FixTime, RowKey) VALUES "
              "('51.500000','-0.250000',NULL, '90.000000','7', '1', NULL, '1')");
    g.fix.speed = 1.25;
    g.fix.track = NAN;
    format_gps_row(q, sizeof q, g.fix, 7, 1, 1);
    EXPECT_NE(std::string(q).find("'1.250000', NULL,'7'"), std::string::npos) << q;
}

TEST(GpsRow, AStatementThatDoesNotFitIsNotWritten) {
    char q[64];
    auto g = fix_data(STATUS_FIX, MODE_3D, 51.5, -0.25, 1.0, 2.0);
    EXPECT_EQ(format_gps_row(q, sizeof q, g.fix, 7, 1, 1), -1);
    EXPECT_STREQ(q, "");
    // Absurd values print hundreds of digits; they must still stay in query.
    char big[kQuerySize];
    g.fix.latitude = 1e300;
    g.fix.longitude = -1e300;
    g.fix.speed = 1e300;
    g.fix.track = 1e300;
    EXPECT_EQ(format_gps_row(big, sizeof big, g.fix, 7, 1, 1), -1);
}

TEST(GpsFix, AFixOfAnyKindWithModeTwoOrThreeAndCoordinates) {
    EXPECT_TRUE(gps_fix_usable(fix_data(1, 2, 51.5, -0.25, NAN, NAN)));
    EXPECT_TRUE(gps_fix_usable(fix_data(1, 3, 0.0, 0.0, 1, 1)));
    EXPECT_TRUE(gps_fix_usable(fix_data(STATUS_DGPS_FIX, 3, 51.5, -0.25, 1, 1)));
    EXPECT_TRUE(gps_fix_usable(fix_data(STATUS_RTK_FIX, 2, 51.5, -0.25, 1, 1)));
    EXPECT_FALSE(gps_fix_usable(fix_data(0, 3, 51.5, -0.25, 1, 1)));
    EXPECT_FALSE(gps_fix_usable(fix_data(1, 1, 51.5, -0.25, 1, 1)));
    EXPECT_FALSE(gps_fix_usable(fix_data(1, 0, 51.5, -0.25, 1, 1)));
    EXPECT_FALSE(gps_fix_usable(fix_data(1, 3, NAN, -0.25, 1, 1)));
    EXPECT_FALSE(gps_fix_usable(fix_data(1, 3, 51.5, NAN, 1, 1)));
}

// Scripted gpsd and database for GpsSample: the reports waiting, in order.
struct Report {
    int rc;  // gps_fetch's result
    bool tpv;
    struct gps_data_t data;  // the record after the read
};
std::deque<Report> waiting;
std::vector<std::string> stored;

int fake_fetch(struct gps_data_t* g, bool* tpv) {
    *tpv = false;
    if (waiting.empty()) return 0;
    Report r = waiting.front();
    waiting.pop_front();
    if (r.rc > 0) {
        *g = r.data;
        *tpv = r.tpv;
    }
    return r.rc;
}
void fake_store(const char* statement) { stored.emplace_back(statement); }

Report tpv(struct gps_data_t g) { return {1, true, g}; }
// A SKY report leaves the fix as the last TPV made it.
Report sky(struct gps_data_t g) { return {1, false, g}; }

class GpsSampleTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = Telemetry;
        Telemetry = {fake_fetch, fake_store};
        query = query_;
        stored.clear();
        waiting.clear();
        FuelLevel = 512;
        RowKey = 100;
        LastRowFixTime = {};
    }
    void TearDown() override {
        Telemetry = saved_;
        query = nullptr;
    }
    // Runs one sample and returns {stdout, stderr}.
    std::pair<std::string, std::string> sample(int active) {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        GpsSample(active);
        std::string err = ::testing::internal::GetCapturedStderr();
        return {::testing::internal::GetCapturedStdout(), err};
    }
    TelemetryIo saved_ {};
    char query_[kQuerySize] {};
};

TEST_F(GpsSampleTest, NothingWaitingIsSilent) {
    auto [out, err] = sample(0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    EXPECT_TRUE(stored.empty());
}

TEST_F(GpsSampleTest, ReadErrorIsReportedWithoutRow) {
    waiting = {{-1, false, {}}};
    auto [out, err] = sample(0);
    EXPECT_EQ(out, std::string("error occured reading gps data. code: -1, reason: ") + gps_errstr(-1) + "\n");
    EXPECT_TRUE(stored.empty());
}

TEST_F(GpsSampleTest, UnusableFixesWriteNoRow) {
    for (auto g : {fix_data(0, 3, 51.5, -0.25, 1, 1), fix_data(1, 1, 51.5, -0.25, 1, 1),
                   fix_data(1, 0, 51.5, -0.25, 1, 1), fix_data(1, 3, NAN, NAN, 1, 1)}) {
        waiting = {tpv(g)};
        auto [out, err] = sample(1);
        EXPECT_EQ(out, "no GPS data available\n");
        EXPECT_EQ(err, "");
    }
    EXPECT_TRUE(stored.empty());
}

TEST_F(GpsSampleTest, UsableFixWritesOneRowWithFuelActiveAndItsTime) {
    waiting = {tpv(timed(fix_data(STATUS_DGPS_FIX, 3, 51.5, -0.25, NAN, 12.5), kFixTime))};
    auto [out, err] = sample(1);
    ASSERT_EQ(stored.size(), 1u);
    std::string want =
        "INSERT INTO GPS (Lat, Lng, Speed, Bearing, FuelVoltage, Active, FixTime, RowKey) VALUES "
        "('51.500000','-0.250000',NULL, '12.500000','512', '1', '2007-04-08 09:53:05.802', '100')";
    EXPECT_EQ(stored[0], want);
    EXPECT_EQ(err, want + "\r\n");
    EXPECT_EQ(out, "latitude: 51.500000, longitude: -0.250000, speed: nan, bearing: 12.500000\n");
    EXPECT_EQ(RowKey, 101u) << "every row a key of its own";
}

// One sample reads all that waits and logs the newest fix once; a fix
// reported again (same time: gpsd's further TPVs of the epoch, or SKY
// reports) writes no row.
TEST_F(GpsSampleTest, OneRowPerNewFixTheNewestOfTheSample) {
    auto at = [](double lat, time_t s) { return timed(fix_data(STATUS_FIX, 3, lat, 10.0, 1, 1), {s, 0}); };
    struct Step {
        std::vector<Report> reports;
        const char* row_lat;  // nullptr: no row
        const char* out;      // the sample's standard output besides the position line
    } steps[] = {
        {{tpv(at(50.1, 1000)), sky(at(50.1, 1000)), tpv(at(50.2, 1001)), tpv(at(50.3, 1002)), sky(at(50.3, 1002))},
         "'50.300000'", ""},
        {{sky(at(50.3, 1002)), tpv(at(50.3, 1002)), tpv(at(50.31, 1002))}, nullptr, ""},
        {{tpv(at(50.4, 1003)), tpv(fix_data(STATUS_FIX, 1, 50.4, 10.0, 1, 1))}, "'50.400000'", ""},
        {{sky(fix_data(STATUS_FIX, 1, 50.4, 10.0, 1, 1))}, nullptr, "no GPS data available\n"},
        {{tpv(at(50.5, 900))}, "'50.500000'", ""},  // the receiver's clock went back
        {{tpv(at(50.6, 901)), {-1, false, {}}}, "'50.600000'", "error occured reading gps data. code: -1"},
    };
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; i++) {
        SCOPED_TRACE(i);
        waiting.assign(steps[i].reports.begin(), steps[i].reports.end());
        size_t before = stored.size();
        auto [out, err] = sample(0);
        EXPECT_TRUE(waiting.empty()) << "all reports read";
        EXPECT_EQ(out.rfind(steps[i].out, 0), 0u) << out;
        if (!steps[i].row_lat) {
            EXPECT_EQ(stored.size(), before);
            continue;
        }
        ASSERT_EQ(stored.size(), before + 1);
        EXPECT_NE(stored.back().find(std::string("VALUES (") + steps[i].row_lat), std::string::npos) << stored.back();
    }
}

}  // namespace
