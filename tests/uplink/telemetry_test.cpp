// The telemetry's pieces on a real SQLite book: the body boat_uplink forms
// read back by the shore exactly, the shore's checks of a body, each row
// stored once, whole days dropped, a session's track through boat_track's
// trip rule and writers.
#include "batch.h"
#include "commands.h"
#include "process.h"
#include "store.h"
#include "telemetry.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

using shore::Position;
using shore::TelemetryBatch;

constexpr int64_t kNow = 1765152000;  // a midnight, UTC
const std::string kIdentity = "0123456789abcdef0123456789abcdef";

uplink::Identity identity() {
    uplink::Identity id {};
    snprintf(id.data(), id.size(), "%s", kIdentity.c_str());
    return id;
}

uplink::GpsRow boat_row(uint64_t id, int64_t fix_ms) {
    uplink::GpsRow r;
    r.id = id;
    r.lat = 51.5 + id / 70001.0;
    r.lng = -0.25 - id / 30011.0;
    r.has_speed = id % 3 != 0;
    r.speed = r.has_speed ? id / 7.0 : 0;
    r.has_bearing = id % 4 != 0;
    r.bearing = r.has_bearing ? 359.99999999999994 : 0;
    r.fuel = static_cast<int64_t>(id % 1024);
    r.active = 1;
    r.logged = fix_ms / 1000;
    r.has_fix_time = id % 5 != 0;
    r.fix_time_ms = r.has_fix_time ? fix_ms : 0;
    r.has_row_key = true;
    r.row_key = std::numeric_limits<uint64_t>::max() - id;
    return r;
}

// The body boat_uplink sends is what the shore reads, value for value, and
// a full batch of the widest rows fits the shore's 64 KiB.
TEST(Telemetry, TheUplinksBodyReadsBackExactlyAndFitsTheShoresLimit) {
    static uplink::Batch batch;
    for (size_t i = 0; i < batch.size(); i++) {
        batch[i] = boat_row(4000000000u - i, (kNow - 60) * 1000 + 123);
        batch[i].lat = -89.123456789012345 + i * 1e-13;
        batch[i].lng = -179.98765432109876;
        batch[i].fuel = 65535;
    }
    static uplink::Body body;
    size_t sent = 0;
    const size_t len = uplink::format_batch(&body, 2147483647, identity(), batch.data(), batch.size(), &sent);
    ASSERT_GT(len, 0u);
    EXPECT_EQ(sent, batch.size()) << "a full batch fits";
    EXPECT_LE(len, 64u * 1024);
    TelemetryBatch got;
    ASSERT_EQ(shore::parse_telemetry(std::string(body.data(), len), &got), "");
    EXPECT_EQ(got.boat, 2147483647);
    EXPECT_EQ(got.database, kIdentity);
    ASSERT_EQ(got.rows.size(), sent);
    for (size_t i = 0; i < sent; i++) {
        const uplink::GpsRow& b = batch[i];
        const Position& p = got.rows[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(p.id, static_cast<int64_t>(b.id));
        EXPECT_EQ(p.lat, b.lat);
        EXPECT_EQ(p.lng, b.lng);
        EXPECT_EQ(p.speed.has_value(), b.has_speed);
        EXPECT_EQ(p.speed.value_or(0), b.speed);
        EXPECT_EQ(p.bearing.has_value(), b.has_bearing);
        EXPECT_EQ(p.bearing.value_or(0), b.bearing);
        EXPECT_EQ(p.fuel, b.fuel);
        EXPECT_EQ(p.logged, b.logged);
        EXPECT_EQ(p.fix_time_ms.has_value(), b.has_fix_time);
        EXPECT_EQ(p.fix_time_ms.value_or(0), b.fix_time_ms);
        ASSERT_TRUE(p.row_key.has_value());
        EXPECT_EQ(*p.row_key, b.row_key);
    }
    // A smaller body: only the rows that fit, and never a cut row.
    static uplink::Body small;
    EXPECT_EQ(uplink::format_batch(&small, 7, identity(), batch.data(), 0, &sent), 0u);
}

// The rows the mark may move over: up to a gap in the ids whose next row
// is fresh; an old gap is ids never used.
TEST(Telemetry, TheMarkStopsBeforeAFreshGapOnly) {
    struct Case {
        uint64_t mark;
        std::vector<std::pair<uint64_t, int64_t>> rows;  // id, age
        size_t settled;
    } cases[] = {
        {10, {{11, 0}, {12, 0}, {13, 0}}, 3},
        {10, {{11, 0}, {13, 0}, {14, 0}}, 1},
        {10, {{12, 0}}, 0},
        {10, {{12, uplink::kGapGraceS}}, 1},
        {10, {{11, 50}, {15, 40}, {16, 9}, {18, 9}}, 3},
        {0, {{1, 0}}, 1},
        {0, {}, 0},
    };
    for (const Case& c : cases) {
        std::vector<uplink::GpsRow> rows;
        for (auto [id, age] : c.rows) {
            uplink::GpsRow r;
            r.id = id;
            r.age_s = age;
            rows.push_back(r);
        }
        EXPECT_EQ(uplink::settled_rows(c.mark, rows.data(), rows.size()), c.settled) << c.mark << " " << rows.size();
    }
}

TEST(Telemetry, BodiesThatAreNotABatchAreRefusedWithTheirReason) {
    const std::string row =
        R"({"id":5,"Lat":51.5,"Lng":-0.25,"Speed":null,"Bearing":1.5,"FuelVoltage":7,"Active":1,"Logged":1765180000,"FixTime":1765180000123,"RowKey":null})";
    auto body = [&](const std::string& r) {
        return R"({"boat":7,"database":")" + kIdentity + R"(","rows":[)" + r + "]}";
    };
    auto with = [&](const std::string& from, const std::string& to) {
        std::string r = row;
        r.replace(r.find(from), from.size(), to);
        return body(r);
    };
    struct Case {
        std::string body, why;
    } cases[] = {
        {body(row), ""},
        {"[]", "the body is not a JSON object"},
        {"{\"boat\":7", "the body is not a JSON object"},
        {R"({"boat":-1,"database":")" + kIdentity + R"(","rows":[)" + row + "]}", "boat is missing or not a boat number"},
        {R"({"boat":"7","database":")" + kIdentity + R"(","rows":[)" + row + "]}", "boat is missing or not a boat number"},
        {R"({"boat":7,"database":"0123","rows":[)" + row + "]}",
         "database is missing or not 32 lower-case hexadecimal digits"},
        {R"({"boat":7,"database":")" + kIdentity + R"(","rows":[]})", "rows is missing or empty"},
        {with("\"id\":5", "\"id\":0"), "a row's id is missing or not a positive integer"},
        {with("\"Lat\":51.5", "\"Lat\":\"51.5\""), "a row's Lat or Lng is not a number"},
        {with("\"Speed\":null", "\"Speed\":true"), "a row's Speed or Bearing is neither a number nor null"},
        {with("\"FuelVoltage\":7", "\"FuelVoltage\":7.5"), "a row's FuelVoltage is not an integer"},
        {with("\"Active\":1", "\"Active\":2"), "a row's Active is not 0 or 1"},
        {with("\"Logged\":1765180000", "\"Logged\":null"), "a row's Logged is not a time in seconds"},
        {with("\"FixTime\":1765180000123", "\"FixTime\":-1e300"), "a row's FixTime is neither a time in ms nor null"},
        {with("\"RowKey\":null", "\"RowKey\":-3"), "a row's RowKey is neither an unsigned integer nor null"},
        {with(",\"RowKey\":null", ""), "a row's RowKey is neither an unsigned integer nor null"},
    };
    for (const Case& c : cases) {
        TelemetryBatch b;
        EXPECT_EQ(shore::parse_telemetry(c.body, &b), c.why) << c.body;
    }
    std::string many;
    for (size_t i = 0; i <= shore::kTelemetryRowsMax; i++) many += (i ? "," : "") + row;
    TelemetryBatch b;
    EXPECT_EQ(shore::parse_telemetry(body(many), &b), "more than 1000 rows");
}

class Book : public ::testing::Test {
protected:
    void SetUp() override {
        store = shore::open_store("sqlite:" + dir.file("shore.db"));
        store->add_boat({7, "Tern", "tracker", false, std::nullopt, std::nullopt});
        store->add_boat({8, "Gull", "tracker", false, std::nullopt, std::nullopt});
    }
    TelemetryBatch batch(std::vector<int64_t> ids, int64_t fix_s, const std::string& db = kIdentity) {
        TelemetryBatch b;
        b.boat = 7;
        b.database = db;
        for (int64_t id : ids) {
            Position p;
            p.boat = 7;
            p.database = db;
            p.id = id;
            p.lat = 51.5 + id / 70001.0;
            p.lng = -0.25 - id / 30011.0;
            p.speed = id / 7.0;
            p.fuel = id;
            p.active = 1;
            p.logged = fix_s + id;
            p.fix_time_ms = (fix_s + id) * 1000 + 5;
            p.row_key = std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(id);
            b.rows.push_back(p);
        }
        return b;
    }
    long count() {
        long n = 0;
        store->read([&](shore::SqlConnection& db) { n = db.query("SELECT COUNT(*) FROM positions")[0][0].integer(); });
        return n;
    }
    testsupport::TempDir dir;
    std::unique_ptr<shore::Store> store;
};

// A batch sent again, whole or overlapping, adds nothing; another database
// of the same boat (a rebuilt one) keeps its own rows of the same ids.
TEST_F(Book, EachRowIsStoredOnceUnderBoatDatabaseAndId) {
    struct Step {
        std::vector<int64_t> ids;
        std::string db;
        int64_t added, through, total;
    } steps[] = {
        {{1, 2, 3}, kIdentity, 3, 3, 3},
        {{1, 2, 3}, kIdentity, 0, 3, 3},
        {{2, 3, 4, 5}, kIdentity, 2, 5, 5},
        {{1, 2}, "fedcba9876543210fedcba9876543210", 2, 2, 7},
    };
    for (const Step& s : steps) {
        const shore::StoredRows r = shore::store_positions(*store, batch(s.ids, kNow - 3600, s.db), kNow, 30);
        EXPECT_EQ(r.added, s.added);
        EXPECT_EQ(r.through, s.through);
        EXPECT_EQ(count(), s.total);
    }
    const std::vector<Position> last = shore::last_positions(*store);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].id, 5);
    EXPECT_EQ(last[0].lat, 51.5 + 5 / 70001.0) << "the value as sent, not 15 digits of it";
    EXPECT_EQ(last[0].row_key, std::numeric_limits<uint64_t>::max() - 5);
    EXPECT_EQ(shore::position_text(&last[0], kNow).rfind(" position 51.500071 -0.250167 at ", 0), 0u);
}

// KEEP_DAYS=2 at midnight: the day before yesterday and older go whole,
// yesterday and today stay; a row older than that is taken but not kept.
TEST_F(Book, WholeDaysOlderThanTheKeptOnesAreDropped) {
    for (int64_t day : {0, 1, 2, 3}) shore::store_positions(*store, batch({day * 10 + 1, day * 10 + 2}, kNow - day * 86400 - 100, kIdentity), kNow - day * 86400, 5);
    EXPECT_EQ(count(), 8);
    EXPECT_EQ(shore::drop_old_positions(*store, kNow, 2), 4);
    long kept = 0;
    store->read([&](shore::SqlConnection& db) {
        kept = db.query("SELECT COUNT(*) FROM positions WHERE id IN (1, 2, 11, 12)")[0][0].integer();
    });
    EXPECT_EQ(kept, 4);
    const shore::StoredRows r = shore::store_positions(*store, batch({40}, kNow - 5 * 86400, kIdentity), kNow, 2);
    EXPECT_EQ(r.through, 40);
    EXPECT_EQ(r.added, 0);
    EXPECT_EQ(count(), 4);
}

TEST_F(Book, ATokenNamesItsBoatAndANewOneReplacesIt) {
    const std::string first = shore::issue_token(*store, 7, kNow);
    EXPECT_EQ(first.size(), 2 * shore::kTokenBytes);
    EXPECT_EQ(shore::token_boat(*store, shore::token_hash(first)), 7);
    const std::string second = shore::issue_token(*store, 7, kNow);
    EXPECT_NE(second, first);
    EXPECT_EQ(shore::token_boat(*store, shore::token_hash(first)), std::nullopt);
    EXPECT_EQ(shore::token_boat(*store, shore::token_hash(second)), 7);
    EXPECT_THROW(shore::issue_token(*store, 9, kNow), shore::Refusal);
    long stored = 0;
    store->read([&](shore::SqlConnection& db) {
        stored = db.query("SELECT COUNT(*) FROM boat_tokens WHERE token_hash = $1", {second})[0][0].integer();
    });
    EXPECT_EQ(stored, 0) << "only the hash is kept";
}

// The session's rows, split where the paid flag changes, as boat_track
// writes them; rows outside the session are not in its track.
TEST_F(Book, ASessionsTrackIsExportedWithTheTrackersTripRuleAndWriters) {
    store->sell({0, "0a1bc203", 3600, 7, kNow - 1000, std::nullopt, kNow - 1000, std::nullopt}, kNow - 1000);
    ASSERT_EQ(store->checkin({"0a1bc203", 7, shore::CheckinKind::card, true, ""}, (kNow - 500) * 1000).rfind("OK 0 ", 0), 0u);
    const int64_t session = store->sessions(7, kNow)[0].id;
    TelemetryBatch b = batch({1, 2, 3, 4, 5, 6}, kNow - 501);  // rows at -500 .. -495 s
    b.rows[4].active = b.rows[5].active = 0;                       // two trips
    shore::store_positions(*store, b, kNow, 30);
    shore::store_positions(*store, batch({100}, kNow - 2000), kNow, 30);  // before the session

    const std::string gpx = shore::carry_out_telemetry(*store, {"track", {{"session", std::to_string(session)}, {"format", "gpx"}}}, kNow);
    EXPECT_EQ(gpx.rfind("<?xml", 0), 0u);
    size_t points = 0, trips = 0;
    for (size_t at = gpx.find("<trkpt"); at != std::string::npos; at = gpx.find("<trkpt", at + 1)) points++;
    for (size_t at = gpx.find("<trk>"); at != std::string::npos; at = gpx.find("<trk>", at + 1)) trips++;
    EXPECT_EQ(points, 6u) << gpx;
    EXPECT_EQ(trips, 2u);
    const nlohmann::json geo = nlohmann::json::parse(
        shore::carry_out_telemetry(*store, {"track", {{"session", std::to_string(session)}, {"format", "geojson"}}}, kNow));
    ASSERT_EQ(geo["features"].size(), 2u);
    EXPECT_EQ(geo["features"][0]["geometry"]["coordinates"].size(), 4u);
    EXPECT_THROW(shore::carry_out_telemetry(*store, {"track", {{"session", "99"}, {"format", "gpx"}}}, kNow), shore::Refusal);
    EXPECT_THROW(shore::carry_out_telemetry(*store, {"track", {{"session", "1"}, {"format", "kml"}}}, kNow), shore::Refusal);
}

}  // namespace
