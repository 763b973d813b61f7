// The tracker's telemetry: the fuel converter read on every pass and the GPS
// fix written as a database row on every tenth pass.
#pragma once

#include <gps.h>
#include <mysql.h>

#include <cstddef>
#include <cstdint>

constexpr size_t kQuerySize = 1024;

extern int32_t FuelLevel;            // converter counts of the last pass, 0-1023
// The gpsd connection and its latest fix; in a namespace because libgps
// already has a function of this name.
namespace tracker {
extern struct gps_data_t gps_data;
}
extern MYSQL* connection;
extern char* query;                  // kQuerySize bytes, allocated by main
// Key of the next row, drawn at random by the first sample when 0: a
// statement sent again after a time-out carries the same key, and the
// table's unique key refuses it when the first one was stored after all.
extern uint64_t RowKey;
// Fix time of the last row; none (0) before the first and after a row
// without one.
extern timespec_t LastRowFixTime;

// What the GPS sample needs from gpsd and the database, so that a unit test
// can stand in for both. The defaults talk to the real peers.
struct TelemetryIo {
    // Reads one report into *g if one is waiting, without waiting for one:
    // 0 when none was, -1 on error, otherwise gps_read's result; *tpv tells
    // whether the report was a TPV (a fix).
    int (*gps_fetch)(struct gps_data_t* g, bool* tpv);
    // Sends one statement; reports a failure itself.
    void (*db_store)(const char* statement);
};
extern TelemetryIo Telemetry;

// Fuel sample: one single-ended conversion of channel 0, reply into the
// first three bytes of buf (the loop's Buff); sets FuelLevel and reports it.
void FuelSample(char* buf);

// FuelLevel from the converter's three reply bytes: the 10 result bits,
// B9 B8 at the end of byte 1 and B7..B0 in byte 2.
int32_t fuel_value(const uint8_t reply[3]);

// The fix tests, in order: a fix of any kind (status 1 or above), mode 2D
// or 3D, coordinates present.
bool gps_fix_usable(const struct gps_data_t& g);

// The row statement for a fix into out (size bytes): position, speed and
// track (NULL where the receiver gave none), fuel, Active, the fix's UTC
// time (NULL when unknown) and the row key. Returns the statement's
// length, or -1 when it would not fit (out then holds no statement).
int format_gps_row(char* out, size_t size, const struct gps_fix_t& fix, int32_t fuel, int active, uint64_t key);

// GPS sample: reads every report waiting and writes one row for the
// newest usable fix, when that fix is new since the last row.
void GpsSample(int active);

// The real peers, for main: open gpsd with its JSON watch (gps_open's result)
// and connect the database with its time-outs (false when that failed).
int gps_connect();
bool db_connect();
