// Trips out of the tracker's rows: the rule that splits them, the
// great-circle distance and the summary of one trip. Pure functions, no I/O.
#pragma once

#include <cstdint>
#include <vector>

namespace track {

// One row of the table GPS as boat_track reads it.
struct TrackRow {
    uint64_t id = 0;
    double lat = 0, lng = 0;  // degrees
    double speed = 0;         // m/s as gpsd gives it; valid when has_speed
    double course = 0;        // degrees true; valid when has_course
    bool has_speed = false, has_course = false;
    int fuel = 0;             // converter counts
    bool paid = false;        // Active: a granted session ran
    int64_t time_ms = 0;      // FixTime, or Logged when the fix had no time; ms since the epoch, UTC
};

constexpr int64_t kDefaultGapMs = 5 * 60 * 1000;

struct TripRule {
    int64_t max_gap_ms = kDefaultGapMs;
};

// Whether `row` begins a trip after `prev` (nullptr: the first row): a gap
// longer than the rule's, or a change of Active. A clock that went back by
// more than the gap (a receiver that restarted its clock) splits too.
bool starts_new_trip(const TrackRow* prev, const TrackRow& row, const TripRule& rule);

// The rule applied to rows in order, as both passes over the table do.
class TripSplitter {
public:
    explicit TripSplitter(TripRule rule) : rule_(rule) {}
    // Whether `row`, the next in order, begins a trip.
    bool begins_trip(const TrackRow& row) {
        const bool begins = starts_new_trip(has_prev_ ? &prev_ : nullptr, row, rule_);
        prev_ = row;
        has_prev_ = true;
        return begins;
    }

private:
    TripRule rule_;
    TrackRow prev_;
    bool has_prev_ = false;
};

constexpr double kEarthRadiusM = 6371008.8;  // mean radius
constexpr double kMetresPerNauticalMile = 1852.0;
constexpr double kMetresPerSecondPerKnot = kMetresPerNauticalMile / 3600.0;

// Great-circle distance by the haversine formula; longitudes on either
// side of 180 degrees are near each other.
double distance_m(double lat1, double lng1, double lat2, double lng2);

// `lng` moved by whole turns to within half a turn of `ref`: a track
// drawn in these longitudes does not jump across the map at 180 degrees.
double unwrap_lng(double lng, double ref);

// What the trips listing, the exports' summaries and the picture's frame
// need of one trip, gathered row by row.
struct TripSummary {
    int number = 0;                // from 1, in the order of the rows
    uint64_t first_id = 0, last_id = 0;
    int64_t start_ms = 0, end_ms = 0;
    long points = 0;
    double distance_m = 0;
    double top_speed = 0;          // m/s, of rows with a speed
    double speed_sum = 0;
    long speed_count = 0;
    int fuel_start = 0, fuel_end = 0;
    bool paid = false;
    int antimeridian_crossings = 0;
    // Frame: latitudes, and longitudes unwrapped along the track.
    double min_lat = 0, max_lat = 0, min_x = 0, max_x = 0;
    double last_lat = 0, last_lng = 0, last_x = 0;

    double duration_s() const { return end_ms > start_ms ? (end_ms - start_ms) / 1000.0 : 0.0; }
    bool has_speed() const { return speed_count > 0; }
    double mean_speed() const { return speed_count ? speed_sum / speed_count : 0.0; }
};

// Adds a row to the trip it belongs to (the first row opens the summary).
void trip_add(TripSummary& trip, const TrackRow& row);

// The next row in order into `trips`: a new numbered summary when the
// rule begins a trip with it, else the last one.
void trips_add(std::vector<TripSummary>& trips, TripSplitter& splitter, const TrackRow& row);

// Whether the step from one longitude to the next crosses 180 degrees
// (the shorter way round).
bool crosses_antimeridian(double lng_from, double lng_to);

}  // namespace track
