// A check-in request as a terminal writes it, "PATH?RFID=HEX&BoatID=N
// [&Kind=card|periodic]", checked before anything else looks at it.
#pragma once

#include "store.h"

#include <string>

namespace shore {

// The request of a request target; false unless it holds exactly RFID (0
// to 20 hexadecimal digits), BoatID (0 to 2147483647) and at most Kind,
// each once, written plainly (no escapes).
bool parse_checkin_target(const std::string& target, CheckinRequest* out);

}  // namespace shore
