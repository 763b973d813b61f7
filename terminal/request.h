// The check-in request: "<URL>?RFID=<serial>&BoatID=<n>", with a check-in
// interval set followed by the kind of check-in, written into Buff. Its
// 128 bytes decide how long a base URL may be.
#pragma once

#include <cstddef>

constexpr size_t kBuffSize = 128;  // boatid.txt text, then the request URL

constexpr const char kRequestFormat[] = "%s?RFID=%s&BoatID=%d%s";  // URL, serial, boat, kind
constexpr const char kKindCard[] = "&Kind=card";
constexpr const char kKindPeriodic[] = "&Kind=periodic";

constexpr size_t kSerialTextMax = 20;  // a 10-byte UID, two digits a byte
constexpr size_t kBoatIdTextMax = 11;  // "-2147483648"
constexpr size_t kQueryMax = (sizeof "?RFID=" - 1) + kSerialTextMax + (sizeof "&BoatID=" - 1) + kBoatIdTextMax;
constexpr size_t kKindMax = sizeof kKindPeriodic - 1;

// The longest base URL: without the kind of check-in, and with it.
constexpr size_t kUrlMax = kBuffSize - 1 - kQueryMax;
constexpr size_t kUrlMaxWithKind = kUrlMax - kKindMax;
