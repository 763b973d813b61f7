// What the tests of boat_tracker and boat_track read from its peers (the
// servers themselves are in tests/support): the GPS table's rows, the
// receiver logs' fixes, program output.
#pragma once

#include "gpsd.h"
#include "mariadb.h"
#include "process.h"

#include <string>
#include <vector>

namespace trackertest {

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

// The GPS table's rows after `after_id`, oldest first (none when the
// query fails: db.error() says why).
std::vector<GpsRow> rows(testsupport::MariaDb& db, long after_id = 0);

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
