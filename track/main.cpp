// boat_track: where the boat went. Reads the tracker's table GPS and lists
// its trips, exports them for map programs or draws them.
#include "export.h"
#include "picture.h"
#include "track_db.h"
#include "trip.h"
#include "utc_time.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace track;

constexpr const char* kUsage =
    "usage: boat_track trips   [--since T] [--until T] [--gap SECONDS]\n"
    "       boat_track export  --format gpx|geojson|csv [--trip N] [-o FILE] [--since T] [--until T] [--gap SECONDS]\n"
    "       boat_track picture -o FILE.png|FILE.svg [--trip N] [--size WxH] [--since T] [--until T] [--gap SECONDS]\n";

constexpr const char* kHelp =
    "Lists, exports and draws the trips in the tracker's database (table GPS).\n"
    "\n"
    "A trip is a run of rows, in the order the tracker wrote them, without a gap\n"
    "longer than --gap seconds (default 300) and without a change of the paid\n"
    "session flag (Active). A row's time is its fix time (UTC), or the time the\n"
    "database stored it when the fix had none. Trips are numbered from 1 within\n"
    "the rows selected, so --trip N refers to the listing of the same --since,\n"
    "--until and --gap.\n"
    "\n"
    "  trips     one line per trip: start, end, duration, distance (great circle,\n"
    "            km and nautical miles), top and mean speed (knots, the mean of\n"
    "            the speeds the receiver gave), fuel reading at start and end,\n"
    "            whether it was a paid session, and its number of rows\n"
    "  export    GPX 1.1 (one trk per trip, time, speed and course of each\n"
    "            point), GeoJSON (RFC 7946: one Feature per trip with its summary\n"
    "            as properties; a trip across 180 degrees is cut there into a\n"
    "            MultiLineString, a trip of one row is a Point) or CSV with a\n"
    "            header; to FILE or standard output\n"
    "  picture   the track to scale, north up, coloured by speed, paid sessions\n"
    "            solid and the rest dashed; PNG or SVG by FILE's extension,\n"
    "            --size in pixels (default 1024x768); without --trip all trips\n"
    "\n";

// Between kHelp and kHelpTimes: the settings file's path.
constexpr const char* kHelpLogin =
    "The database login is boat_tracker's: DB_HOST, DB_USER, DB_PASSWORD and\n"
    "DB_NAME of %s over the values built in. A file the\n"
    "terminals would refuse stops boat_track too; the file is root's alone, so\n"
    "run boat_track as root (sudo) where it exists.\n";

constexpr const char* kHelpTimes =
    "\n"
    "Times T are ISO 8601 in UTC: 2026-06-01 (its midnight), 2026-06-01T10:00Z,\n"
    "2026-06-01T10:00:00Z or 2026-06-01T10:00:00.250Z. --since is inclusive,\n"
    "--until exclusive: --since 2026-06-01 --until 2026-06-02 is that day.\n"
    "Times printed and exported are UTC, ISO 8601 with Z.\n"
    "\n"
    "Exit status: 0 done (also when there are no rows), 1 settings file,\n"
    "database or file error, or no such trip, 2 wrong usage.\n";

enum class Command { trips, export_, picture };

struct Options {
    Command command = Command::trips;
    RowRange range;
    TripRule rule;
    int trip = 0;  // 0: all
    Format format = Format::gpx;
    bool has_format = false;
    std::string out;
    PictureSize size;
};

[[noreturn]] void help() {
    printf("%s\n%s", kUsage, kHelp);
    printf(kHelpLogin, kTerminalSettingsPath);
    printf("%s", kHelpTimes);
    exit(0);
}

int usage_error(const char* what, const char* arg) {
    fprintf(stderr, "boat_track: %s%s%s\n%s", what, arg ? ": " : "", arg ? arg : "", kUsage);
    return 2;
}

bool positive(const char* text, long max, long* v) {
    char* end = nullptr;
    errno = 0;
    *v = strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && *v > 0 && *v <= max;
}

// 0 parsed, else the exit status.
int parse(int argc, char** argv, Options& o) {
    if (argc < 2) return usage_error("no command", nullptr);
    const std::string cmd = argv[1];
    if (cmd == "--help" || cmd == "-h") help();
    if (cmd == "trips") o.command = Command::trips;
    else if (cmd == "export") o.command = Command::export_;
    else if (cmd == "picture") o.command = Command::picture;
    else return usage_error("unknown command", argv[1]);

    for (int i = 2; i < argc; i++) {
        const std::string opt = argv[i];
        if (opt == "--help" || opt == "-h") help();
        if (i + 1 >= argc) return usage_error("missing value of", argv[i]);
        const char* val = argv[++i];
        long n = 0;
        if (opt == "--since") {
            if (!parse_iso_utc(val, &o.range.since_ms)) return usage_error("not an ISO 8601 UTC time", val);
            o.range.has_since = true;
        } else if (opt == "--until") {
            if (!parse_iso_utc(val, &o.range.until_ms)) return usage_error("not an ISO 8601 UTC time", val);
            o.range.has_until = true;
        } else if (opt == "--gap") {
            if (!positive(val, 365L * 86400, &n)) return usage_error("not a number of seconds", val);
            o.rule.max_gap_ms = n * 1000;
        } else if (opt == "--trip" && o.command != Command::trips) {
            if (!positive(val, 1000000000L, &n)) return usage_error("not a trip number", val);
            o.trip = static_cast<int>(n);
        } else if (opt == "--format" && o.command == Command::export_) {
            if (!strcmp(val, "gpx")) o.format = Format::gpx;
            else if (!strcmp(val, "geojson")) o.format = Format::geojson;
            else if (!strcmp(val, "csv")) o.format = Format::csv;
            else return usage_error("unknown format", val);
            o.has_format = true;
        } else if ((opt == "-o" || opt == "--output") && o.command != Command::trips) {
            o.out = val;
        } else if (opt == "--size" && o.command == Command::picture) {
            int w = 0, h = 0, used = 0;
            if (sscanf(val, "%5dx%5d%n", &w, &h, &used) != 2 || val[used] != '\0' || w < 64 || h < 64 || w > 10000 ||
                h > 10000)
                return usage_error("not a size WxH between 64 and 10000 pixels", val);
            o.size = {w, h};
        } else {
            return usage_error("unknown option", argv[i - 1]);
        }
    }
    if (o.command == Command::export_ && !o.has_format) return usage_error("export needs --format", nullptr);
    if (o.command == Command::picture && !picture_path_ok(o.out))
        return usage_error("picture needs -o FILE.png or -o FILE.svg", nullptr);
    if (o.range.has_since && o.range.has_until && o.range.until_ms <= o.range.since_ms)
        return usage_error("--until must come after --since", nullptr);
    return 0;
}

int fail(const std::string& what) {
    fprintf(stderr, "boat_track: %s\n", what.c_str());
    return 1;
}

// What "no rows" means for these options.
std::string no_rows(const Options& o) {
    std::string text = "no rows in the table GPS";
    char t[32];
    if (o.range.has_since) {
        format_iso_utc(t, sizeof t, o.range.since_ms, true);
        text += std::string(" from ") + t;
    }
    if (o.range.has_until) {
        format_iso_utc(t, sizeof t, o.range.until_ms, true);
        text += std::string(" before ") + t;
    }
    return text;
}

void print_trips(const std::vector<TripSummary>& trips) {
    printf("%4s  %-20s  %-20s  %8s  %10s  %9s  %7s  %7s  %11s  %-4s  %6s\n", "trip", "start", "end", "duration",
           "km", "nmi", "top kn", "mean kn", "fuel", "paid", "rows");
    double total = 0;
    int paid = 0;
    for (const TripSummary& t : trips) {
        char start[32], end[32], duration[48], top[16] = "-", mean[16] = "-", fuel[24];
        format_iso_utc(start, sizeof start, t.start_ms, false);
        format_iso_utc(end, sizeof end, t.end_ms, false);
        const long s = static_cast<long>(t.duration_s());
        snprintf(duration, sizeof duration, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
        if (t.has_speed()) {
            snprintf(top, sizeof top, "%.1f", t.top_speed / kMetresPerSecondPerKnot);
            snprintf(mean, sizeof mean, "%.1f", t.mean_speed() / kMetresPerSecondPerKnot);
        }
        snprintf(fuel, sizeof fuel, "%d-%d", t.fuel_start, t.fuel_end);
        printf("%4d  %-20s  %-20s  %8s  %10.3f  %9.3f  %7s  %7s  %11s  %-4s  %6ld\n", t.number, start, end, duration,
               t.distance_m / 1000, t.distance_m / kMetresPerNauticalMile, top, mean, fuel, t.paid ? "yes" : "no",
               t.points);
        total += t.distance_m;
        paid += t.paid;
    }
    printf("%zu trip%s, %d paid, %.3f km (%.3f nmi)\n", trips.size(), trips.size() == 1 ? "" : "s", paid,
           total / 1000, total / kMetresPerNauticalMile);
}

// The output file, written under a temporary name and renamed when
// complete: a failed export never leaves a file that looks whole.
class Output {
public:
    explicit Output(std::string path) : path_(std::move(path)) {}
    ~Output() {
        if (file_ && file_ != stdout) fclose(file_);
        if (!tmp_.empty()) remove(tmp_.c_str());
    }
    FILE* open() {
        if (path_.empty() || path_ == "-") return file_ = stdout;
        tmp_ = path_ + ".part";
        return file_ = fopen(tmp_.c_str(), "w");
    }
    bool commit() {
        if (file_ == stdout) return fflush(stdout) == 0 && !ferror(stdout);
        const bool ok = !ferror(file_) && fclose(file_) == 0;
        file_ = nullptr;
        if (!ok || rename(tmp_.c_str(), path_.c_str()) != 0) return false;
        tmp_.clear();
        return true;
    }

private:
    std::string path_, tmp_;
    FILE* file_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (int rc = parse(argc, argv, o)) return rc;

    DbLogin login;
    std::string refused, note;
    if (!track_db_login(&login, &refused, &note)) return fail(refused);
    if (!note.empty()) fprintf(stderr, "boat_track: %s\n", note.c_str());
    TrackDb db;
    if (!db.connect(login)) return fail(db.error());

    // First pass: the trips and their summaries, up to the newest row now;
    // rows the tracker adds meanwhile wait for the next run.
    std::vector<TripSummary> trips;
    uint64_t max_id = 0;
    {
        TripSplitter splitter(o.rule);
        bool ok = db.scan(o.range, [&](const TrackRow& row) {
            trips_add(trips, splitter, row);
            max_id = row.id;
        });
        if (!ok) return fail(db.error());
    }
    if (db.skipped() > 0) fprintf(stderr, "boat_track: %ld rows with a position out of range left out\n", db.skipped());

    if (trips.empty()) {
        const std::string msg = no_rows(o);
        if (o.command == Command::trips) printf("%s\n", msg.c_str());
        else fprintf(stderr, "boat_track: %s%s\n", msg.c_str(), o.command == Command::picture ? ", no picture" : "");
        if (o.command != Command::export_) return 0;
    }
    if (o.command == Command::trips) {
        print_trips(trips);
        return 0;
    }
    if (!trips.empty() && o.trip > static_cast<int>(trips.size())) {
        return fail("no trip " + std::to_string(o.trip) + ": the rows selected make " + std::to_string(trips.size()) +
                    " trip" + (trips.size() == 1 ? "" : "s"));
    }

    // Second pass: the same rows again, now written or drawn.
    RowRange range = o.range;
    range.max_id = max_id;
    std::vector<TripSummary> chosen = trips;
    if (o.trip > 0 && !trips.empty()) {
        chosen = {trips[o.trip - 1]};
        range.min_id = chosen.front().first_id;
        range.max_id = chosen.front().last_id;
    }

    Output out(o.out);
    std::unique_ptr<TrackWriter> writer;
    Picture picture;
    if (o.command == Command::export_) {
        FILE* f = out.open();
        if (!f) return fail("cannot write " + o.out + ": " + strerror(errno));
        writer = make_writer(o.format, f);
        writer->begin_document();
    } else if (!picture.open(o.out, o.size, chosen)) {
        return fail(picture.error());
    }

    size_t index = 0;
    long in_trip = 0;
    bool diverged = false;
    TripSplitter splitter(o.rule);
    bool ok = db.scan(range, [&](const TrackRow& row) {
        if (diverged) return;
        if (splitter.begins_trip(row) && in_trip > 0) {
            if (in_trip != chosen[index].points || ++index >= chosen.size()) {
                diverged = true;
                return;
            }
            if (writer) writer->end_trip();
            in_trip = 0;
        }
        if (in_trip == 0 && writer) writer->begin_trip(chosen[index]);
        if (writer) writer->point(row);
        else picture.point(row, chosen[index]);
        in_trip++;
    });
    if (!ok) return fail(db.error());
    long points = 0;
    for (const TripSummary& t : chosen) points += t.points;
    char done[64];
    snprintf(done, sizeof done, " (%zu trip%s, %ld points)", chosen.size(), chosen.size() == 1 ? "" : "s", points);
    if (diverged || (!chosen.empty() && (index + 1 != chosen.size() || in_trip != chosen.back().points)))
        return fail("the table GPS changed under the export (rows deleted or altered); nothing written");

    if (writer) {
        if (!chosen.empty()) writer->end_trip();
        writer->end_document();
        if (!out.commit()) return fail("cannot write " + (o.out.empty() ? std::string("standard output") : o.out));
        if (!o.out.empty() && o.out != "-") fprintf(stderr, "boat_track: wrote %s%s\n", o.out.c_str(), done);
        return 0;
    }
    if (!picture.finish()) return fail(picture.error());
    fprintf(stderr, "boat_track: wrote %s%s\n", o.out.c_str(), done);
    return 0;
}
