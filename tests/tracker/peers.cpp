#include "peers.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace trackertest {

std::string test_log(const std::string& name) { return testsupport::source_path("tests/tracker/data/" + name); }

std::vector<GpsRow> rows(testsupport::MariaDb& db, long after_id) {
    std::vector<GpsRow> out;
    if (!db.exec("SELECT id, Lat, Lng, Speed, Bearing, FuelVoltage, Active, FixTime FROM GPS WHERE id > " +
                 std::to_string(after_id) + " ORDER BY id"))
        return out;
    MYSQL_RES* res = mysql_store_result(db.connection());
    if (!res) return out;
    while (MYSQL_ROW r = mysql_fetch_row(res)) {
        GpsRow row {};
        row.id = atol(r[0]);
        row.lat = atof(r[1]);
        row.lng = atof(r[2]);
        row.has_speed = r[3] != nullptr;
        row.speed = r[3] ? atof(r[3]) : NAN;
        row.has_bearing = r[4] != nullptr;
        row.bearing = r[4] ? atof(r[4]) : NAN;
        row.fuel = atoi(r[5]);
        row.active = atoi(r[6]);
        row.fix_time = r[7] ? r[7] : "";
        out.push_back(row);
    }
    mysql_free_result(res);
    return out;
}

namespace {

// NMEA "ddmm.mmmm" with its hemisphere.
double nmea_degrees(const std::string& v, const std::string& hemi, int deg_digits) {
    double deg = std::stod(v.substr(0, deg_digits));
    double min = std::stod(v.substr(deg_digits));
    double d = deg + min / 60.0;
    return (hemi == "S" || hemi == "W") ? -d : d;
}

}  // namespace

std::vector<LogFix> read_rmc_fixes(const std::string& log_path) {
    std::vector<LogFix> out;
    std::ifstream in(log_path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 7 || line.compare(3, 3, "RMC") != 0) continue;
        std::vector<std::string> f;
        std::stringstream ss(line.substr(0, line.find('*')));
        std::string field;
        while (std::getline(ss, field, ',')) f.push_back(field);
        if (f.size() < 9 || f[2] != "A" || f[3].empty() || f[5].empty()) continue;
        LogFix fix {};
        fix.lat = nmea_degrees(f[3], f[4], 2);
        fix.lng = nmea_degrees(f[5], f[6], 3);
        fix.knots = f[7].empty() ? 0.0 : std::stod(f[7]);
        fix.has_track = !f[8].empty();
        fix.track = fix.has_track ? std::stod(f[8]) : NAN;
        // hhmmss.sss and ddmmyy (20yy: the logs are of this century).
        if (f[1].size() >= 6 && f.size() > 9 && f[9].size() == 6) {
            char when[32];
            double secs = std::stod(f[1].substr(4));
            snprintf(when, sizeof when, "20%s-%s-%s %s:%s:%06.3f", f[9].substr(4, 2).c_str(), f[9].substr(2, 2).c_str(),
                     f[9].substr(0, 2).c_str(), f[1].substr(0, 2).c_str(), f[1].substr(2, 2).c_str(), secs);
            fix.when = when;
        }
        out.push_back(fix);
    }
    return out;
}

std::string tail(const std::string& path, size_t from) {
    std::string all = testsupport::read_file(path);
    return from < all.size() ? all.substr(from) : std::string();
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) n++;
    return n;
}

}  // namespace trackertest
