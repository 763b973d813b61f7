// The trip rule and the trip summaries on rows the tracker can write, and
// the times the command line takes.
#include "trip.h"
#include "utc_time.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

using track::TrackRow;
using track::TripSummary;

constexpr double kNull = NAN;

struct Row {
    double lat, lng, speed, course;  // kNull: the column is NULL
    bool paid;
    const char* time;                // the row's time as the database gives it
};

struct TripWant {
    long points;
    double distance_m;  // within 0.5 %
    double top_knots;   // -1: no speed known
    int crossings;
};

struct Case {
    const char* name;
    std::vector<Row> rows;
    std::vector<int> trip_of_row;
    std::vector<TripWant> trips;
};

std::vector<TripSummary> split(const std::vector<Row>& rows) {
    std::vector<TripSummary> trips;
    track::TripSplitter splitter(track::TripRule {});
    uint64_t id = 0;
    for (const Row& r : rows) {
        TrackRow row;
        row.id = ++id;
        row.lat = r.lat;
        row.lng = r.lng;
        row.has_speed = !std::isnan(r.speed);
        row.speed = r.speed;
        row.has_course = !std::isnan(r.course);
        row.course = r.course;
        row.paid = r.paid;
        EXPECT_TRUE(track::parse_db_time(r.time, &row.time_ms)) << r.time;
        track::trips_add(trips, splitter, row);
    }
    return trips;
}

// From a trip's first row to its latest: a receiver clock that steps back
// a little shortens no trip.
double want_duration_s(const Case& c, int trip) {
    int64_t first = 0, latest = 0;
    bool any = false;
    for (size_t i = 0; i < c.rows.size() && i < c.trip_of_row.size(); i++) {
        if (c.trip_of_row[i] != trip) continue;
        int64_t ms = 0;
        EXPECT_TRUE(track::parse_db_time(c.rows[i].time, &ms));
        if (!any) first = latest = ms;
        latest = std::max(latest, ms);
        any = true;
    }
    return (latest - first) / 1000.0;
}

TEST(TripRule, AwkwardRows) {
    const double kn = track::kMetresPerSecondPerKnot;
    // 0.001 degree of longitude at 60 degrees north: 55.6 m.
    const double milli_lng_60 = track::kEarthRadiusM * M_PI / 180 * 0.001 * 0.5;
    const Case cases[] = {
        {"a gap of exactly the limit stays in the trip, a millisecond more begins one",
         {{60, 10.000, 2 * kn, 90, false, "2026-06-01 10:00:00"},
          {60, 10.001, 2 * kn, 90, false, "2026-06-01 10:05:00"},
          {60, 10.002, 2 * kn, 90, false, "2026-06-01 10:10:00.001"}},
         {1, 1, 2},
         {{2, milli_lng_60, 2, 0}, {1, 0, 2, 0}}},
        {"a change of Active begins a trip, without any gap",
         {{60, 10.000, 1 * kn, 0, false, "2026-06-01 10:00:00"},
          {60, 10.001, 1 * kn, 0, true, "2026-06-01 10:00:01"},
          {60, 10.002, 9 * kn, 0, true, "2026-06-01 10:00:02"},
          {60, 10.003, 1 * kn, 0, false, "2026-06-01 10:00:03"}},
         {1, 2, 2, 3},
         {{1, 0, 1, 0}, {2, milli_lng_60, 9, 0}, {1, 0, 1, 0}}},
        {"rows far apart in time are trips of one row each",
         {{60, 10.000, kNull, kNull, false, "2026-06-01 10:00:00"},
          {60, 10.000, kNull, kNull, false, "2026-06-01 10:20:00"},
          {60, 10.000, 3 * kn, kNull, false, "2026-06-02 10:20:00.5"}},
         {1, 2, 3},
         {{1, 0, -1, 0}, {1, 0, -1, 0}, {1, 0, 3, 0}}},
        {"NULL speed and course: the top speed is of the rows that have one",
         {{60, 10.000, kNull, kNull, true, "2026-06-01 10:00:00"},
          {60, 10.001, 4 * kn, kNull, true, "2026-06-01 10:00:01"},
          {60, 10.002, kNull, 270, true, "2026-06-01 10:00:02"}},
         {1, 1, 1},
         {{3, 2 * milli_lng_60, 4, 0}}},
        {"across 180 degrees the trip goes on and its distance is the short way",
         {{60, 179.9995, 5 * kn, 90, true, "2026-06-01 10:00:00"},
          {60, -179.9995, 5 * kn, 90, true, "2026-06-01 10:00:10"},
          {60, 179.9995, 5 * kn, 270, true, "2026-06-01 10:00:20"}},
         {1, 1, 1},
         {{3, 2 * milli_lng_60, 5, 2}}},
        {"a receiver clock that goes back by more than the limit begins a trip, a little back does not",
         {{60, 10.000, 1 * kn, 0, false, "2026-06-01 10:00:00"},
          {60, 10.000, 1 * kn, 0, false, "2026-06-01 09:59:59"},
          {60, 10.000, 1 * kn, 0, false, "2000-01-01 00:00:00"}},
         {1, 1, 2},
         {{2, 0, 1, 0}, {1, 0, 1, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<TripSummary> trips = split(c.rows);
        std::vector<int> trip_of_row;
        for (const TripSummary& t : trips)
            for (long i = 0; i < t.points; i++) trip_of_row.push_back(t.number);
        EXPECT_EQ(trip_of_row, c.trip_of_row);
        ASSERT_EQ(trips.size(), c.trips.size());
        for (size_t i = 0; i < trips.size(); i++) {
            SCOPED_TRACE("trip " + std::to_string(i + 1));
            const TripSummary& t = trips[i];
            const TripWant& w = c.trips[i];
            EXPECT_EQ(t.points, w.points);
            EXPECT_NEAR(t.distance_m, w.distance_m, w.distance_m * 0.005 + 1e-6);
            EXPECT_EQ(t.has_speed(), w.top_knots >= 0);
            if (w.top_knots >= 0) {
                EXPECT_NEAR(t.top_speed / kn, w.top_knots, 1e-9);
            }
            EXPECT_EQ(t.antimeridian_crossings, w.crossings);
            EXPECT_DOUBLE_EQ(t.duration_s(), want_duration_s(c, t.number));
            // The frame of the track is as narrow as the track, also across 180.
            EXPECT_LE(t.max_x - t.min_x, 0.01);
        }
    }
}

TEST(UtcTime, CommandLineTimesAndTheirRoundTrip) {
    struct {
        const char* text;
        bool ok;
        const char* printed;  // format_iso_utc with milliseconds
    } cases[] = {
        {"2026-06-01", true, "2026-06-01T00:00:00.000Z"},
        {"2026-06-01T10:00Z", true, "2026-06-01T10:00:00.000Z"},
        {"2026-06-01T10:00:00Z", true, "2026-06-01T10:00:00.000Z"},
        {"2026-06-01T23:59:59.25Z", true, "2026-06-01T23:59:59.250Z"},
        {"2028-02-29T12:00:00Z", true, "2028-02-29T12:00:00.000Z"},
        {"1969-12-31T23:59:59.999Z", true, "1969-12-31T23:59:59.999Z"},
        {"2026-06-01T10:00:00", false, nullptr},         // local time: which zone?
        {"2026-06-01T10:00:00+02:00", false, nullptr},
        {"2026-02-29", false, nullptr},
        {"2026-06-01T24:00:00Z", false, nullptr},
        {"2026-06-01T10:00:00.1234Z", false, nullptr},
        {"2026-6-1", false, nullptr},
        {"", false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        int64_t ms = 0;
        ASSERT_EQ(track::parse_iso_utc(c.text, &ms), c.ok);
        if (!c.ok) continue;
        char out[32];
        track::format_iso_utc(out, sizeof out, ms, true);
        EXPECT_STREQ(out, c.printed);
        char db[32];
        int64_t back = 0;
        track::format_db_time(db, sizeof db, ms);
        ASSERT_TRUE(track::parse_db_time(db, &back)) << db;
        EXPECT_EQ(back, ms);
    }
    int64_t ms = 0;
    ASSERT_TRUE(track::parse_iso_utc("2026-06-01T10:00:00Z", &ms));
    EXPECT_EQ(ms, 1780308000000);
}

}  // namespace
