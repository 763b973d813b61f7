// Trip rule, distances and the per-trip summary.
#include "trip.h"

#include <algorithm>
#include <cmath>

namespace track {

bool starts_new_trip(const TrackRow* prev, const TrackRow& row, const TripRule& rule) {
    if (prev == nullptr) return true;
    if (prev->paid != row.paid) return true;
    const int64_t step = row.time_ms - prev->time_ms;
    return step > rule.max_gap_ms || step < -rule.max_gap_ms;
}

namespace {
constexpr double kPi = 3.14159265358979323846;
double radians(double deg) { return deg * kPi / 180.0; }
}  // namespace

double distance_m(double lat1, double lng1, double lat2, double lng2) {
    const double dlat = radians(lat2 - lat1), dlng = radians(lng2 - lng1);
    const double s = std::sin(dlat / 2), t = std::sin(dlng / 2);
    double h = s * s + std::cos(radians(lat1)) * std::cos(radians(lat2)) * t * t;
    h = std::min(1.0, std::max(0.0, h));
    return 2 * kEarthRadiusM * std::asin(std::sqrt(h));
}

double unwrap_lng(double lng, double ref) {
    return lng + 360.0 * std::round((ref - lng) / 360.0);
}

bool crosses_antimeridian(double lng_from, double lng_to) {
    return std::fabs(lng_to - lng_from) > 180.0;
}

void trips_add(std::vector<TripSummary>& trips, TripSplitter& splitter, const TrackRow& row) {
    if (splitter.begins_trip(row) || trips.empty()) {
        trips.emplace_back();
        trips.back().number = static_cast<int>(trips.size());
    }
    trip_add(trips.back(), row);
}

void trip_add(TripSummary& trip, const TrackRow& row) {
    if (trip.points == 0) {
        trip.first_id = row.id;
        trip.start_ms = trip.end_ms = row.time_ms;
        trip.fuel_start = row.fuel;
        trip.paid = row.paid;
        trip.min_lat = trip.max_lat = row.lat;
        trip.min_x = trip.max_x = trip.last_x = row.lng;
    } else {
        trip.distance_m += distance_m(trip.last_lat, trip.last_lng, row.lat, row.lng);
        if (crosses_antimeridian(trip.last_lng, row.lng)) trip.antimeridian_crossings++;
        trip.last_x = unwrap_lng(row.lng, trip.last_x);
        trip.min_lat = std::min(trip.min_lat, row.lat);
        trip.max_lat = std::max(trip.max_lat, row.lat);
        trip.min_x = std::min(trip.min_x, trip.last_x);
        trip.max_x = std::max(trip.max_x, trip.last_x);
    }
    trip.points++;
    trip.last_id = row.id;
    trip.end_ms = std::max(trip.end_ms, row.time_ms);
    trip.fuel_end = row.fuel;
    trip.last_lat = row.lat;
    trip.last_lng = row.lng;
    if (row.has_speed) {
        trip.top_speed = std::max(trip.top_speed, row.speed);
        trip.speed_sum += row.speed;
        trip.speed_count++;
    }
}

}  // namespace track
