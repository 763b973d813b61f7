// Reading the table GPS with the MariaDB client library, row by row.
#include "track_db.h"

#include "utc_time.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace track {

bool track_db_login(DbLogin* login, std::string* error, std::string* warning, const char* path) {
    TerminalSettings settings {};
    SettingsNote refused {}, note {};
    if (read_terminal_settings(path, &settings, &refused, &note) != 0) {
        *error = refused.data();
        return false;
    }
    *warning = note.data();
    *login = {settings.db_host.data(), settings.db_user.data(), settings.db_password.data(), settings.db_name.data()};
    return true;
}

namespace {
// A server that does not answer is an error soon; a long export only has
// to keep the rows coming.
constexpr unsigned int kConnectTimeoutS = 5;
constexpr unsigned int kReadTimeoutS = 60;

bool number(const char* text, double* v) {
    if (!text) return false;
    char* end = nullptr;
    *v = strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(*v);
}
}  // namespace

TrackDb::~TrackDb() {
    if (conn_) mysql_close(conn_);
}

bool TrackDb::fail(const char* what) {
    error_ = std::string(what) + ": " + (conn_ ? mysql_error(conn_) : "out of memory");
    return false;
}

bool TrackDb::connect(const DbLogin& login) {
    conn_ = mysql_init(nullptr);
    if (!conn_) return fail("cannot reach the database");
    mysql_options(conn_, MYSQL_OPT_CONNECT_TIMEOUT, &kConnectTimeoutS);
    mysql_options(conn_, MYSQL_OPT_READ_TIMEOUT, &kReadTimeoutS);
    if (!mysql_real_connect(conn_, login.host.c_str(), login.user.c_str(), login.password.c_str(),
                            login.database.c_str(), 0, nullptr, 0))
        return fail(("cannot reach the database " + login.database + " on " + login.host).c_str());
    // Logged is a TIMESTAMP, which the server hands out in the session's
    // zone; FixTime is stored in UTC.
    if (mysql_query(conn_, "SET time_zone = '+00:00'") != 0) return fail("cannot set the session's time zone");
    return true;
}

bool TrackDb::scan(const RowRange& range, const std::function<void(const TrackRow&)>& each) {
    char since[32], until[32];
    format_db_time(since, sizeof since, range.since_ms);
    format_db_time(until, sizeof until, range.until_ms);
    char sql[512];
    snprintf(sql, sizeof sql,
             "SELECT id, Lat, Lng, Speed, Bearing, FuelVoltage, Active, COALESCE(FixTime, Logged) AS T FROM GPS "
             "WHERE id BETWEEN %" PRIu64 " AND %" PRIu64 "%s%s%s%s%s%s ORDER BY id",
             range.min_id, range.max_id, range.has_since ? " AND COALESCE(FixTime, Logged) >= '" : "",
             range.has_since ? since : "", range.has_since ? "'" : "",
             range.has_until ? " AND COALESCE(FixTime, Logged) < '" : "", range.has_until ? until : "",
             range.has_until ? "'" : "");
    skipped_ = 0;
    if (mysql_query(conn_, sql) != 0) return fail("cannot read the table GPS");
    // Rows come off the connection as they are used, not all at once.
    MYSQL_RES* res = mysql_use_result(conn_);
    if (!res) return fail("cannot read the table GPS");
    TrackRow row;
    while (MYSQL_ROW r = mysql_fetch_row(res)) {
        double fuel = 0;
        row.id = strtoull(r[0], nullptr, 10);
        row.has_speed = number(r[3], &row.speed);
        row.has_course = number(r[4], &row.course);
        row.paid = r[6] && atoi(r[6]) != 0;
        row.fuel = number(r[5], &fuel) ? static_cast<int>(fuel) : 0;
        if (!number(r[1], &row.lat) || !number(r[2], &row.lng) || std::fabs(row.lat) > 90 ||
            std::fabs(row.lng) > 180 || !r[7] || !parse_db_time(r[7], &row.time_ms)) {
            skipped_++;
            continue;
        }
        each(row);
    }
    const bool broken = mysql_errno(conn_) != 0;
    mysql_free_result(res);
    if (broken) return fail("reading the table GPS broke off");
    return true;
}

}  // namespace track
