// Trip pictures with cairo: an equirectangular map around the track (true
// to scale at its middle latitude, plenty for the few kilometres of a boat
// trip), longitudes unwrapped along the track so that a trip across 180
// degrees stays in one piece.
#include "picture.h"

#include "utc_time.h"

#include <cairo-svg.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <cstdio>
#include <algorithm>
#include <cmath>

namespace track {

namespace {

constexpr double kMetresPerDegree = kEarthRadiusM * 3.14159265358979323846 / 180.0;
constexpr double kMargin = 24;
constexpr double kTitleBand = 40;
constexpr double kLegendBand = 64;
// Kept free on the right of the map for the north arrow.
constexpr double kArrowBand = 30;
constexpr double kTitlePt = 15;
// A trip that never moved still gets a frame of this many metres.
constexpr double kMinSpanM = 200;
constexpr double kPaidWidth = 3.5, kUnpaidWidth = 2.0;
constexpr double kUnpaidDash[] = {6.0, 4.0};
constexpr double kNoSpeedGrey = 0.55;

bool ends_with(const std::string& s, const char* tail) {
    const std::string t(tail);
    return s.size() > t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

// Blue (still) through green and yellow to red (the top speed).
void speed_colour(cairo_t* cr, double fraction) {
    const double f = std::min(1.0, std::max(0.0, fraction));
    const double hue = (1.0 - f) * 240.0 / 60.0;  // sextant of the colour wheel
    const int i = static_cast<int>(hue);
    const double x = hue - i;
    double r = 0, g = 0, b = 0;
    switch (i) {
    case 0: r = 1; g = x; break;
    case 1: r = 1 - x; g = 1; break;
    case 2: g = 1; b = x; break;
    case 3: g = 1 - x; b = 1; break;
    default: b = 1; break;
    }
    cairo_set_source_rgb(cr, r * 0.9, g * 0.8, b * 0.9);
}

// 1, 2 or 5 times a power of ten, at most `metres`.
double round_length(double metres) {
    const double p = std::pow(10.0, std::floor(std::log10(metres)));
    for (double m : {5.0, 2.0, 1.0})
        if (m * p <= metres) return m * p;
    return p;
}

}  // namespace

struct Picture::Impl {
    std::string path, tmp;
    bool svg = false;
    PictureSize size;
    cairo_surface_t* surface = nullptr;
    cairo_t* cr = nullptr;
    // Projection: x = (lng' - x0) * sx + ox, y = (lat0 - lat) * sy + oy.
    double x0 = 0, lat0 = 0, sx = 1, sy = 1, ox = 0, oy = 0, m_per_px = 1;
    double top_speed = 0;
    // Longitude reference of the first trip; each trip is shifted by whole
    // turns to lie next to it.
    double ref_lng = 0;
    bool started = false;
    int trip = -1;
    double last_x = 0, last_px = 0, last_py = 0;

    ~Impl() {
        if (cr) cairo_destroy(cr);
        if (surface) cairo_surface_destroy(surface);
        if (!tmp.empty()) remove(tmp.c_str());
        // The font caches of cairo and fontconfig live until released, which
        // the leak checker would take for leaks.
        cairo_debug_reset_static_data();
        FcFini();
    }

    double px(double x) const { return (x - x0) * sx + ox; }
    double py(double lat) const { return (lat0 - lat) * sy + oy; }

    void text(double x, double y, double pt, const char* s) {
        cairo_set_font_size(cr, pt);
        cairo_move_to(cr, x, y);
        cairo_show_text(cr, s);
    }

    void marker(double x, double y, bool start) {
        cairo_new_path(cr);
        if (start)
            cairo_arc(cr, x, y, 6, 0, 2 * 3.14159265358979323846);
        else
            cairo_rectangle(cr, x - 6, y - 6, 12, 12);
        cairo_set_source_rgb(cr, start ? 0.1 : 0.8, start ? 0.6 : 0.1, 0.1);
        cairo_fill_preserve(cr);
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_set_line_width(cr, 1.5);
        cairo_set_dash(cr, nullptr, 0, 0);
        cairo_stroke(cr);
    }

    void legend();
};

Picture::Picture() : impl_(std::make_unique<Impl>()) {}
Picture::~Picture() = default;

bool picture_path_ok(const std::string& path) { return ends_with(path, ".png") || ends_with(path, ".svg"); }

bool Picture::open(const std::string& path, PictureSize size, const std::vector<TripSummary>& trips) {
    Impl& p = *impl_;
    p.path = path;
    p.tmp = path + ".part";
    p.svg = ends_with(path, ".svg");
    p.size = size;
    if (p.svg) {
        p.surface = cairo_svg_surface_create(p.tmp.c_str(), size.width, size.height);
        cairo_svg_surface_set_document_unit(p.surface, CAIRO_SVG_UNIT_PX);
    } else {
        p.surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size.width, size.height);
    }
    if (cairo_surface_status(p.surface) != CAIRO_STATUS_SUCCESS) {
        error_ = std::string("cannot make ") + path + ": " + cairo_status_to_string(cairo_surface_status(p.surface));
        return false;
    }
    p.cr = cairo_create(p.surface);

    // The frame of all trips, each shifted next to the first.
    p.ref_lng = trips.empty() ? 0.0 : trips.front().min_x;
    double min_x = 0, max_x = 0, min_lat = 0, max_lat = 0;
    for (size_t i = 0; i < trips.size(); i++) {
        const TripSummary& t = trips[i];
        const double shift = unwrap_lng(t.min_x, p.ref_lng) - t.min_x;
        min_x = i ? std::min(min_x, t.min_x + shift) : t.min_x + shift;
        max_x = i ? std::max(max_x, t.max_x + shift) : t.max_x + shift;
        min_lat = i ? std::min(min_lat, t.min_lat) : t.min_lat;
        max_lat = i ? std::max(max_lat, t.max_lat) : t.max_lat;
        p.top_speed = std::max(p.top_speed, t.top_speed);
    }
    const double mid_lat = (min_lat + max_lat) / 2;
    const double coslat = std::max(0.01, std::cos(mid_lat * 3.14159265358979323846 / 180.0));
    const double w = std::max(1.0, size.width - 2 * kMargin - kArrowBand);
    const double h = std::max(1.0, size.height - kTitleBand - kLegendBand - kMargin);
    const double span_x_m = std::max(kMinSpanM, (max_x - min_x) * kMetresPerDegree * coslat);
    const double span_y_m = std::max(kMinSpanM, (max_lat - min_lat) * kMetresPerDegree);
    p.m_per_px = std::max(span_x_m / w, span_y_m / h);
    p.sy = kMetresPerDegree / p.m_per_px;
    p.sx = p.sy * coslat;
    p.x0 = (min_x + max_x) / 2;
    p.lat0 = (min_lat + max_lat) / 2;
    p.ox = kMargin + w / 2;
    p.oy = kTitleBand + h / 2;

    cairo_t* cr = p.cr;
    cairo_set_source_rgb(cr, 0.93, 0.96, 0.99);
    cairo_paint(cr);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);

    char title[200], start[32], end[32];
    if (trips.size() == 1) {
        const TripSummary& t = trips.front();
        format_iso_utc(start, sizeof start, t.start_ms, false);
        format_iso_utc(end, sizeof end, t.end_ms, false);
        snprintf(title, sizeof title, "Trip %d: %s to %s, %.2f km (%.2f nmi), %s", t.number, start, end,
                 t.distance_m / 1000, t.distance_m / kMetresPerNauticalMile, t.paid ? "paid session" : "not paid");
    } else if (!trips.empty()) {
        format_iso_utc(start, sizeof start, trips.front().start_ms, false);
        format_iso_utc(end, sizeof end, trips.back().end_ms, false);
        snprintf(title, sizeof title, "Trips %d to %d: %s to %s", trips.front().number, trips.back().number, start, end);
    } else {
        snprintf(title, sizeof title, "No trips");
    }
    // Smaller type for a title wider than the picture.
    cairo_set_font_size(cr, kTitlePt);
    cairo_text_extents_t ext;
    cairo_text_extents(cr, title, &ext);
    const double room = size.width - 2 * kMargin;
    const double pt = ext.x_advance > room ? kTitlePt * room / ext.x_advance : kTitlePt;
    cairo_set_source_rgb(cr, 0, 0, 0);
    p.text(kMargin, 26, pt, title);
    return true;
}

void Picture::point(const TrackRow& row, const TripSummary& trip) {
    Impl& p = *impl_;
    cairo_t* cr = p.cr;
    const bool first = !p.started || trip.number != p.trip;
    const double x = first ? unwrap_lng(row.lng, p.ref_lng) : unwrap_lng(row.lng, p.last_x);
    const double X = p.px(x), Y = p.py(row.lat);
    if (!first) {
        cairo_new_path(cr);
        cairo_move_to(cr, p.last_px, p.last_py);
        cairo_line_to(cr, X, Y);
        if (row.has_speed)
            speed_colour(cr, p.top_speed > 0 ? row.speed / p.top_speed : 0);
        else
            cairo_set_source_rgb(cr, kNoSpeedGrey, kNoSpeedGrey, kNoSpeedGrey);
        cairo_set_line_width(cr, row.paid ? kPaidWidth : kUnpaidWidth);
        if (row.paid)
            cairo_set_dash(cr, nullptr, 0, 0);
        else
            cairo_set_dash(cr, kUnpaidDash, 2, 0);
        cairo_stroke(cr);
    }
    if (first) {
        p.started = true;
        p.trip = trip.number;
        p.marker(X, Y, true);
    }
    if (row.id == trip.last_id) p.marker(X, Y, false);
    p.last_x = x;
    p.last_px = X;
    p.last_py = Y;
}

void Picture::Impl::legend() {
    const double base = size.height - kLegendBand + 14;
    char label[64];
    // Speed colours.
    const double bar_w = std::min(180.0, size.width / 4.0);
    for (int i = 0; i < 60; i++) {
        speed_colour(cr, i / 59.0);
        cairo_rectangle(cr, kMargin + i * bar_w / 60, base, bar_w / 60 + 0.5, 10);
        cairo_fill(cr);
    }
    cairo_set_source_rgb(cr, 0, 0, 0);
    text(kMargin, base + 24, 11, "0 kn");
    snprintf(label, sizeof label, "%.1f kn", top_speed / kMetresPerSecondPerKnot);
    text(kMargin + bar_w - 36, base + 24, 11, label);
    text(kMargin, base + 40, 11, "speed (grey: not known)");

    // Line styles and marks.
    const double lx = kMargin + bar_w + 30;
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    cairo_set_line_width(cr, kPaidWidth);
    cairo_set_dash(cr, nullptr, 0, 0);
    cairo_move_to(cr, lx, base + 5);
    cairo_line_to(cr, lx + 30, base + 5);
    cairo_stroke(cr);
    text(lx + 36, base + 9, 11, "paid session");
    cairo_set_line_width(cr, kUnpaidWidth);
    cairo_set_dash(cr, kUnpaidDash, 2, 0);
    cairo_move_to(cr, lx, base + 21);
    cairo_line_to(cr, lx + 30, base + 21);
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0);
    text(lx + 36, base + 25, 11, "not paid");
    marker(lx + 6, base + 37, true);
    cairo_set_source_rgb(cr, 0, 0, 0);
    text(lx + 16, base + 41, 11, "start");
    marker(lx + 66, base + 37, false);
    cairo_set_source_rgb(cr, 0, 0, 0);
    text(lx + 76, base + 41, 11, "end");

    // Scale bar, a round length of about a quarter of the width.
    const double metres = round_length(size.width / 4.0 * m_per_px);
    const double len = metres / m_per_px;
    const double sxr = size.width - kMargin - len;
    cairo_set_line_width(cr, 2);
    cairo_move_to(cr, sxr, base);
    cairo_line_to(cr, sxr, base + 8);
    cairo_line_to(cr, sxr + len, base + 8);
    cairo_line_to(cr, sxr + len, base);
    cairo_stroke(cr);
    if (metres >= 1000)
        snprintf(label, sizeof label, "%g km (%.2f nmi)", metres / 1000, metres / kMetresPerNauticalMile);
    else
        snprintf(label, sizeof label, "%g m", metres);
    text(sxr, base + 24, 11, label);

    // North up.
    const double nx = size.width - kMargin - 10, ny = kTitleBand + 8;
    cairo_move_to(cr, nx, ny);
    cairo_line_to(cr, nx - 7, ny + 22);
    cairo_line_to(cr, nx, ny + 16);
    cairo_line_to(cr, nx + 7, ny + 22);
    cairo_close_path(cr);
    cairo_fill(cr);
    text(nx - 5, ny + 38, 13, "N");
}

bool Picture::finish() {
    Impl& p = *impl_;
    p.legend();
    cairo_status_t st = cairo_status(p.cr);
    if (st == CAIRO_STATUS_SUCCESS && !p.svg) st = cairo_surface_write_to_png(p.surface, p.tmp.c_str());
    cairo_destroy(p.cr);
    p.cr = nullptr;
    cairo_surface_finish(p.surface);
    if (st == CAIRO_STATUS_SUCCESS) st = cairo_surface_status(p.surface);
    cairo_surface_destroy(p.surface);
    p.surface = nullptr;
    if (st != CAIRO_STATUS_SUCCESS) {
        error_ = "cannot write " + p.path + ": " + cairo_status_to_string(st);
        return false;
    }
    if (rename(p.tmp.c_str(), p.path.c_str()) != 0) {
        error_ = "cannot write " + p.path;
        return false;
    }
    p.tmp.clear();
    return true;
}

}  // namespace track
