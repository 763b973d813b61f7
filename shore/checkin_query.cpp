#include "checkin_query.h"

#include "commands.h"

#include <vector>

namespace shore {

namespace {

struct QueryParam {
    std::string key;
    std::string value;
};

// The raw query of `target`, as a terminal writes it: key=value pairs
// joined by "&", nothing escaped. The server library's own parsing decodes
// escapes and drops repeated pairs, which a refusal must see.
bool split_query(const std::string& target, std::vector<QueryParam>* out) {
    const size_t q = target.find('?');
    if (q == std::string::npos) return false;
    size_t start = q + 1;
    while (start <= target.size()) {
        size_t end = target.find('&', start);
        if (end == std::string::npos) end = target.size();
        const std::string pair = target.substr(start, end - start);
        const size_t eq = pair.find('=');
        if (eq == std::string::npos || eq == 0 || pair.find('=', eq + 1) != std::string::npos) return false;
        out->push_back(QueryParam{pair.substr(0, eq), pair.substr(eq + 1)});
        start = end + 1;
    }
    return true;
}

bool parse_checkin_query(const std::vector<QueryParam>& params, CheckinRequest* out) {
    bool rfid = false, boat = false, kind = false;
    for (const QueryParam& p : params) {
        if (p.key == "RFID" && !rfid) {
            if (!is_card_serial(p.value)) return false;
            out->card = lower_hex(p.value);
            rfid = true;
        } else if (p.key == "BoatID" && !boat) {
            if (!parse_boat_number(p.value, &out->boat)) return false;
            boat = true;
        } else if (p.key == "Kind" && !kind) {
            if (p.value != "card" && p.value != "periodic") return false;
            out->kind = p.value == "card" ? CheckinKind::card : CheckinKind::periodic;
            out->kind_given = true;
            kind = true;
        } else {
            return false;  // unknown or repeated
        }
    }
    return rfid && boat;
}

}  // namespace

bool parse_checkin_target(const std::string& target, CheckinRequest* out) {
    std::vector<QueryParam> params;
    return split_query(target, &params) && parse_checkin_query(params, out);
}

}  // namespace shore
