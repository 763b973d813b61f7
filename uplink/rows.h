// The boat's side of the uplink: the table GPS read after the mark, and the
// mark itself with the database's identity, in the tracker's MariaDB. The
// uplink only reads GPS; the mark is a table of its own.
#pragma once

#include "settings.h"

#include <mysql.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace uplink {

// One row of the table GPS with every column.
struct GpsRow {
    uint64_t id = 0;
    double lat = 0, lng = 0, speed = 0, bearing = 0;
    bool has_speed = false, has_bearing = false;
    int64_t fuel = 0;
    int active = 0;
    int64_t logged = 0;  // seconds since the epoch
    bool has_fix_time = false;
    int64_t fix_time_ms = 0;  // ms since the epoch, UTC
    bool has_row_key = false;
    uint64_t row_key = 0;
    int64_t age_s = 0;  // since the server stored it (not sent)
};

// A row that follows a gap in the ids and is younger than this may have a
// neighbour whose statement has not committed yet (ids are drawn before
// the commit); older gaps are ids that were never used.
constexpr int64_t kGapGraceS = 10;

// How many of rows[0..count) may be taken as all rows up to their last id,
// given that every row up to `mark` is taken.
size_t settled_rows(uint64_t mark, const GpsRow* rows, size_t count);

// Rows sent in one request: a few seconds of a slow link, a body under
// the shore's 64 KiB.
constexpr size_t kBatchRows = 250;
using Batch = std::array<GpsRow, kBatchRows>;

// 32 hexadecimal digits, drawn once per database.
using Identity = std::array<char, 33>;

class BoatRows {
public:
    BoatRows() = default;
    ~BoatRows();
    BoatRows(const BoatRows&) = delete;
    BoatRows& operator=(const BoatRows&) = delete;

    // Connects with the uplink's login and reads (or makes, once) the
    // identity and the mark. False with error() on any failure; connect
    // again later.
    bool connect(const TerminalSettings& s);
    bool connected() const { return conn_ != nullptr; }
    void disconnect();

    const Identity& identity() const { return identity_; }
    uint64_t mark() const { return mark_; }
    // The newest row's id (0: none). False on a database error.
    bool newest(uint64_t* id);
    // Up to kBatchRows rows with id > after, in id order, into *out;
    // *count of them. False on a database error.
    bool read(uint64_t after, Batch* out, size_t* count);
    // The mark moves to `id`: every row up to it is stored ashore.
    bool set_mark(uint64_t id);
    const char* error() const { return error_.data(); }

private:
    bool fail(const char* what);
    bool query(const char* sql);
    bool load_mark();
    MYSQL* conn_ = nullptr;
    Identity identity_ {};
    uint64_t mark_ = 0;
    std::array<char, 256> error_ {};
    std::array<char, 512> sql_ {};
};

}  // namespace uplink
