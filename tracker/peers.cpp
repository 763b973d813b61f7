// The tracker's connections to gpsd and the database, kept alive across
// restarts of either peer.
#include "telemetry.h"

#include <errmsg.h>

#include <cstdio>
#include <cstring>

#ifndef BOAT_DB_HOST
#error "BOAT_DB_HOST, BOAT_DB_USER, BOAT_DB_PASSWORD and BOAT_DB_NAME come from the build"
#endif

namespace {

bool gps_open_ok = false;
// Set when a read failed: the connection is reopened on the next sample.
bool gps_broken = false;
// The JSON text of the last report read.
char report[4096];

int gps_reopen() {
    if (gps_open_ok) gps_close(&tracker::gps_data);
    gps_open_ok = false;
    return gps_connect();
}

int real_gps_fetch(struct gps_data_t* g) {
    if (gps_broken) {
        int rc = gps_reopen();
        if (rc == -1) {
            printf("code: %d, reason: %s\n", rc, gps_errstr(rc));
            return 0;
        }
        gps_broken = false;
    }
    if (!gps_waiting(g, 2000000)) return 0;
    report[0] = '\0';
    int rc = gps_read(g, report, sizeof report);
    if (rc == -1) {
        gps_broken = true;
        return rc;
    }
    // gpsd leaves "status" out of a report with a plain fix, and this libgps
    // then reads the status as STATUS_NO_FIX: a fix would never count.
    if (strstr(report, "\"class\":\"TPV\"") && !strstr(report, "\"status\":") && g->fix.mode >= MODE_2D)
        g->fix.status = STATUS_FIX;
    return rc;
}

// Errors raised by the client library itself: the statement never got an
// answer from the server, so the connection is not worth keeping.
bool connection_failed(unsigned int err) { return err >= CR_MIN_ERROR && err <= CR_MAX_ERROR; }

void real_db_store(const char* statement) {
    if (connection && mysql_query(connection, statement) == 0) return;
    if (!connection || connection_failed(mysql_errno(connection))) {
        if (connection) mysql_close(connection);
        if (db_connect() && mysql_query(connection, statement) == 0) return;
    }
    fprintf(stderr, "Database error: %s\r\n", connection ? mysql_error(connection) : "out of memory");
}

}  // namespace

TelemetryIo Telemetry = {real_gps_fetch, real_db_store};

int gps_connect() {
    int rc = gps_open("localhost", "2947", &tracker::gps_data);
    if (rc == -1) return rc;
    gps_open_ok = true;
    gps_stream(&tracker::gps_data, WATCH_ENABLE | WATCH_JSON, nullptr);
    return rc;
}

bool db_connect() {
    connection = mysql_init(nullptr);
    if (!connection) return false;
    return mysql_real_connect(connection, BOAT_DB_HOST, BOAT_DB_USER, BOAT_DB_PASSWORD, BOAT_DB_NAME, 0, nullptr, 0) !=
           nullptr;
}
