// boat_track as built, against a MariaDB server of the test's own (in its
// own network namespace, as the tracker's tests), its exports read back by
// real map tools (gpsbabel, GDAL's ogrinfo).
#include "peers.h"
#include "private_mounts.h"
#include "process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using testsupport::Process;
using testsupport::ProcessOptions;
using testsupport::TempDir;
using Db = testsupport::MariaDb;

struct Outcome {
    int status = -1;
    std::string out, err;
};

struct Pos {
    double lng, lat;
};

// The rows of the scenario, in the order the tracker would have written
// them: moored, unpaid (one without speed or course); a paid trip, one of
// its fixes without a time (Logged stands in); one row alone after a gap;
// a paid trip across 180 degrees.
struct SqlRow {
    double lat, lng;
    const char* speed;    // SQL text: a number or NULL
    const char* bearing;
    int fuel, active;
    const char* fix_time;  // NULL or a quoted time
    const char* logged;
};
const SqlRow kRows[] = {
    {54.374200, 10.158400, "0.1", "NULL", 700, 0, "'2026-06-01 10:00:00.000'", "2026-06-01 10:00:01"},
    {54.374210, 10.158410, "NULL", "NULL", 700, 0, "'2026-06-01 10:00:10.000'", "2026-06-01 10:00:11"},
    {54.374220, 10.158420, "0.2", "12.5", 699, 0, "'2026-06-01 10:00:20.000'", "2026-06-01 10:00:21"},
    {54.374300, 10.158600, "1.5", "110", 699, 1, "'2026-06-01 10:00:30.000'", "2026-06-01 10:00:31"},
    {54.374800, 10.160100, "4.0", "75", 698, 1, "'2026-06-01 10:00:40.000'", "2026-06-01 10:00:41"},
    {54.375700, 10.163200, "7.5", "70", 697, 1, "NULL", "2026-06-01 10:00:50"},
    {54.376900, 10.167400, "9.2", "68", 696, 1, "'2026-06-01 10:01:00.250'", "2026-06-01 10:01:01"},
    {54.378000, 10.171900, "8.8", "71", 695, 1, "'2026-06-01 10:01:10.000'", "2026-06-01 10:01:11"},
    {54.378100, 10.172000, "0.0", "NULL", 690, 0, "'2026-06-01 10:20:00.000'", "2026-06-01 10:20:01"},
    {-16.500000, 179.999000, "5.0", "90", 600, 1, "'2026-06-01 12:00:00.000'", "2026-06-01 12:00:01"},
    {-16.500100, -179.999500, "5.2", "91", 600, 1, "'2026-06-01 12:00:10.000'", "2026-06-01 12:00:11"},
    {-16.500200, -179.998000, "5.1", "92", 599, 1, "'2026-06-01 12:00:20.000'", "2026-06-01 12:00:21"},
};
constexpr size_t kRowCount = sizeof kRows / sizeof kRows[0];
// Rows per trip by the default rule.
const std::vector<long> kTripRows = {3, 5, 1, 3};

class TrackProgram : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a network and mounts of its own";
        std::string why;
        ASSERT_TRUE(testsupport::enter_private_host(&why)) << why;
        ASSERT_TRUE(db.start(dir.file("db"))) << db.error();
    }

    void insert_rows() {
        // Logged is a TIMESTAMP, handed out in the session's zone: the rows
        // go in as UTC, and boat_track's sessions would start 5.5 hours off.
        ASSERT_TRUE(db.exec("SET GLOBAL time_zone = '+05:30'")) << db.error();
        ASSERT_TRUE(db.exec("SET time_zone = '+00:00'")) << db.error();
        for (const SqlRow& r : kRows) {
            char sql[512];
            snprintf(sql, sizeof sql,
                     "INSERT INTO GPS (Lat, Lng, Speed, Bearing, FuelVoltage, Active, FixTime, Logged) VALUES "
                     "(%.6f, %.6f, %s, %s, %d, %d, %s, '%s')",
                     r.lat, r.lng, r.speed, r.bearing, r.fuel, r.active, r.fix_time, r.logged);
            ASSERT_TRUE(db.exec(sql)) << db.error();
        }
    }

    Outcome run(const std::string& program, const std::vector<std::string>& args, bool ours = true) {
        static int n = 0;
        const std::string out = dir.file("out" + std::to_string(n)), err = dir.file("err" + std::to_string(n));
        n++;
        ProcessOptions o;
        o.argv = {ours ? testsupport::bin(program) : program};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.stdout_path = out;
        o.stderr_path = err;
        // The host's TZ must not shift any time.
        o.env = {"TZ=Pacific/Auckland"};
        Process p(o);
        Outcome r;
        if (!p.wait_exit(120000)) {
            p.stop();
            r.err = program + " did not end in time";
            return r;
        }
        r.status = p.exit_status();
        r.out = testsupport::read_file(out);
        r.err = testsupport::read_file(err);
        return r;
    }

    Outcome track(const std::vector<std::string>& args) { return run("track/boat_track", args); }

    TempDir dir;
    Db db;
};

// Coordinate pairs "x y" of the WKT that ogrinfo prints for each feature.
std::vector<std::vector<Pos>> ogr_geometries(const std::string& text, std::vector<std::string>* types = nullptr) {
    std::vector<std::vector<Pos>> out;
    static const std::regex geometry(R"(^\s*(POINT|LINESTRING|MULTILINESTRING) \((.*)\)\s*$)");
    static const std::regex pair(R"((-?[0-9.]+(?:e-?[0-9]+)?) (-?[0-9.]+(?:e-?[0-9]+)?))");
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (!std::regex_match(line, m, geometry)) continue;
        if (types) types->push_back(m[1]);
        std::vector<Pos> points;
        const std::string coords = m[2];
        for (auto it = std::sregex_iterator(coords.begin(), coords.end(), pair); it != std::sregex_iterator(); ++it)
            points.push_back({std::stod((*it)[1]), std::stod((*it)[2])});
        out.push_back(points);
    }
    return out;
}

void expect_at(const Pos& p, const SqlRow& row, const char* what) {
    EXPECT_NEAR(p.lat, row.lat, 1e-6) << what;
    EXPECT_NEAR(p.lng, row.lng, 1e-6) << what;
}

TEST_F(TrackProgram, ExportsReadBackByMapToolsAsTheRowsWere) {
    ASSERT_NO_FATAL_FAILURE(insert_rows());

    // The listing: four trips, paid as the rows say, the one across 180
    // degrees a few hundred metres long.
    Outcome trips = track({"trips"});
    ASSERT_EQ(trips.status, 0) << trips.err;
    std::vector<std::string> lines;
    {
        std::istringstream in(trips.out);
        for (std::string l; std::getline(in, l);) lines.push_back(l);
    }
    ASSERT_EQ(lines.size(), 6u) << trips.out;
    static const std::regex trip_line(
        R"(^\s*(\d) +(\S+Z) +(\S+Z) +\S+ +([0-9.]+) +([0-9.]+) +(\S+) +(\S+) +(\d+)-(\d+) +(yes|no) +(\d+)$)");
    const char* paid[] = {"no", "yes", "no", "yes"};
    const char* starts[] = {"2026-06-01T10:00:00Z", "2026-06-01T10:00:30Z", "2026-06-01T10:20:00Z",
                            "2026-06-01T12:00:00Z"};
    for (int i = 0; i < 4; i++) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i + 1], m, trip_line)) << lines[i + 1];
        EXPECT_EQ(m[1], std::to_string(i + 1));
        EXPECT_EQ(m[2], starts[i]);
        EXPECT_EQ(m[10], paid[i]);
        EXPECT_EQ(std::stol(m[11]), kTripRows[i]);
    }
    std::smatch across;
    ASSERT_TRUE(std::regex_match(lines[4], across, trip_line));
    EXPECT_GT(std::stod(across[4]), 0.1);
    EXPECT_LT(std::stod(across[4]), 0.5) << "the way across 180 degrees is the short one";
    EXPECT_EQ(lines[5].rfind("4 trips, 2 paid, ", 0), 0u) << lines[5];

    // GPX, read by gpsbabel and by ogrinfo: every row a point, in order.
    const std::string gpx = dir.file("trips.gpx");
    Outcome exported = track({"export", "--format", "gpx", "-o", gpx});
    ASSERT_EQ(exported.status, 0) << exported.err;
    Outcome babel = run("/usr/bin/gpsbabel", {"-t", "-i", "gpx", "-f", gpx, "-o", "unicsv", "-F", dir.file("babel.csv")},
                    false);
    ASSERT_EQ(babel.status, 0) << babel.err;
    {
        std::ifstream in(dir.file("babel.csv"));
        std::string header, line;
        std::getline(in, header);
        std::vector<std::string> cols;
        std::stringstream hs(header);
        for (std::string c; std::getline(hs, c, ',');) cols.push_back(c);
        const size_t lat_col = std::find(cols.begin(), cols.end(), "Latitude") - cols.begin();
        const size_t lng_col = std::find(cols.begin(), cols.end(), "Longitude") - cols.begin();
        ASSERT_LT(std::max(lat_col, lng_col), cols.size()) << header;
        std::vector<Pos> points;
        while (std::getline(in, line)) {
            std::vector<std::string> f;
            std::stringstream ls(line);
            for (std::string c; std::getline(ls, c, ',');) f.push_back(c);
            ASSERT_GT(f.size(), std::max(lat_col, lng_col)) << line;
            points.push_back({std::stod(f[lng_col]), std::stod(f[lat_col])});
        }
        ASSERT_EQ(points.size(), kRowCount);
        expect_at(points.front(), kRows[0], "gpsbabel, first point");
        expect_at(points.back(), kRows[kRowCount - 1], "gpsbabel, last point");
    }
    Outcome ogr_gpx = run("/usr/bin/ogrinfo", {"-ro", "-q", gpx, "track_points"}, false);
    ASSERT_EQ(ogr_gpx.status, 0) << ogr_gpx.err;
    {
        auto points = ogr_geometries(ogr_gpx.out);
        ASSERT_EQ(points.size(), kRowCount) << ogr_gpx.out.substr(0, 2000);
        expect_at(points.front().at(0), kRows[0], "ogrinfo GPX, first point");
        expect_at(points.back().at(0), kRows[kRowCount - 1], "ogrinfo GPX, last point");
        // The row without a fix time carries the time the server logged it.
        EXPECT_NE(ogr_gpx.out.find("time (DateTime) = 2026/06/01 10:00:50"), std::string::npos) << ogr_gpx.out;
    }
    Outcome ogr_tracks = run("/usr/bin/ogrinfo", {"-ro", "-q", "-sql", "SELECT COUNT(*) AS n FROM tracks", gpx}, false);
    EXPECT_NE(ogr_tracks.out.find("n (Integer) = 4"), std::string::npos) << ogr_tracks.out << ogr_tracks.err;

    // GeoJSON, read by ogrinfo: one feature per trip, lines of the trips'
    // rows; the trip across 180 degrees cut there, no segment spanning the
    // world; the trip of one row a point.
    const std::string geojson = dir.file("trips.geojson");
    exported = track({"export", "--format", "geojson", "-o", geojson});
    ASSERT_EQ(exported.status, 0) << exported.err;
    Outcome ogr_json = run("/usr/bin/ogrinfo", {"-ro", "-al", "-q", geojson}, false);
    ASSERT_EQ(ogr_json.status, 0) << ogr_json.err;
    {
        std::vector<std::string> types;
        auto features = ogr_geometries(ogr_json.out, &types);
        ASSERT_EQ(features.size(), 4u) << ogr_json.out;
        EXPECT_EQ(types, (std::vector<std::string> {"LINESTRING", "LINESTRING", "POINT", "MULTILINESTRING"}));
        for (size_t i = 0; i < 3; i++) EXPECT_EQ(static_cast<long>(features[i].size()), kTripRows[i]) << "trip " << i + 1;
        // Two more points where the cut meets 180 degrees.
        EXPECT_EQ(static_cast<long>(features[3].size()), kTripRows[3] + 2);
        expect_at(features.front().front(), kRows[0], "GeoJSON, first point");
        expect_at(features.back().back(), kRows[kRowCount - 1], "GeoJSON, last point");
        const auto& cut = features[3];
        for (size_t i = 1; i < cut.size(); i++) {
            if (std::fabs(cut[i].lng) == 180 && std::fabs(cut[i - 1].lng) == 180) continue;  // between the parts
            EXPECT_LT(std::fabs(cut[i].lng - cut[i - 1].lng), 1.0) << "segment " << i << " spans the world";
        }
        EXPECT_NE(ogr_json.out.find("paid (Integer(Boolean)) = 1"), std::string::npos) << ogr_json.out;
    }

    // CSV, and one trip alone.
    Outcome csv = track({"export", "--format", "csv", "--trip", "2"});
    ASSERT_EQ(csv.status, 0) << csv.err;
    EXPECT_EQ(csv.out.rfind("trip,time,latitude,longitude,speed_kn,course_deg,fuel,paid,row_id\n", 0), 0u) << csv.out;
    EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 1 + kTripRows[1]) << csv.out;
    EXPECT_NE(csv.out.find("\n2,2026-06-01T10:00:50.000Z,54.3757000,10.1632000,14.58,70.0,697,1,"), std::string::npos)
        << csv.out;

    // A range by time: the trips of the rows from 10:20 on.
    Outcome later = track({"trips", "--since", "2026-06-01T10:20:00Z", "--until", "2026-06-02"});
    ASSERT_EQ(later.status, 0) << later.err;
    EXPECT_NE(later.out.find("2 trips, 1 paid"), std::string::npos) << later.out;

    Outcome none = track({"export", "--format", "gpx", "--trip", "5", "-o", dir.file("none.gpx")});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "boat_track: no trip 5: the rows selected make 4 trips\n");
    EXPECT_NE(access(dir.file("none.gpx").c_str(), F_OK), 0) << "a failed export left a file";
}

// PNG header and SVG root: made, at the asked size. What is drawn is for
// people to judge.
TEST_F(TrackProgram, PicturesAreMadeAtTheAskedSize) {
    ASSERT_NO_FATAL_FAILURE(insert_rows());
    const std::string png = dir.file("trip.png"), svg = dir.file("all.svg");
    Outcome r = track({"picture", "--trip", "4", "--size", "640x480", "-o", png});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string data = testsupport::read_file(png);
    ASSERT_GT(data.size(), 24u + 1000u) << "too small for a picture";
    EXPECT_EQ(data.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(data.substr(12, 4), "IHDR");
    auto be32 = [&](size_t at) {
        return (uint32_t(uint8_t(data[at])) << 24) | (uint32_t(uint8_t(data[at + 1])) << 16) |
               (uint32_t(uint8_t(data[at + 2])) << 8) | uint32_t(uint8_t(data[at + 3]));
    };
    EXPECT_EQ(be32(16), 640u);
    EXPECT_EQ(be32(20), 480u);

    r = track({"picture", "--size", "900x700", "-o", svg});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string text = testsupport::read_file(svg);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, std::regex(R"(<svg[^>]*\bwidth="([0-9.]+)(px)?"[^>]*\bheight="([0-9.]+)(px)?")")))
        << text.substr(0, 400);
    EXPECT_EQ(m[1], "900");
    EXPECT_EQ(m[3], "700");
    EXPECT_NE(text.find("<path"), std::string::npos) << "nothing drawn";
}

// No rows is no fault; no database is. The login is the settings file's
// over the build's, and a file the terminals refuse stops boat_track too.
TEST_F(TrackProgram, EmptyTableIsToldLoginComesFromTheSettingsFileUnreachableDatabaseFails) {
    Outcome r = track({"trips"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "no rows in the table GPS\n");
    r = track({"export", "--format", "geojson", "-o", dir.file("empty.geojson")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "boat_track: no rows in the table GPS\nboat_track: wrote " + dir.file("empty.geojson") +
                         " (0 trips, 0 points)\n");
    Outcome ogr = run("/usr/bin/ogrinfo", {"-ro", "-al", "-so", dir.file("empty.geojson")}, false);
    EXPECT_EQ(ogr.status, 0) << ogr.err;
    EXPECT_NE(ogr.out.find("Feature Count: 0"), std::string::npos) << ogr.out;
    r = track({"picture", "-o", dir.file("empty.png")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "boat_track: no rows in the table GPS, no picture\n");

    // The build's user is gone; the file's user, password and database
    // hold one row.
    for (const char* sql : {"CREATE DATABASE Harbour", "CREATE TABLE Harbour.GPS LIKE GPSTracker.GPS",
                            "INSERT INTO Harbour.GPS (Lat, Lng, FuelVoltage, Active, FixTime) VALUES "
                            "(54.3742, 10.1584, 650, 1, '2026-06-02 08:00:00')",
                            "CREATE USER 'harbourmaster'@'127.0.0.1' IDENTIFIED BY 'quay-own-secret'",
                            "GRANT SELECT ON Harbour.GPS TO 'harbourmaster'@'127.0.0.1'",
                            "DROP USER 'skipper'@'127.0.0.1'"})
        ASSERT_TRUE(db.exec(sql)) << sql << ": " << db.error();
    const std::string login = "DB_USER=harbourmaster\nDB_PASSWORD=quay-own-secret\nDB_NAME=Harbour\n";
    {
        testsupport::EtcFile settings("/etc/boat/terminal.conf", "# the harbour's own\n" + login);
        r = track({"trips"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "") << "no warning for a file only root may read";
        EXPECT_NE(r.out.find("\n   1  2026-06-02T08:00:00Z "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\n1 trip, 1 paid, "), std::string::npos) << r.out;
    }
    {
        testsupport::EtcFile settings("/etc/boat/terminal.conf", login + "DB_PORT=3307\n");
        r = track({"trips"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "boat_track: /etc/boat/terminal.conf:4: DB_PORT: unknown key\n");
    }
    {
        testsupport::EtcFile settings("/etc/boat/terminal.conf", "DB_HOST=127.0.0.9\n" + login);
        r = track({"trips"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("boat_track: cannot reach the database Harbour on 127.0.0.9: ", 0), 0u) << r.err;
    }

    ASSERT_TRUE(db.control("stop"));
    r = track({"trips"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("boat_track: cannot reach the database GPSTracker on 127.0.0.1: ", 0), 0u) << r.err;
}

}  // namespace
