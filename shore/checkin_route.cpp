// The boats' check-in endpoint. A request is refused before it reaches the
// book unless it is exactly what a terminal sends; a refusal is a BAD body
// (HTTP 400), so no terminal ever starts on it. A database fault is no
// refusal: 503 with a body that is neither BAD nor a grant, which a
// terminal takes as a failed check-in, so a running boat keeps its paid
// time and a stopped one stays stopped.
#include "commands.h"
#include "server.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>

namespace shore {

namespace {

// A terminal's request line holds at most 128 bytes with the host; this
// leaves room for Kind and for hand-made requests, no more.
constexpr size_t kMaxTargetBytes = 256;
constexpr const char* kBadRequest = "BAD bad request";
constexpr const char* kUnavailable = "database unavailable";

std::atomic<bool> g_database_failing{false};

void refuse(httplib::Response& res) {
    res.status = 400;
    res.set_content(kBadRequest, "text/plain");
}

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

}  // namespace

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
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

void add_checkin_route(httplib::Server& http, Store& store) {
    http.Get(kCheckinPath, [&store](const httplib::Request& req, httplib::Response& res) {
        if (req.target.size() > kMaxTargetBytes || !req.body.empty()) return refuse(res);
        std::vector<QueryParam> params;
        CheckinRequest c;
        if (!split_query(req.target, &params) || !parse_checkin_query(params, &c)) return refuse(res);
        try {
            const std::string answer = store.checkin(c, now_ms());
            if (g_database_failing.exchange(false)) fprintf(stderr, "boat_shore: database answers again\n");
            res.set_content(answer, "text/plain");
        } catch (const std::exception& e) {
            if (!g_database_failing.exchange(true)) fprintf(stderr, "boat_shore: database unavailable: %s\n", e.what());
            res.status = 503;
            res.set_content(kUnavailable, "text/plain");
        }
    });
}

}  // namespace shore
