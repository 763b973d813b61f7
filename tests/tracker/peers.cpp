#include "peers.h"

#include <gps.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace trackertest {

using testsupport::Process;
using testsupport::ProcessOptions;

std::string test_log(const std::string& name) { return std::string(BOAT_SOURCE_DIR) + "/tests/tracker/data/" + name; }

void Gpsd::start(const std::string& log, const std::string& cycle, const std::string& outdir, bool once, int port) {
    port_ = port;
    ASSERT_FALSE(testsupport::port_open(port_)) << "127.0.0.1:" << port_ << " is taken by another program";
    ProcessOptions o;
    std::string path = log.find('/') == std::string::npos ? std::string(BOAT_SHARED_DIR) + "/data/gps/" + log : log;
    o.argv = {"/usr/bin/gpsfake", "-q", "-P", std::to_string(port_), "-c", cycle};
    if (once) o.argv.push_back("-1");
    o.argv.push_back(path);
    o.stdout_path = outdir + "/gpsfake.out";
    o.stderr_path = outdir + "/gpsfake.err";
    proc_ = std::make_unique<Process>(o);
    ASSERT_GT(proc_->pid(), 0) << "cannot fork gpsfake";
    bool up = testsupport::wait_until([&] { return testsupport::port_open(port_) || !proc_->running(); }, 20000, 20);
    ASSERT_TRUE(up && proc_->running()) << "gpsfake did not bring gpsd up on port " << port_ << ": "
                                        << testsupport::read_file(outdir + "/gpsfake.err");
}

void Gpsd::stop() {
    if (!proc_) return;
    // gpsfake runs gpsd as its child; its process group holds both.
    if (proc_->running()) kill(-proc_->pid(), SIGTERM);
    proc_->stop(3000);
    kill(-proc_->pid(), SIGKILL);
    proc_.reset();
    testsupport::wait_until([&] { return !testsupport::port_open(port_); }, 5000, 20);
}

bool Gpsd::wait_for_fix(const std::string& when, int timeout_ms) {
    struct gps_data_t g {};
    if (gps_open("127.0.0.1", std::to_string(port_).c_str(), &g) != 0) return false;
    gps_stream(&g, WATCH_ENABLE | WATCH_JSON, nullptr);
    std::string iso = when;
    iso[10] = 'T';
    const std::string want = "\"time\":\"" + iso + "Z\"";
    bool seen = false;
    testsupport::wait_until([&] {
        char report[4096];
        while (!seen && gps_waiting(&g, 0)) {
            report[0] = '\0';
            if (gps_read(&g, report, sizeof report) < 0) return true;
            seen = strstr(report, "\"class\":\"TPV\"") && strstr(report, want.c_str());
        }
        return seen;
    }, timeout_ms, 20);
    gps_close(&g);
    return seen;
}

Db::~Db() {
    if (conn_) mysql_close(conn_);
    if (!dir_.empty()) control("stop");
}

bool Db::start(const std::string& dir) {
    dir_ = dir;
    std::string cmd = std::string(TRACKER_DB_SCRIPT) + " start '" + dir_ + "' '" + TRACKER_DB_TEMPLATE + "' 2>'" + dir_ +
                      ".err'";
    if (std::system(cmd.c_str()) != 0) {
        error_ = "the test's database server did not start: " + testsupport::read_file(dir_ + ".err") +
                 " (its data directory is made by the fixture test tracker.mariadb.template)";
        return false;
    }
    return connect();
}

bool Db::connect() {
    if (conn_) mysql_close(conn_);
    conn_ = mysql_init(nullptr);
    std::string sock = dir_ + "/mysqld.sock";
    if (!mysql_real_connect(conn_, "localhost", "root", nullptr, "GPSTracker", 0, sock.c_str(), 0)) {
        error_ = std::string("cannot reach the test's database server (") + mysql_error(conn_) + ")";
        mysql_close(conn_);
        conn_ = nullptr;
        return false;
    }
    return true;
}

bool Db::exec(const std::string& sql) {
    if (!conn_ && !connect()) return false;
    if (mysql_query(conn_, sql.c_str()) != 0) {
        // The server may have been restarted under us: once more, anew.
        if (!connect() || mysql_query(conn_, sql.c_str()) != 0) {
            if (conn_) error_ = mysql_error(conn_);
            return false;
        }
    }
    return true;
}

std::vector<GpsRow> Db::rows(long after_id) {
    std::vector<GpsRow> out;
    if (!exec("SELECT id, Lat, Lng, Speed, Bearing, FuelVoltage, Active, FixTime FROM GPS WHERE id > " +
              std::to_string(after_id) + " ORDER BY id"))
        return out;
    MYSQL_RES* res = mysql_store_result(conn_);
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

bool Db::control(const std::string& command) {
    std::string cmd = std::string(TRACKER_DB_SCRIPT) + " " + command + " '" + dir_ + "'";
    return std::system(cmd.c_str()) == 0;
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
