// The shore's check-in request: parse_checkin_target on a fuzzed query.
// Checked besides the sanitizers: what it accepts is a lower-case serial of
// at most 20 hexadecimal digits and a boat the terminals can send, and the
// request written back plainly parses to the same.
#include "checkin_query.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {
void check(bool ok) {
    if (!ok) abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string target = "/hullgate/checkin.php?" + std::string(reinterpret_cast<const char*>(data), size);
    shore::CheckinRequest req;
    if (!shore::parse_checkin_target(target, &req)) return 0;
    check(req.card.size() <= 20);
    for (char c : req.card) check((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    check(req.boat >= 0 && req.boat <= 2147483647);
    std::string again = "/hullgate/checkin.php?RFID=" + req.card + "&BoatID=" + std::to_string(req.boat);
    if (req.kind_given) again += req.kind == shore::CheckinKind::periodic ? "&Kind=periodic" : "&Kind=card";
    shore::CheckinRequest back;
    check(shore::parse_checkin_target(again, &back));
    check(back.card == req.card && back.boat == req.boat && back.kind == req.kind && back.kind_given == req.kind_given);
    return 0;
}
