// The boats' check-in endpoint. A request is refused before it reaches the
// book unless it is exactly what a terminal sends; a refusal is a BAD body
// (HTTP 400), so no terminal ever starts on it. A database fault is no
// refusal: 503 with a body that is neither BAD nor a grant, which a
// terminal takes as a failed check-in, so a running boat keeps its paid
// time and a stopped one stays stopped.
#include "checkin_query.h"
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

}  // namespace

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void add_checkin_route(httplib::Server& http, Store& store) {
    http.Get(kCheckinPath, [&store](const httplib::Request& req, httplib::Response& res) {
        // The server library hands HEAD to this handler too: it must not
        // decide (and charge) for an answer that is never read.
        if (req.method != "GET" || req.target.size() > kMaxTargetBytes || !req.body.empty()) return refuse(res);
        CheckinRequest c;
        if (!parse_checkin_target(req.target, &c)) return refuse(res);
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
