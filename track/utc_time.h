// UTC times as boat_track reads and writes them: milliseconds since the
// epoch, without the process's time zone ever taking part.
#pragma once

#include <cstddef>
#include <cstdint>

namespace track {

// ISO 8601 in UTC as the command line takes it: "2026-06-01" (its
// midnight), "2026-06-01T10:00Z", "2026-06-01T10:00:00Z" or with up to
// three decimals of the second, "2026-06-01T10:00:00.250Z". False for
// anything else, a time without its Z included.
bool parse_iso_utc(const char* text, int64_t* ms);

// The database's text of a DATETIME: "2026-06-01 10:00:00" with up to six
// decimals (kept to the millisecond).
bool parse_db_time(const char* text, int64_t* ms);

// "2026-06-01T10:00:00Z", with ".250" before the Z when `millis`.
// Returns the text's length (it always fits 32 bytes).
int format_iso_utc(char* out, size_t size, int64_t ms, bool millis);

// "2026-06-01 10:00:00.000" for a statement's comparison.
int format_db_time(char* out, size_t size, int64_t ms);

}  // namespace track
