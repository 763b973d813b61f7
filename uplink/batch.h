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

// The largest row is well under 400 bytes.
constexpr size_t kBodyMax = 64 + kBatchRows * 400;
using Body = std::array<char, kBodyMax>;

// Formats rows[0..count) into *out; its length, or 0 when it does not fit.
size_t format_batch(Body* out, int boat, const Identity& identity, const GpsRow* rows, size_t count);

// The "through" of an answer; false when the answer is not one.
bool parse_answer(const char* text, size_t len, uint64_t* through);

}  // namespace uplink
