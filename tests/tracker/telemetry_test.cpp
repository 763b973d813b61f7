// Fuel arithmetic, the row statement and the fix tests, with gpsd and the
// database replaced by scripted answers.
#include "telemetry.h"

#include <gtest/gtest.h>

#include <cmath>
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

TEST(FuelValue, ReplyBytesOneAndTwoMakeTheValueUnmasked) {
    const uint8_t full_scale[3] = {0x00, 0x03, 0xFF};
    EXPECT_EQ(fuel_value(full_scale), 1023);
    const uint8_t upper_bits[3] = {0x00, 0x83, 0x10};
    EXPECT_EQ(fuel_value(upper_bits), 33552);
    const uint8_t byte0_set[3] = {0xFF, 0x83, 0x10};
    EXPECT_EQ(fuel_value(byte0_set), 33552);
    const uint8_t top[3] = {0xA5, 0xFF, 0xFF};
    EXPECT_EQ(fuel_value(top), 65535);
}

TEST(GpsRow, OrdinaryValuesKeepTheStatementsSpacing) {
    char q[kQuerySize];
    auto g = fix_data(STATUS_FIX, MODE_3D, -27.210843333, 153.052163333, 0.5, 279.46);
    int n = format_gps_row(q, sizeof q, g.fix, 1023, 1);
    std::string want =
        "INSERT INTO GPS (Lat, Lng, Speed, Bearing, FuelVoltage, Active) VALUES "
        "('-27.210843','153.052163','0.500000', '279.460000','1023', '1')";
    EXPECT_EQ(std::string(q), want);
    EXPECT_EQ(n, static_cast<int>(want.size()));
}

TEST(GpsRow, NegativeLongitudeAndLargeFuelValue) {
    char q[kQuerySize];
    auto g = fix_data(STATUS_FIX, MODE_2D, 51.5, -0.25, 0.0, 0.0);
    format_gps_row(q, sizeof q, g.fix, 33552, 0);
    EXPECT_EQ(std::string(q),
              "INSERT INTO GPS (Lat, Lng, Speed, Bearing, FuelVoltage, Active) VALUES "
              "('51.500000','-0.250000','0.000000', '0.000000','33552', '0')");
}

TEST(GpsRow, MissingSpeedOrTrackIsWrittenAsNull) {
    char q[kQuerySize];
    auto g = fix_data(STATUS_FIX, MODE_3D, 51.5, -0.25, NAN, 90.0);
    format_gps_row(q, sizeof q, g.fix, 7, 1);
    EXPECT_EQ(std::string(q),
              "INSERT INTO GPS (Lat, Lng, Speed, Bearing, FuelVoltage, Active) VALUES "
              "('51.500000','-0.250000',NULL, '90.000000','7', '1')");
    g.fix.speed = 1.25;
    g.fix.track = NAN;
    format_gps_row(q, sizeof q, g.fix, 7, 1);
    EXPECT_NE(std::string(q).find("'1.250000', NULL,'7'"), std::string::npos) << q;
}

TEST(GpsRow, AStatementThatDoesNotFitIsNotWritten) {
    char q[64];
    auto g = fix_data(STATUS_FIX, MODE_3D, 51.5, -0.25, 1.0, 2.0);
    EXPECT_EQ(format_gps_row(q, sizeof q, g.fix, 7, 1), -1);
    EXPECT_STREQ(q, "");
    // Absurd values print hundreds of digits; they must still stay in query.
    char big[kQuerySize];
    g.fix.latitude = 1e300;
    g.fix.longitude = -1e300;
    g.fix.speed = 1e300;
    g.fix.track = 1e300;
    EXPECT_EQ(format_gps_row(big, sizeof big, g.fix, 7, 1), -1);
}

TEST(GpsFix, OnlyAFixWithStatusOneModeTwoOrThreeAndCoordinates) {
    EXPECT_TRUE(gps_fix_usable(fix_data(1, 2, 51.5, -0.25, NAN, NAN)));
    EXPECT_TRUE(gps_fix_usable(fix_data(1, 3, 0.0, 0.0, 1, 1)));
    EXPECT_FALSE(gps_fix_usable(fix_data(2, 3, 51.5, -0.25, 1, 1)));  // differential fix
    EXPECT_FALSE(gps_fix_usable(fix_data(0, 3, 51.5, -0.25, 1, 1)));
    EXPECT_FALSE(gps_fix_usable(fix_data(1, 1, 51.5, -0.25, 1, 1)));
    EXPECT_FALSE(gps_fix_usable(fix_data(1, 0, 51.5, -0.25, 1, 1)));
    EXPECT_FALSE(gps_fix_usable(fix_data(1, 3, NAN, -0.25, 1, 1)));
    EXPECT_FALSE(gps_fix_usable(fix_data(1, 3, 51.5, NAN, 1, 1)));
}

// Scripted gpsd and database for GpsSample.
int fetch_result = 0;
struct gps_data_t next_fix;
std::vector<std::string> stored;

int fake_fetch(struct gps_data_t* g) {
    if (fetch_result > 0) *g = next_fix;
    return fetch_result;
}
void fake_store(const char* statement) { stored.emplace_back(statement); }

class GpsSampleTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = Telemetry;
        Telemetry = {fake_fetch, fake_store};
        query = query_;
        stored.clear();
        FuelLevel = 512;
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
    fetch_result = 0;
    auto [out, err] = sample(0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    EXPECT_TRUE(stored.empty());
}

TEST_F(GpsSampleTest, ReadErrorIsReportedWithoutRow) {
    fetch_result = -1;
    auto [out, err] = sample(0);
    EXPECT_EQ(out, std::string("error occured reading gps data. code: -1, reason: ") + gps_errstr(-1) + "\n");
    EXPECT_TRUE(stored.empty());
}

TEST_F(GpsSampleTest, UnusableFixesWriteNoRow) {
    fetch_result = 1;
    for (auto g : {fix_data(2, 3, 51.5, -0.25, 1, 1), fix_data(1, 1, 51.5, -0.25, 1, 1),
                   fix_data(1, 0, 51.5, -0.25, 1, 1), fix_data(1, 3, NAN, NAN, 1, 1)}) {
        next_fix = g;
        auto [out, err] = sample(1);
        EXPECT_EQ(out, "no GPS data available\n");
        EXPECT_EQ(err, "");
    }
    EXPECT_TRUE(stored.empty());
}

TEST_F(GpsSampleTest, UsableFixWritesOneRowWithFuelAndActive) {
    fetch_result = 1;
    next_fix = fix_data(1, 3, 51.5, -0.25, NAN, 12.5);
    auto [out, err] = sample(1);
    ASSERT_EQ(stored.size(), 1u);
    std::string want =
        "INSERT INTO GPS (Lat, Lng, Speed, Bearing, FuelVoltage, Active) VALUES "
        "('51.500000','-0.250000',NULL, '12.500000','512', '1')";
    EXPECT_EQ(stored[0], want);
    EXPECT_EQ(err, want + "\r\n");
    EXPECT_EQ(out, "latitude: 51.500000, longitude: -0.250000, speed: nan, bearing: 12.500000\n");
}

}  // namespace
