// The tracker's connections to gpsd and the database, kept alive across
// restarts of either peer.
#include "checkin_client.h"
#include "settings.h"
#include "clock.h"
#include "stop.h"
#include "telemetry.h"

#include <errmsg.h>
#include <mysqld_error.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// Every database call gives up after this long, so that a server held by
// another client's lock (a backup, an ALTER TABLE) or gone silent cannot
// hold the loop and with it the session's expiry. A healthy insert on the
// board takes milliseconds.
constexpr unsigned int kDbTimeoutS = 2;
// A row that failed even on a fresh connection leaves the server alone
// for this long: each failed row may cost the loop twice the time-out.
constexpr int kDbRestS = 10;

bool gps_open_ok = false;
// Set when a read failed: the connection is reopened on the next sample.
bool gps_broken = false;
// The reopen failure is reported once until gpsd answers again.
bool gps_down_reported = false;
// The JSON text of the last report read.
char report[4096];

// Database state across rows.
time_t db_rest_until = 0;          // monotonic seconds
char db_last_error[256] = "";

time_t monotonic_s() { return static_cast<time_t>(terminal_monotonic_ns() / 1000000000); }

int gps_reopen() {
    if (gps_open_ok) gps_close(&tracker::gps_data);
    gps_open_ok = false;
    return gps_connect();
}

int real_gps_fetch(struct gps_data_t* g, bool* tpv) {
    *tpv = false;
    if (gps_broken) {
        int rc = gps_reopen();
        if (rc == -1) {
            if (!gps_down_reported) printf("code: %d, reason: %s\n", rc, gps_errstr(rc));
            gps_down_reported = true;
            return 0;
        }
        gps_broken = false;
        gps_down_reported = false;
    }
    if (!gps_waiting(g, 0)) return 0;
    report[0] = '\0';
    int rc = gps_read(g, report, sizeof report);
    if (rc == -1) {
        gps_broken = true;
        return rc;
    }
    *tpv = strstr(report, "\"class\":\"TPV\"") != nullptr;
    // gpsd leaves "status" out of a report with a plain fix, and this libgps
    // then reads the status as STATUS_NO_FIX: a fix would never count.
    if (*tpv && !strstr(report, "\"status\":") && g->fix.mode >= MODE_2D) g->fix.status = STATUS_FIX;
    return rc;
}

// Errors raised by the client library itself (time-outs included): the
// statement got no answer from the server, so the connection is not worth
// keeping.
bool connection_failed(unsigned int err) { return err >= CR_MIN_ERROR && err <= CR_MAX_ERROR; }

// 0 stored, else the error. A duplicate row key means the statement was
// stored before: by an attempt whose answer timed out.
unsigned int send_row(const char* statement) {
    if (mysql_query(connection, statement) == 0) return 0;
    unsigned int err = mysql_errno(connection);
    if (err == ER_DUP_ENTRY) return 0;
    snprintf(db_last_error, sizeof db_last_error, "%s", mysql_error(connection));
    return err;
}

void real_db_store(const char* statement) {
    if (monotonic_s() < db_rest_until) {
        fprintf(stderr, "Database error: %s\r\n", db_last_error);
        return;
    }
    unsigned int err = connection ? send_row(statement) : CR_CONNECTION_ERROR;
    if (err == 0) return;
    if (!connection || connection_failed(err)) {
        // Once more on a fresh connection, with the same row key. The
        // attempt that failed may have waited its whole time-out.
        terminal_alive();
        if (connection) mysql_close(connection);
        // The statement and the connection may each have run to their
        // time-outs: the paid time is watched between such waits, so that
        // a frozen server cannot hold a boat past its end, and once a stop
        // signal came no new wait begins.
        paid_time_watch();
        if (terminal_stop) return;
        const bool connected = db_connect();
        paid_time_watch();
        if (connected) {
            err = send_row(statement);
            if (err == 0) return;
        } else {
            snprintf(db_last_error, sizeof db_last_error, "%s", connection ? mysql_error(connection) : "out of memory");
        }
        db_rest_until = monotonic_s() + kDbRestS;
    }
    fprintf(stderr, "Database error: %s\r\n", db_last_error);
}

}  // namespace

TelemetryIo Telemetry = {real_gps_fetch, real_db_store};

int gps_connect() {
    const TerminalSettings& s = terminal_settings;
    int rc = gps_open(s.gpsd_host.data(), s.gpsd_port.data(), &tracker::gps_data);
    if (rc == -1) return rc;
    gps_open_ok = true;
    gps_stream(&tracker::gps_data, WATCH_ENABLE | WATCH_JSON, nullptr);
    return rc;
}

bool db_connect() {
    connection = mysql_init(nullptr);
    if (!connection) return false;
    mysql_options(connection, MYSQL_OPT_CONNECT_TIMEOUT, &kDbTimeoutS);
    mysql_options(connection, MYSQL_OPT_READ_TIMEOUT, &kDbTimeoutS);
    mysql_options(connection, MYSQL_OPT_WRITE_TIMEOUT, &kDbTimeoutS);
    const TerminalSettings& s = terminal_settings;
    return mysql_real_connect(connection, s.db_host.data(), s.db_user.data(), s.db_password.data(), s.db_name.data(), 0,
                              nullptr, 0) != nullptr;
}
