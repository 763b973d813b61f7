// The tracker's telemetry: the fuel converter read on every pass and the GPS
// fix written as a database row on every tenth pass.
#pragma once

#include <gps.h>
#include <mysql.h>

#include <cstddef>
#include <cstdint>

constexpr size_t kQuerySize = 1024;

extern int32_t FuelLevel;            // raw converter counts of the last pass
// The gpsd connection and its latest fix; in a namespace because libgps
// already has a function of this name.
namespace tracker {
extern struct gps_data_t gps_data;
}
extern MYSQL* connection;
extern char* query;                  // kQuerySize bytes, allocated by main

// What the GPS sample needs from gpsd and the database, so that a unit test
// can stand in for both. The defaults talk to the real peers.
struct TelemetryIo {
    // Waits up to 2 s for gpsd and reads one report into *g: 0 when nothing
    // was waiting, otherwise gps_read's result (-1 on error).
    int (*gps_fetch)(struct gps_data_t* g);
    // Sends one statement; reports a failure itself.
    void (*db_store)(const char* statement);
};
extern TelemetryIo Telemetry;

// Fuel sample: one single-ended conversion of channel 0, reply into the
// first three bytes of buf (the loop's Buff); sets FuelLevel and reports it.
void FuelSample(char* buf);

// FuelLevel from the converter's three reply bytes: byte 1 high, byte 2 low,
// nothing masked.
int32_t fuel_value(const uint8_t reply[3]);

// The fix tests, in order: status fix, mode 2D or 3D, coordinates present.
bool gps_fix_usable(const struct gps_data_t& g);

// The row statement for a fix into out (size bytes). Speed and track that
// the receiver did not give are written as NULL. Returns the statement's
// length, or -1 when it would not fit (out then holds no statement).
int format_gps_row(char* out, size_t size, const struct gps_fix_t& fix, int32_t fuel, int active);

// GPS sample: fetch, test, write one row.
void GpsSample(int active);

// The real peers, for main: open gpsd with its JSON watch (gps_open's result)
// and connect the database (false when the login failed).
int gps_connect();
bool db_connect();
