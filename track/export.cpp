// The three export formats. Each writes as the rows come, holding only the
// current trip's summary and the last point.
#include "export.h"

#include "utc_time.h"

#include <cmath>

namespace track {

namespace {

double knots(double metres_per_second) { return metres_per_second / kMetresPerSecondPerKnot; }

// GPX 1.1 track points carry speed and course in the track point
// extension that map programs read.
class GpxWriter : public TrackWriter {
public:
    explicit GpxWriter(FILE* out) : out_(out) {}
    void begin_document() override {
        fputs("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<gpx version=\"1.1\" creator=\"boat_track\" xmlns=\"http://www.topografix.com/GPX/1/1\"\n"
              "     xmlns:gpxtpx=\"http://www.garmin.com/xmlschemas/TrackPointExtension/v2\"\n"
              "     xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
              "     xsi:schemaLocation=\"http://www.topografix.com/GPX/1/1 "
              "http://www.topografix.com/GPX/1/1/gpx.xsd\">\n",
              out_);
    }
    void begin_trip(const TripSummary& t) override {
        char start[32], end[32];
        format_iso_utc(start, sizeof start, t.start_ms, false);
        format_iso_utc(end, sizeof end, t.end_ms, false);
        fprintf(out_,
                "  <trk>\n    <name>Trip %d</name>\n    <desc>%s to %s, %.3f km (%.3f nmi), %s</desc>\n"
                "    <number>%d</number>\n    <type>%s</type>\n    <trkseg>\n",
                t.number, start, end, t.distance_m / 1000, t.distance_m / kMetresPerNauticalMile,
                t.paid ? "paid session" : "not paid", t.number, t.paid ? "paid" : "not paid");
    }
    void point(const TrackRow& r) override {
        char when[32];
        format_iso_utc(when, sizeof when, r.time_ms, true);
        // The schema's longitudes end before 180.
        const double lon = r.lng >= 180.0 ? r.lng - 360.0 : r.lng;
        fprintf(out_, "      <trkpt lat=\"%.7f\" lon=\"%.7f\"><time>%s</time>", r.lat, lon, when);
        if (r.has_speed || r.has_course) {
            fputs("<extensions><gpxtpx:TrackPointExtension>", out_);
            if (r.has_speed) fprintf(out_, "<gpxtpx:speed>%.3f</gpxtpx:speed>", std::fabs(r.speed));
            if (r.has_course) fprintf(out_, "<gpxtpx:course>%.1f</gpxtpx:course>", std::fmod(std::fabs(r.course), 360.0));
            fputs("</gpxtpx:TrackPointExtension></extensions>", out_);
        }
        fputs("</trkpt>\n", out_);
    }
    void end_trip() override { fputs("    </trkseg>\n  </trk>\n", out_); }
    void end_document() override { fputs("</gpx>\n", out_); }

private:
    FILE* out_;
};

// One Feature per trip: a LineString, a MultiLineString cut at 180
// degrees for a trip that crosses it, a Point for a trip of one row. The
// summary follows the geometry as the Feature's properties.
class GeoJsonWriter : public TrackWriter {
public:
    explicit GeoJsonWriter(FILE* out) : out_(out) {}
    void begin_document() override { fputs("{\"type\": \"FeatureCollection\", \"features\": [", out_); }
    void begin_trip(const TripSummary& t) override {
        trip_ = t;
        first_ = true;
        const char* type = t.points == 1 ? "Point" : t.antimeridian_crossings ? "MultiLineString" : "LineString";
        fprintf(out_, "%s\n{\"type\": \"Feature\", \"geometry\": {\"type\": \"%s\", \"coordinates\": %s",
                trips_++ ? "," : "", type, t.points == 1 ? "" : t.antimeridian_crossings ? "[[" : "[");
    }
    void point(const TrackRow& r) override {
        if (first_) {
            position(r.lng, r.lat, "");
        } else if (crosses_antimeridian(last_lng_, r.lng)) {
            // Cut where the straight line between the two positions, in
            // longitudes unwrapped across 180, meets the meridian.
            const double edge = last_lng_ > 0 ? 180.0 : -180.0;
            const double to = unwrap_lng(r.lng, last_lng_);
            const double f = to == last_lng_ ? 0.0 : (edge - last_lng_) / (to - last_lng_);
            const double lat = last_lat_ + f * (r.lat - last_lat_);
            position(edge, lat, ", ");
            fputs("], [", out_);
            position(-edge, lat, "");
            position(r.lng, r.lat, ", ");
        } else {
            position(r.lng, r.lat, ", ");
        }
        first_ = false;
        last_lng_ = r.lng;
        last_lat_ = r.lat;
    }
    void end_trip() override {
        const TripSummary& t = trip_;
        char start[32], end[32];
        format_iso_utc(start, sizeof start, t.start_ms, false);
        format_iso_utc(end, sizeof end, t.end_ms, false);
        fputs(t.points == 1 ? "" : t.antimeridian_crossings ? "]]" : "]", out_);
        fprintf(out_,
                "}, \"properties\": {\"trip\": %d, \"start\": \"%s\", \"end\": \"%s\", \"duration_s\": %.0f, "
                "\"distance_km\": %.3f, \"distance_nmi\": %.3f, ",
                t.number, start, end, t.duration_s(), t.distance_m / 1000, t.distance_m / kMetresPerNauticalMile);
        if (t.has_speed())
            fprintf(out_, "\"top_speed_kn\": %.1f, \"mean_speed_kn\": %.1f, ", knots(t.top_speed),
                    knots(t.mean_speed()));
        else
            fputs("\"top_speed_kn\": null, \"mean_speed_kn\": null, ", out_);
        fprintf(out_, "\"fuel_start\": %d, \"fuel_end\": %d, \"paid\": %s, \"points\": %ld}}", t.fuel_start, t.fuel_end,
                t.paid ? "true" : "false", t.points);
    }
    void end_document() override { fputs("\n]}\n", out_); }

private:
    void position(double lng, double lat, const char* sep) { fprintf(out_, "%s[%.7f, %.7f]", sep, lng, lat); }
    FILE* out_;
    TripSummary trip_;
    int trips_ = 0;
    bool first_ = true;
    double last_lng_ = 0, last_lat_ = 0;
};

class CsvWriter : public TrackWriter {
public:
    explicit CsvWriter(FILE* out) : out_(out) {}
    void begin_document() override { fputs("trip,time,latitude,longitude,speed_kn,course_deg,fuel,paid,row_id\n", out_); }
    void begin_trip(const TripSummary& t) override { trip_ = t.number; }
    void point(const TrackRow& r) override {
        char when[32];
        format_iso_utc(when, sizeof when, r.time_ms, true);
        fprintf(out_, "%d,%s,%.7f,%.7f,", trip_, when, r.lat, r.lng);
        if (r.has_speed) fprintf(out_, "%.2f", knots(r.speed));
        fputc(',', out_);
        if (r.has_course) fprintf(out_, "%.1f", r.course);
        fprintf(out_, ",%d,%d,%llu\n", r.fuel, r.paid ? 1 : 0, static_cast<unsigned long long>(r.id));
    }
    void end_trip() override {}
    void end_document() override {}

private:
    FILE* out_;
    int trip_ = 0;
};

}  // namespace

std::unique_ptr<TrackWriter> make_writer(Format format, FILE* out) {
    switch (format) {
    case Format::gpx: return std::make_unique<GpxWriter>(out);
    case Format::geojson: return std::make_unique<GeoJsonWriter>(out);
    case Format::csv: return std::make_unique<CsvWriter>(out);
    }
    return nullptr;
}

void write_rows(Format format, const std::vector<TrackRow>& rows, const TripRule& rule, FILE* out) {
    std::vector<TripSummary> trips;
    TripSplitter first(rule);
    for (const TrackRow& row : rows) trips_add(trips, first, row);
    std::unique_ptr<TrackWriter> writer = make_writer(format, out);
    writer->begin_document();
    // The same rule over the same rows: the second pass meets the trips the
    // first one summed, in order.
    TripSplitter second(rule);
    size_t next = 0;
    for (const TrackRow& row : rows) {
        if (second.begins_trip(row)) {
            if (next > 0) writer->end_trip();
            writer->begin_trip(trips[next++]);
        }
        writer->point(row);
    }
    if (next > 0) writer->end_trip();
    writer->end_document();
}

}  // namespace track
