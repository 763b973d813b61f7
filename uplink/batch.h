// The request body of POST /api/telemetry and the shore's answer.
//
// Body: {"boat":N,"database":"IDENTITY","rows":[{"id":..,"Lat":..,"Lng":..,
// "Speed":..|null,"Bearing":..|null,"FuelVoltage":..,"Active":0|1,
// "Logged":SECONDS,"FixTime":MS|null,"RowKey":..|null},...]}
// Answer (200): {"stored":COUNT,"through":ID}: every row of the batch up to
// ID is stored ashore.
#pragma once

#include "rows.h"

#include <array>
#include <cstddef>

namespace uplink {

// The largest body the shore takes.
constexpr size_t kBodyMax = 64 * 1024;
using Body = std::array<char, kBodyMax>;

// Formats the first rows of rows[0..count) that fit into *out, at least
// one; *sent of them. The body's length, 0 when not even one row fits.
size_t format_batch(Body* out, int boat, const Identity& identity, const GpsRow* rows, size_t count, size_t* sent);

// The "through" of an answer; false when the answer is not one.
bool parse_answer(const char* text, size_t len, uint64_t* through);

}  // namespace uplink
