// Short statements in autocommit: reads of GPS take no locks the tracker
// could wait for, and the mark's update touches only its own table.
#include "rows.h"

#include <sys/random.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace uplink {

namespace {

// A server that does not answer is given up soon; the loop tries again.
constexpr unsigned int kConnectTimeoutS = 5;
constexpr unsigned int kReadTimeoutS = 10;
constexpr unsigned int kWriteTimeoutS = 10;

bool to_u64(const char* text, uint64_t* v) {
    if (!text || *text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long n = strtoull(text, &end, 10);
    *v = n;
    return errno == 0 && *end == '\0';
}

bool to_i64(const char* text, int64_t* v) {
    if (!text) return false;
    char* end = nullptr;
    errno = 0;
    long long n = strtoll(text, &end, 10);
    *v = n;
    return errno == 0 && end != text && *end == '\0';
}

bool to_double(const char* text, double* v) {
    if (!text) return false;
    char* end = nullptr;
    *v = strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(*v);
}

bool draw_identity(Identity* out) {
    uint8_t raw[16];
    if (getrandom(raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw)) return false;
    for (size_t i = 0; i < sizeof raw; i++) snprintf(out->data() + 2 * i, 3, "%02x", raw[i]);
    return true;
}

bool hex_identity(const char* text) {
    if (!text || strlen(text) != 32) return false;
    for (const char* p = text; *p; p++)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f'))) return false;
    return true;
}

}  // namespace

size_t settled_rows(uint64_t mark, const GpsRow* rows, size_t count) {
    uint64_t prev = mark;
    for (size_t i = 0; i < count; i++) {
        if (rows[i].id != prev + 1 && rows[i].age_s < kGapGraceS) return i;
        prev = rows[i].id;
    }
    return count;
}

BoatRows::~BoatRows() { disconnect(); }

void BoatRows::disconnect() {
    if (conn_) mysql_close(conn_);
    conn_ = nullptr;
}

bool BoatRows::fail(const char* what) {
    snprintf(error_.data(), error_.size(), "%s: %s", what, conn_ ? mysql_error(conn_) : "out of memory");
    disconnect();
    return false;
}

bool BoatRows::query(const char* sql) { return mysql_query(conn_, sql) == 0; }

bool BoatRows::connect(const TerminalSettings& s) {
    disconnect();
    conn_ = mysql_init(nullptr);
    if (!conn_) return fail("cannot reach the database");
    mysql_options(conn_, MYSQL_OPT_CONNECT_TIMEOUT, &kConnectTimeoutS);
    mysql_options(conn_, MYSQL_OPT_READ_TIMEOUT, &kReadTimeoutS);
    mysql_options(conn_, MYSQL_OPT_WRITE_TIMEOUT, &kWriteTimeoutS);
    if (!mysql_real_connect(conn_, s.db_host.data(), s.uplink_db_user.data(), s.uplink_db_password.data(),
                            s.db_name.data(), 0, nullptr, 0))
        return fail("cannot reach the database");
    // Logged is a TIMESTAMP, handed out in the session's zone; FixTime is
    // stored in UTC.
    if (!query("SET time_zone = '+00:00'")) return fail("cannot set the session's time zone");
    return load_mark();
}

bool BoatRows::load_mark() {
    Identity fresh {};
    if (!draw_identity(&fresh)) {
        snprintf(error_.data(), error_.size(), "cannot draw the database's identity: %s", strerror(errno));
        disconnect();
        return false;
    }
    // Only the first drawing counts: a second uplink, or this one after a
    // crash, keeps it.
    snprintf(sql_.data(), sql_.size(), "INSERT IGNORE INTO UplinkMark (One, Identity, Mark) VALUES (1, '%s', 0)",
             fresh.data());
    if (!query(sql_.data())) return fail("cannot keep the mark (table UplinkMark)");
    if (!query("SELECT Identity, Mark FROM UplinkMark WHERE One = 1")) return fail("cannot read the mark");
    MYSQL_RES* res = mysql_store_result(conn_);
    if (!res) return fail("cannot read the mark");
    MYSQL_ROW r = mysql_fetch_row(res);
    const bool ok = r && hex_identity(r[0]) && to_u64(r[1], &mark_);
    if (ok) snprintf(identity_.data(), identity_.size(), "%s", r[0]);
    mysql_free_result(res);
    if (!ok) {
        snprintf(error_.data(), error_.size(), "the table UplinkMark holds no valid identity and mark");
        disconnect();
        return false;
    }
    // Rows below the mark that are gone mean a table made anew under the
    // old mark: its rows are another database's, under a new identity.
    uint64_t top = 0;
    if (!newest(&top)) return false;
    if (top >= mark_) return true;
    snprintf(sql_.data(), sql_.size(), "UPDATE UplinkMark SET Identity = '%s', Mark = 0 WHERE One = 1", fresh.data());
    if (!query(sql_.data())) return fail("cannot renew the database's identity");
    identity_ = fresh;
    mark_ = 0;
    return true;
}

bool BoatRows::newest(uint64_t* id) {
    if (!query("SELECT COALESCE(MAX(id), 0) FROM GPS")) return fail("cannot read the table GPS");
    MYSQL_RES* res = mysql_store_result(conn_);
    if (!res) return fail("cannot read the table GPS");
    MYSQL_ROW r = mysql_fetch_row(res);
    const bool ok = r && to_u64(r[0], id);
    mysql_free_result(res);
    if (!ok) {
        snprintf(error_.data(), error_.size(), "the table GPS gave no newest id");
        disconnect();
    }
    return ok;
}

bool BoatRows::read(uint64_t after, Batch* out, size_t* count) {
    *count = 0;
    snprintf(sql_.data(), sql_.size(),
             "SELECT id, Lat, Lng, Speed, Bearing, FuelVoltage, Active, UNIX_TIMESTAMP(Logged), "
             "CAST(ROUND(UNIX_TIMESTAMP(FixTime) * 1000) AS SIGNED), RowKey, TIMESTAMPDIFF(SECOND, Logged, NOW()) "
             "FROM GPS WHERE id > %" PRIu64
             " ORDER BY id LIMIT %zu",
             after, kBatchRows);
    if (!query(sql_.data())) return fail("cannot read the table GPS");
    MYSQL_RES* res = mysql_store_result(conn_);
    if (!res) return fail("cannot read the table GPS");
    bool ok = true;
    while (MYSQL_ROW r = mysql_fetch_row(res)) {
        if (*count >= kBatchRows) break;
        GpsRow& row = (*out)[*count];
        int64_t active = 0;
        row.has_speed = r[3] != nullptr;
        row.has_bearing = r[4] != nullptr;
        row.has_fix_time = r[8] != nullptr;
        row.has_row_key = r[9] != nullptr;
        row.speed = row.bearing = 0;
        row.fix_time_ms = 0;
        row.row_key = 0;
        ok = to_u64(r[0], &row.id) && to_double(r[1], &row.lat) && to_double(r[2], &row.lng) &&
             (!row.has_speed || to_double(r[3], &row.speed)) && (!row.has_bearing || to_double(r[4], &row.bearing)) &&
             to_i64(r[5], &row.fuel) && to_i64(r[6], &active) && to_i64(r[7], &row.logged) &&
             (!row.has_fix_time || to_i64(r[8], &row.fix_time_ms)) && (!row.has_row_key || to_u64(r[9], &row.row_key)) &&
             to_i64(r[10], &row.age_s);
        if (!ok) break;
        row.active = static_cast<int>(active);
        ++*count;
    }
    mysql_free_result(res);
    if (!ok) {
        snprintf(error_.data(), error_.size(), "a row of the table GPS is not as the uplink knows it");
        disconnect();
    }
    return ok;
}

bool BoatRows::set_mark(uint64_t id) {
    snprintf(sql_.data(), sql_.size(), "UPDATE UplinkMark SET Mark = %" PRIu64 " WHERE One = 1 AND Identity = '%s'", id,
             identity_.data());
    if (!query(sql_.data())) return fail("cannot move the mark");
    if (mysql_affected_rows(conn_) != 1 && id != mark_) {
        snprintf(error_.data(), error_.size(), "the mark's row is gone or has another identity");
        disconnect();
        return false;
    }
    mark_ = id;
    return true;
}

}  // namespace uplink
