// The real peers of boat_tracker for whole-program tests: gpsd fed by
// gpsfake, a MariaDB server of the test's own (on a copy of the fixture's
// data directory), the emulated NFC reader and the check-in server. Each
// start either succeeds or fails the test with the reason; every wait is
// bounded.
#pragma once

#include "process.h"

#include <mysql.h>

#include <memory>
#include <string>
#include <vector>

namespace trackertest {

constexpr int kGpsdPort = 2947;

// gpsd on 127.0.0.1, replaying a receiver log.
class Gpsd {
public:
    ~Gpsd() { stop(); }
    // `log` is a file name in the shared GPS data, or a path (test_log());
    // `cycle` seconds between sentences. The log starts when the first
    // client connects and is replayed over and over, or only `once`:
    // then gpsd ends after its last sentence.
    void start(const std::string& log, const std::string& cycle, const std::string& outdir, bool once = false,
               int port = kGpsdPort);
    void stop();
    bool running() { return proc_ && proc_->running(); }
    // Watching as a client of its own, waits until gpsd has reported the
    // fix of time `when` (as GpsRow::fix_time). False after timeout_ms.
    bool wait_for_fix(const std::string& when, int timeout_ms);

private:
    std::unique_ptr<testsupport::Process> proc_;
    int port_ = kGpsdPort;
};

// A log of this folder's data.
std::string test_log(const std::string& name);

struct GpsRow {
    long id;
    double lat, lng;
    bool has_speed, has_bearing;
    double speed, bearing;
    int fuel, active;
    std::string fix_time;  // "YYYY-MM-DD hh:mm:ss.mmm" UTC, empty when NULL
};

// A database server of the test's own, and the administrator's connection
// to it through its socket. The server listens on 127.0.0.1:3306 of the
// test's network namespace.
class Db {
public:
    Db() = default;
    ~Db();  // closes the connection and stops the server
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;
    // Starts the server in `dir` on a copy of the fixture's data directory
    // (tracker schema, its user) and connects.
    bool start(const std::string& dir);
    bool ok() const { return conn_ != nullptr; }
    const std::string& error() const { return error_; }
    bool exec(const std::string& sql);
    std::vector<GpsRow> rows(long after_id = 0);
    // The server script on this server: "stop" or "resume".
    bool control(const std::string& command);

private:
    bool connect();
    MYSQL* conn_ = nullptr;
    std::string dir_;
    std::string error_;
};

// A position of the receiver log: RMC sentence with a valid fix.
struct LogFix {
    double lat, lng, knots, track;
    bool has_track;
    std::string when;  // as GpsRow::fix_time
};
std::vector<LogFix> read_rmc_fixes(const std::string& log_path);

// Text of a file after the offset, for polling program output.
std::string tail(const std::string& path, size_t from = 0);
int count(const std::string& text, const std::string& what);

}  // namespace trackertest
