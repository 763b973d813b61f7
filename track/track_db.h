// The tracker's table GPS read back: the login, and the rows of a time
// range streamed in the order the tracker wrote them.
#pragma once

#include "settings.h"
#include "trip.h"

#include <mysql.h>

#include <cstdint>
#include <functional>
#include <string>

namespace track {

struct DbLogin {
    std::string host, user, password, database;
};

// The login boat_tracker uses: DB_HOST, DB_USER, DB_PASSWORD and DB_NAME
// of the settings file at `path` over the build's values. False when the
// file is refused, as the terminals refuse it, with *error naming the file,
// the line and the key. *warning gets a note that does not stop (empty
// when there is none).
bool track_db_login(DbLogin* login, std::string* error, std::string* warning,
                    const char* path = kTerminalSettingsPath);

// Rows of [since, until) by FixTime (Logged where it is NULL), with ids
// in [min_id, max_id].
struct RowRange {
    bool has_since = false, has_until = false;
    int64_t since_ms = 0, until_ms = 0;
    uint64_t min_id = 0, max_id = UINT64_MAX;
};

class TrackDb {
public:
    TrackDb() = default;
    ~TrackDb();
    TrackDb(const TrackDb&) = delete;
    TrackDb& operator=(const TrackDb&) = delete;

    bool connect(const DbLogin& login);
    // Calls `each` for every row in the range, one at a time: the rows are
    // not held, so a table of any size reads in constant memory. False on
    // a database error, with error() telling it.
    bool scan(const RowRange& range, const std::function<void(const TrackRow&)>& each);
    const std::string& error() const { return error_; }
    // Rows of the last scan whose position no map can show (latitude
    // beyond 90 degrees, longitude beyond 180): left out.
    long skipped() const { return skipped_; }

private:
    bool fail(const char* what);
    MYSQL* conn_ = nullptr;
    std::string error_;
    long skipped_ = 0;
};

}  // namespace track
