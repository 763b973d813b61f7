// The staff's side of the telemetry: tokens, tracks, the last position.
#include "export.h"
#include "telemetry.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace shore {

namespace {

constexpr int64_t kMaxSession = INT64_MAX / 2;

int64_t session_option(const Options& o) {
    const auto it = o.find("session");
    if (it == o.end() || it->second.empty()) throw Refusal("--session is missing");
    const std::string& text = it->second;
    if (text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        throw Refusal("--session " + text + " is not a session number");
    const int64_t n = std::stoll(text);
    if (n < 1 || n > kMaxSession) throw Refusal("--session " + text + " is not a session number");
    return n;
}

track::Format format_option(const Options& o) {
    const auto it = o.find("format");
    const std::string text = it == o.end() ? "" : it->second;
    if (text == "gpx") return track::Format::gpx;
    if (text == "geojson") return track::Format::geojson;
    throw Refusal("--format must be gpx or geojson");
}

// A position as boat_track's rows are: the same trip rule and writers.
track::TrackRow track_row(const Position& p) {
    track::TrackRow r;
    r.id = static_cast<uint64_t>(p.id);
    r.lat = p.lat;
    r.lng = p.lng;
    r.has_speed = p.speed.has_value();
    r.speed = p.speed.value_or(0);
    r.has_course = p.bearing.has_value();
    r.course = p.bearing.value_or(0);
    r.fuel = static_cast<int>(p.fuel);
    r.paid = p.active != 0;
    r.time_ms = p.at_ms();
    return r;
}

std::string track_text(const std::vector<Position>& positions, track::Format format) {
    std::vector<track::TrackRow> rows;
    rows.reserve(positions.size());
    for (const Position& p : positions) {
        // A map shows no position beyond the poles or the date line.
        if (std::abs(p.lat) <= 90 && std::abs(p.lng) <= 180) rows.push_back(track_row(p));
    }
    char* text = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&text, &len);
    if (!out) throw std::bad_alloc();
    track::write_rows(format, rows, track::TripRule {}, out);
    const bool ok = fclose(out) == 0;
    std::string result(text ? text : "", len);
    free(text);
    if (!ok) throw std::bad_alloc();
    return result;
}

}  // namespace

std::string carry_out_telemetry(Store& store, const Order& order, int64_t now) {
    const Options& o = order.options;
    if (order.command == "token") {
        const auto it = o.find("boat");
        int64_t boat = 0;
        if (it == o.end() || !parse_boat_number(it->second, &boat))
            throw Refusal("--boat is missing or not a boat number (0 to 2147483647)");
        return issue_token(store, boat, now) + "\n";
    }
    if (order.command == "track") {
        const int64_t session = session_option(o);
        const track::Format format = format_option(o);
        return track_text(session_positions(store, session, now), format);
    }
    throw Refusal("\"" + order.command + "\" is not a telemetry order");
}

std::string position_text(const Position* p, int64_t now) {
    if (!p) return "";  // a boat that sends no positions
    char text[160];
    const int64_t at = p->at_ms() / 1000;
    snprintf(text, sizeof text, " position %.6f %.6f at %" PRId64 " (%" PRId64 " s ago)", p->lat, p->lng, at, now - at);
    return text;
}

nlohmann::json position_json(const Position* p, int64_t now) {
    if (!p) return nullptr;
    const int64_t at = p->at_ms() / 1000;
    return {{"lat", p->lat},
            {"lng", p->lng},
            {"speed", p->speed ? nlohmann::json(*p->speed) : nlohmann::json(nullptr)},
            {"bearing", p->bearing ? nlohmann::json(*p->bearing) : nlohmann::json(nullptr)},
            {"active", p->active},
            {"at", at},
            {"age", now - at}};
}

}  // namespace shore
