// A season of the whole rental system in minutes: both terminals as built,
// each on a simulated board of its own (boat 1 boat_checkin, boat 2
// boat_tracker with its gpsd, MariaDB and emulated NFC reader), checking in
// every CHECKIN_INTERVAL seconds with the real boat_shore on SQLite. A
// seeded random list of steps sells time (also for one boat, and now and
// then a sale killed mid-way), taps cards (owners, strangers, one card on
// both boats at once), ends sessions and kills boats from shore, restarts
// the shore (SIGTERM, kill -9, kill -9 while a new session is being
// decided), takes it off the network, and sets the reader faults.
//
//   soak --shore [--minutes N] [--seed S] [--out DIR]
//
// Invariants, from the boards' GPIO logs and the shore's book (sessions
// and sales as `boat_shore sessions --json` and `sales --json` give them):
//   - the run relay goes on only inside a session the shore recorded for
//     that boat, and never while a kill order is pending for it;
//   - it is off by the session's paid end plus the boat's allowance (one
//     blink cycle, measured, and a second; boat_tracker 5 s); after a staff
//     end or a kill, by the next check-in: the check-in interval plus the
//     allowance and an exchange (later only when the shore was unreachable
//     meanwhile, then counted from its return plus the connect time-out);
//   - no card runs two boats at once, in the book and on the relays;
//   - nothing sold is lost or charged twice: every receipt stays in the
//     book as sold, a sale is used by one session of its card and boat, a
//     session's time is the time of its sales, and sessions of one boat
//     never overlap;
//   - a kill sets the kill relay within the check-in interval plus the
//     allowance and an exchange, and the kill relay goes on only for a
//     pending kill and off only after its release.
#include "faults.h"
#include "field.h"
#include "process.h"
#include "season.h"
#include "temp_board.h"

#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

using testsupport::Process;
using testsupport::ProcessOptions;
using Json = nlohmann::json;
using namespace season;

namespace {

constexpr int kShorePort = kCheckinPort;  // boat_shore answers the terminals there
constexpr int kCheckinInterval = 8;          // CHECKIN_INTERVAL of both terminals, seconds
constexpr int64_t kExchangeNs = 3 * kSecond;  // one check-in exchange, on a loaded machine
constexpr int64_t kConnectTimeoutNs = 10 * kSecond;  // the terminals' connect time-out
constexpr int64_t kGrantLatencyNs = kSecond;  // a decision to the relay it moves
constexpr int64_t kClockNoiseNs = 20000000;   // the book's clock seen on the boards'
constexpr int64_t kBlinkPerFaultNs = 6 * kSecond;

int64_t real_ns() {
    timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kSecond + ts.tv_nsec;
}

constexpr uint8_t kBlue = 22;

// The customers' cards: 4 and 7 bytes.
const std::vector<std::string> kCards = {"0a1bc203", "11223344", "deadbeef", "04a1b2c3d4e5f6", "04112233445566"};


// A session as the book shows it, with what the soak saw of it.
struct Session {
    int64_t id = 0;
    int boat = 0;
    std::string card;
    int64_t started_at = 0, paid_end = 0, first_paid_end = 0;
    std::optional<int64_t> ended_at;
    std::string end_reason;
    bool cut = false;  // ended early by the soak's staff end
};

struct Sale {
    int64_t id = 0;
    std::string card;
    int64_t seconds = 0;
    std::optional<int64_t> boat, valid_from, valid_until, session;
    int64_t sold_at = 0;
};

// A kill order as the soak gave it.
struct Kill {
    int boat;
    int64_t order_from;       // the command started
    int64_t ordered;          // and returned: committed
    int64_t released_from = 0;  // the release command started
    int64_t released = 0;       // and returned
    int64_t reached = 0;        // the kill relay went on
};

// A stretch of a boat's run relay on, for one session.
struct Run {
    int boat;
    int64_t from, to;  // to: INT64_MAX while on
    int64_t session;
};

struct Boat {
    int number;
    bool tracker;
    Pins pins;
    std::unique_ptr<testsupport::TempBoard> board;
    std::unique_ptr<Process> terminal;
    std::string dir;
    uint64_t seq = 0;
    std::deque<boatsim::GpioEvent> recent;
    bool run_on = false, kill_on = false;
    int64_t session = 0;     // the session the relay runs for
    int64_t last_grant = 0;  // the last run relay write to on
    int64_t granted_end = 0;  // the paid end (monotonic) of that grant
    int64_t cut_at = 0;       // a staff end or kill after that grant
    bool late_reported = false;
    int64_t allowance = INT64_MAX / 4;
    int64_t led_off_at = 0;
    bool blue_lit = false;
    std::vector<int64_t> blink_gaps;
    std::vector<std::string> in_field;
};

class ShoreSeason {
public:
    explicit ShoreSeason(const Options& o)
        : opt_(o), rng_(o.seed), dir_(o.out.empty() ? tmp_.path() : o.out), peers_(dir_) {}
    ~ShoreSeason() { stop_everything(); }
    int run();

private:
    // peers
    bool start_shore();
    void stop_shore(bool hard);
    bool shore_command(const std::vector<std::string>& args, std::string* out, int kill_after_ms = -1);
    bool start_terminal(Boat& b);
    void stop_everything();
    void outage_begin();
    void outage_end();

    // the book
    bool read_book();
    bool read_sessions();
    bool read_sales();
    const Session* session_at(int boat, int64_t t);
    int64_t mono_of(int64_t epoch_s) const { return epoch_s * kSecond - offset_ns_; }

    // checking
    void poll();
    void check_event(Boat& b, const boatsim::GpioEvent& e);
    void check_book();
    void check_runs(const Run& r);
    void close_run(Boat& b, int64_t t);
    int64_t run_deadline(const Boat& b) const;
    int64_t after_outages(int64_t from, int64_t deadline, const Boat& b) const;
    int64_t kill_deadline(const Kill& k) const;
    Kill* pending_kill(int boat, int64_t t);
    bool cut_after(int boat, int64_t t) const;
    bool kill_in_force(int boat, int64_t t) const;
    void violation(const std::string& what, int64_t t);
    bool wait(int64_t ns, const std::function<bool()>& until = nullptr);

    // steps
    void step();
    void log_step(const std::string& what);
    void tap(Boat& b, const std::string& card);
    void sell(bool kill_midway);
    bool fault_any(Boat& b);
    void measure_idle();
    int pick(int n) { return static_cast<int>(std::uniform_int_distribution<int>(0, n - 1)(rng_)); }
    int64_t pick_ns(double lo_s, double hi_s) {
        return static_cast<int64_t>(std::uniform_real_distribution<double>(lo_s, hi_s)(rng_) * kSecond);
    }
    Boat& boat(int number) { return boats_[static_cast<size_t>(number - 1)]; }

    Options opt_;
    std::mt19937_64 rng_;
    testsupport::TempDir tmp_;
    std::string dir_;
    std::vector<Boat> boats_;
    int64_t offset_ns_ = 0;  // CLOCK_REALTIME - CLOCK_MONOTONIC

    std::unique_ptr<Process> shore_;
    TrackerPeers peers_;
    std::string conf_;
    int shore_starts_ = 0;
    bool shore_up_ = false;
    PortBlackhole blackhole_;
    std::vector<std::pair<int64_t, int64_t>> outages_;  // the shore not answering; second 0 while it lasts

    // The book, and what the soak knows beside it.
    std::map<int64_t, Session> sessions_;
    std::map<int64_t, Sale> book_sales_;
    std::map<int64_t, Sale> receipts_;       // sales the soak holds a receipt for
    std::vector<Sale> killed_sales_;         // sells killed mid-way: in the book or not
    std::map<int64_t, int64_t> sale_used_;   // sale -> the session that used it
    std::vector<Kill> kills_;
    std::vector<std::pair<int, int64_t>> cuts_;  // staff ends and kill orders: boat, when begun
    std::vector<Run> runs_;

    // The table.
    int taps_ = 0, both_taps_ = 0, sold_ = 0, sells_killed_ = 0, grants_ = 0, ends_ = 0, kill_orders_ = 0,
        restarts_ = 0, hard_kills_ = 0, midsale_kills_ = 0, outages_n_ = 0, faults_ = 0, violations_ = 0;
    int64_t worst_overrun_ = INT64_MIN, worst_kill_ = 0;
    StepLog steps_;
    int64_t t0_ = 0;
};

// --- peers ------------------------------------------------------------------------

std::string shore_bin() { return testsupport::bin("shore/boat_shore"); }

bool ShoreSeason::start_shore() {
    blackhole_.release();
    const std::string log = dir_ + "/shore." + std::to_string(++shore_starts_) + ".err";
    shore_ = std::make_unique<Process>(ProcessOptions {{shore_bin(), "serve", "--config", conf_}, {}, "", "", log, ""});
    shore_up_ = wait(20 * kSecond, [&] { return testsupport::port_open(kShorePort) || !shore_->running(); }) &&
                shore_->running();
    if (!shore_up_) fprintf(stderr, "soak: boat_shore did not start: %s\n", testsupport::read_file(log).c_str());
    outage_end();
    return shore_up_;
}

void ShoreSeason::stop_shore(bool hard) {
    outage_begin();
    if (shore_) {
        if (hard) {
            kill(shore_->pid(), SIGKILL);
            shore_->wait_exit(5000);
        } else {
            const int64_t sent = now_ns();
            shore_->stop(5000);
            if (shore_->exit_status() != 0)
                violation("boat_shore ended with status " + std::to_string(shore_->exit_status()) +
                              ", signal " + std::to_string(shore_->term_signal()) + " after SIGTERM",
                          sent);
        }
    }
    shore_.reset();
    shore_up_ = false;
}

void ShoreSeason::outage_begin() {
    if (outages_.empty() || outages_.back().second != 0) outages_.push_back({now_ns(), 0});
}

void ShoreSeason::outage_end() {
    if (!outages_.empty() && outages_.back().second == 0) outages_.back().second = now_ns();
}

// One staff command; true when it ended with status 0. With kill_after_ms
// it gets SIGKILL that long after its start, as a till that loses power.
bool ShoreSeason::shore_command(const std::vector<std::string>& args, std::string* out, int kill_after_ms) {
    std::vector<std::string> argv {shore_bin()};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("--config");
    argv.push_back(conf_);
    const std::string out_path = dir_ + "/command.out", err_path = dir_ + "/command.err";
    Process p({argv, {}, "", out_path, err_path, ""});
    if (kill_after_ms >= 0) {
        usleep(static_cast<useconds_t>(kill_after_ms) * 1000);
        kill(p.pid(), SIGKILL);
    }
    if (!p.wait_exit(30000)) {
        violation("boat_shore " + args[0] + " did not end within 30 s", now_ns());
        return false;
    }
    if (out) *out = testsupport::read_file(out_path);
    return p.exit_status() == 0;
}

// Each terminal in a folder of its own: its boat number, and its settings
// handed over as systemd hands a credential.
bool ShoreSeason::start_terminal(Boat& b) {
    ProcessOptions o;
    o.argv = {testsupport::bin(terminal_program(b.tracker))};
    o.env = {b.board->env(), "CREDENTIALS_DIRECTORY=" + b.dir + "/credentials"};
    if (b.tracker) o.env.push_back("LIBNFC_DEFAULT_DEVICE=" + peers_.reader());
    o.cwd = b.dir;
    o.stderr_path = b.dir + "/terminal.err";
    o.stdout_path = b.tracker ? b.dir + "/terminal.out" : "";
    b.terminal = std::make_unique<Process>(o);
    const std::string ready = terminal_ready(b.tracker);
    const bool up = wait(60 * kSecond, [&] {
        return testsupport::read_file(o.stderr_path).find(ready) != std::string::npos || !b.terminal->running();
    });
    if (!up || !b.terminal->running()) {
        fprintf(stderr, "soak: boat %d's terminal did not start:\n%s\n", b.number, testsupport::read_file(o.stderr_path).c_str());
        return false;
    }
    return true;
}

void ShoreSeason::stop_everything() {
    for (Boat& b : boats_) {
        if (b.terminal) b.terminal->stop(5000);
        b.terminal.reset();
    }
    if (shore_) shore_->stop(5000);
    shore_.reset();
    blackhole_.release();
    peers_.stop();
}

// --- the book ---------------------------------------------------------------------

std::optional<int64_t> opt_int(const Json& j, const char* key) {
    if (!j.contains(key) || j[key].is_null()) return std::nullopt;
    return j[key].get<int64_t>();
}

// The rows of a --json listing: an array, or an object holding one.
const Json& rows(const Json& j, const char* key) {
    return j.is_object() && j.contains(key) ? j[key] : j;
}

bool ShoreSeason::read_book() { return read_sessions() && read_sales(); }

bool ShoreSeason::read_sessions() {
    std::string out;
    if (!shore_command({"sessions", "--json"}, &out)) {
        violation("boat_shore sessions --json failed: " + testsupport::read_file(dir_ + "/command.err"), now_ns());
        return false;
    }
    Json j = Json::parse(out, nullptr, false);
    if (j.is_discarded()) {
        violation("boat_shore sessions --json is not JSON: " + out.substr(0, 200), now_ns());
        return false;
    }
    std::set<int64_t> seen;
    for (const Json& r : rows(j, "sessions")) {
        Session s;
        s.id = r.at("id").get<int64_t>();
        s.boat = r.at("boat").get<int>();
        s.card = lower(r.at("card").get<std::string>());
        s.started_at = r.at("started_at").get<int64_t>();
        s.paid_end = r.at("paid_end").get<int64_t>();
        s.ended_at = opt_int(r, "ended_at");
        if (r.contains("end_reason") && r["end_reason"].is_string()) s.end_reason = r["end_reason"].get<std::string>();
        seen.insert(s.id);
        auto it = sessions_.find(s.id);
        if (it == sessions_.end()) {
            s.first_paid_end = s.paid_end;
            s.cut = cut_after(s.boat, mono_of(s.started_at) - kSecond);
            sessions_[s.id] = s;
            continue;
        }
        Session& old = it->second;
        if (old.boat != s.boat || old.card != s.card || old.started_at != s.started_at)
            violation("session " + std::to_string(s.id) + " changed its boat, card or start", now_ns());
        if (s.paid_end > old.paid_end)
            violation("session " + std::to_string(s.id) + "'s paid end moved later, from " + std::to_string(old.paid_end) +
                          " to " + std::to_string(s.paid_end),
                      now_ns());
        if (s.paid_end < old.paid_end) {
            old.cut = old.cut || cut_after(s.boat, mono_of(s.started_at) - kSecond);
            if (!old.cut)
                violation("session " + std::to_string(s.id) + "'s paid end moved earlier without a staff end or kill",
                          now_ns());
        }
        old.paid_end = s.paid_end;
        old.ended_at = s.ended_at;
        old.end_reason = s.end_reason;
    }
    for (const auto& [id, s] : sessions_)
        if (!seen.count(id)) violation("session " + std::to_string(id) + " vanished from the book", now_ns());
    return true;
}

bool ShoreSeason::read_sales() {
    std::string out;
    if (!shore_command({"sales", "--json"}, &out)) {
        violation("boat_shore sales --json failed: " + testsupport::read_file(dir_ + "/command.err"), now_ns());
        return false;
    }
    Json j = Json::parse(out, nullptr, false);
    if (j.is_discarded()) {
        violation("boat_shore sales --json is not JSON: " + out.substr(0, 200), now_ns());
        return false;
    }
    book_sales_.clear();
    for (const Json& r : rows(j, "sales")) {
        Sale s;
        s.id = r.at("id").get<int64_t>();
        s.card = lower(r.at("card").get<std::string>());
        s.seconds = r.at("seconds").get<int64_t>();
        s.boat = opt_int(r, "boat");
        s.valid_from = opt_int(r, "valid_from");
        s.valid_until = opt_int(r, "valid_until");
        s.session = opt_int(r, "session");
        s.sold_at = r.at("sold_at").get<int64_t>();
        book_sales_[s.id] = s;
    }
    return true;
}

// The session of `boat` whose time holds the monotonic time t, from the
// book as it is now: the grant may be a new session's.
const Session* ShoreSeason::session_at(int boat, int64_t t) {
    if (!read_sessions()) return nullptr;
    // The newest first: one boat's sessions follow each other, and a
    // session may start at the next whole second after its decision.
    for (auto it = sessions_.rbegin(); it != sessions_.rend(); ++it) {
        const Session& s = it->second;
        if (s.boat == boat && t >= mono_of(s.started_at) - kSecond && t <= mono_of(s.first_paid_end) + kGrantLatencyNs)
            return &s;
    }
    return nullptr;
}

// --- checking ---------------------------------------------------------------------

void ShoreSeason::violation(const std::string& what, int64_t t) {
    violations_++;
    fprintf(stderr, "\nsoak VIOLATION (seed %" PRIu64 ", shore) at +%.3f s: %s\n", opt_.seed,
            static_cast<double>(t - t0_) / kSecond, what.c_str());
    fprintf(stderr, "steps so far:\n");
    const std::vector<std::string>& steps = steps_.lines();
    const size_t from = steps.size() > 40 ? steps.size() - 40 : 0;
    for (size_t i = from; i < steps.size(); i++) fprintf(stderr, "  %s\n", steps[i].c_str());
    for (const Boat& b : boats_) {
        fprintf(stderr, "last events of boat %d:\n", b.number);
        for (const auto& e : b.recent) fprintf(stderr, "  %s\n", describe(e, t0_).c_str());
    }
    fprintf(stderr, "sessions (times from the start of the soak):\n");
    int shown = 0;
    for (auto it = sessions_.rbegin(); it != sessions_.rend() && shown < 8; ++it, ++shown) {
        const Session& s = it->second;
        fprintf(stderr, "  #%" PRId64 " boat %d card %s  %+.0f .. %+.0f s%s %s\n", s.id, s.boat, s.card.c_str(),
                static_cast<double>(mono_of(s.started_at) - t0_) / kSecond,
                static_cast<double>(mono_of(s.paid_end) - t0_) / kSecond, s.cut ? " (ended by staff)" : "",
                s.end_reason.c_str());
    }
    fprintf(stderr, "replay: soak --shore --seed %" PRIu64 " --minutes %g; the book: %s/shore.db\n\n", opt_.seed,
            opt_.minutes, dir_.c_str());
}

// While the shore did not answer, the terminal's next check-in waits for
// its return, a connection attempt that may have begun just before, and
// the next interval.
int64_t ShoreSeason::after_outages(int64_t from, int64_t deadline, const Boat& b) const {
    for (const auto& [begin, end] : outages_) {
        const int64_t until = end == 0 ? INT64_MAX / 4 : end;
        if (until < from || begin > deadline) continue;
        deadline = std::max(deadline, until + kConnectTimeoutNs + kCheckinInterval * kSecond + b.allowance + kExchangeNs);
    }
    return deadline;
}

int64_t ShoreSeason::run_deadline(const Boat& b) const {
    const int64_t paid = b.granted_end + b.allowance;
    if (b.cut_at == 0) return paid;
    auto it = sessions_.find(b.session);
    const int64_t now_paid = it != sessions_.end() ? mono_of(it->second.paid_end) + b.allowance : paid;
    const int64_t next_checkin =
        after_outages(b.cut_at, b.cut_at + kCheckinInterval * kSecond + b.allowance + kExchangeNs, b);
    return std::min(paid, std::max(now_paid, next_checkin));
}

int64_t ShoreSeason::kill_deadline(const Kill& k) const {
    const Boat& b = boats_[static_cast<size_t>(k.boat - 1)];
    return after_outages(k.ordered, k.ordered + kCheckinInterval * kSecond + b.allowance + kExchangeNs, b);
}

// A kill order of `boat` in force at t: committed before, its release not
// yet begun.
Kill* ShoreSeason::pending_kill(int boat, int64_t t) {
    for (Kill& k : kills_)
        if (k.boat == boat && k.ordered <= t && (k.released_from == 0 || t < k.released_from)) return &k;
    return nullptr;
}

// A kill order of `boat` that every answer decided at t has seen: committed
// a decision's way to the boat before t, its release not yet begun.
bool ShoreSeason::kill_in_force(int boat, int64_t t) const {
    for (const Kill& k : kills_)
        if (k.boat == boat && k.ordered + kGrantLatencyNs <= t && (k.released_from == 0 || t < k.released_from))
            return true;
    return false;
}

// A staff end or kill order of `boat` given at t or later.
bool ShoreSeason::cut_after(int boat, int64_t t) const {
    for (const auto& [n, at] : cuts_)
        if (n == boat && at >= t) return true;
    return false;
}

void ShoreSeason::close_run(Boat& b, int64_t t) {
    for (Run& r : runs_)
        if (r.boat == b.number && r.to == INT64_MAX) {
            r.to = t;
            check_runs(r);
        }
}

// One card never runs two boats: the relays' stretches, each cut at its
// session's end in the book (a staff end's boat runs on until its next
// check-in, a paid end's until its expiry test), do not overlap for one
// card.
void ShoreSeason::check_runs(const Run& r) {
    auto end_of = [&](const Run& x) {
        auto it = sessions_.find(x.session);
        if (it == sessions_.end()) return x.to;
        int64_t end = mono_of(it->second.paid_end);
        if (it->second.ended_at) end = std::min(end, mono_of(*it->second.ended_at));
        return std::min(x.to, end);
    };
    auto s = sessions_.find(r.session);
    if (s == sessions_.end()) return;
    for (const Run& o : runs_) {
        if (o.boat == r.boat) continue;
        auto os = sessions_.find(o.session);
        if (os == sessions_.end() || os->second.card != s->second.card) continue;
        const int64_t from = std::max(r.from, o.from), to = std::min(end_of(r), end_of(o));
        if (to - from > kClockNoiseNs)
            violation("card " + s->second.card + " ran boats " + std::to_string(r.boat) + " and " + std::to_string(o.boat) +
                          " at once for " + std::to_string((to - from) / 1000000) + " ms",
                      from);
    }
}

void ShoreSeason::check_event(Boat& b, const boatsim::GpioEvent& e) {
    const int64_t t = static_cast<int64_t>(e.t_ns);
    const std::string which = "boat " + std::to_string(b.number) + ": ";
    if (e.pin == b.pins.run) {
        if (e.level == b.pins.run_on) {
            if (kill_in_force(b.number, t)) violation(which + "run relay on while a kill order is pending", t);
            const Session* s = session_at(b.number, t);
            if (!s) {
                violation(which + "run relay on outside any session the shore recorded", t);
                return;
            }
            grants_++;
            if (b.run_on && b.session != s->id) close_run(b, t);
            if (!b.run_on || b.session != s->id) runs_.push_back({b.number, t, INT64_MAX, s->id});
            b.session = s->id;
            b.last_grant = t;
            b.granted_end = mono_of(s->paid_end);
            b.cut_at = 0;
            b.run_on = true;
            b.late_reported = false;
        } else if (b.run_on) {
            b.run_on = false;
            const int64_t over = t - b.granted_end;
            if (b.cut_at == 0) worst_overrun_ = std::max(worst_overrun_, over);
            if (t > run_deadline(b) && !b.late_reported)
                violation(which + "run relay dropped " + std::to_string((t - run_deadline(b)) / 1000000) +
                              " ms past its bound",
                          t);
            close_run(b, t);
        }
        return;
    }
    if (e.pin == b.pins.kill) {
        if (e.level == b.pins.kill_on) {
            b.kill_on = true;
            // The order may answer before its command has ended, and an
            // answer decided just before a release still kills.
            Kill* k = nullptr;
            for (Kill& x : kills_)
                if (x.boat == b.number && x.order_from <= t && (x.released == 0 || t <= x.released + kGrantLatencyNs))
                    k = &x;
            if (!k) {
                violation(which + "kill relay set without a kill order", t);
                return;
            }
            if (!k->reached) {
                k->reached = t;
                worst_kill_ = std::max(worst_kill_, t - k->ordered);
            }
        } else {
            if (b.kill_on && kill_in_force(b.number, t)) violation(which + "kill relay released while the kill is pending", t);
            b.kill_on = false;
        }
        return;
    }
    // Blink cycles of boat_checkin while idle: the blue line going dark.
    if (!b.tracker && e.pin == kBlue) {
        if (e.level == 1 && b.blue_lit && !b.run_on) {
            if (b.led_off_at && t - b.led_off_at < 10 * kSecond) b.blink_gaps.push_back(t - b.led_off_at);
            b.led_off_at = t;
        }
        b.blue_lit = e.level == 0;
    }
}

void ShoreSeason::check_book() {
    if (!read_book()) return;
    // Every receipt stays in the book as sold.
    for (const auto& [id, r] : receipts_) {
        auto it = book_sales_.find(id);
        if (it == book_sales_.end()) {
            violation("sale " + std::to_string(id) + " is gone from the book", now_ns());
            continue;
        }
        if (it->second.card != r.card || it->second.seconds != r.seconds || it->second.boat != r.boat)
            violation("sale " + std::to_string(id) + " is not as sold", now_ns());
    }
    // A sale nobody holds a receipt for is one whose command was killed.
    std::vector<bool> matched(killed_sales_.size(), false);
    for (const auto& [id, s] : book_sales_) {
        if (receipts_.count(id)) continue;
        bool found = false;
        for (size_t i = 0; i < killed_sales_.size() && !found; i++)
            if (!matched[i] && killed_sales_[i].card == s.card && killed_sales_[i].seconds == s.seconds &&
                killed_sales_[i].boat == s.boat)
                matched[i] = found = true;
        if (!found) violation("sale " + std::to_string(id) + " in the book was never sold", now_ns());
    }
    // A sale is used once, by a session of its card and boat, and stays so.
    std::map<int64_t, int64_t> seconds_of;
    for (const auto& [id, s] : book_sales_) {
        auto was = sale_used_.find(id);
        if (was != sale_used_.end() && (!s.session || *s.session != was->second))
            violation("sale " + std::to_string(id) + " moved from session " + std::to_string(was->second), now_ns());
        if (!s.session) continue;
        sale_used_[id] = *s.session;
        auto ss = sessions_.find(*s.session);
        if (ss == sessions_.end()) {
            violation("sale " + std::to_string(id) + " used by session " + std::to_string(*s.session) + ", not in the book",
                      now_ns());
            continue;
        }
        if (ss->second.card != s.card || (s.boat && *s.boat != ss->second.boat) || ss->second.started_at < s.sold_at)
            violation("sale " + std::to_string(id) + " used by session " + std::to_string(ss->first) +
                          " of another card or boat, or before it was sold",
                      now_ns());
        seconds_of[*s.session] += s.seconds;
    }
    // A session's time is the time sold for it; one boat's sessions and
    // one card's sessions never overlap.
    for (const auto& [id, s] : sessions_) {
        const int64_t paid = s.first_paid_end - s.started_at;
        if (s.cut ? paid > seconds_of[id] : paid != seconds_of[id])
            violation("session " + std::to_string(id) + " runs " + std::to_string(paid) + " s for " +
                          std::to_string(seconds_of[id]) + " s sold",
                      now_ns());
        const int64_t end = s.ended_at ? std::min(*s.ended_at, s.paid_end) : s.paid_end;
        for (const auto& [oid, o] : sessions_) {
            if (oid <= id || (o.boat != s.boat && o.card != s.card)) continue;
            const int64_t oend = o.ended_at ? std::min(*o.ended_at, o.paid_end) : o.paid_end;
            if (std::max(s.started_at, o.started_at) < std::min(end, oend))
                violation("sessions " + std::to_string(id) + " and " + std::to_string(oid) + " overlap (" +
                              (o.boat == s.boat ? "one boat" : "one card on two boats") + ")",
                          now_ns());
        }
    }
}

void ShoreSeason::poll() {
    const int64_t now = now_ns();
    offset_ns_ = real_ns() - now;  // follows any slewing of the wall clock
    for (Boat& b : boats_) {
        const auto events = b.board->events_since(b.seq);
        if (!events.empty() && b.seq != 0 && events.front().seq != b.seq + 1)
            fprintf(stderr, "soak: %" PRIu64 " events of boat %d were lost from the log\n", events.front().seq - b.seq - 1,
                    b.number);
        for (const auto& e : events) {
            b.recent.push_back(e);
            if (b.recent.size() > 24) b.recent.pop_front();
            check_event(b, e);
            b.seq = e.seq;
        }
        if (b.run_on && !b.late_reported && now > run_deadline(b)) {
            b.late_reported = true;
            violation("boat " + std::to_string(b.number) + ": run relay still on " +
                          std::to_string((now - run_deadline(b)) / 1000000) + " ms past its bound",
                      now);
        }
        if (b.terminal && !b.terminal->running()) {
            violation("boat " + std::to_string(b.number) + "'s terminal died (status " +
                          std::to_string(b.terminal->exit_status()) + ", signal " + std::to_string(b.terminal->term_signal()) +
                          ")",
                      now);
            b.terminal.reset();
            g_interrupted = 1;
        }
    }
    for (Kill& k : kills_)
        if (!k.reached && k.released_from == 0 && now > kill_deadline(k)) {
            k.reached = now;  // reported once
            violation("boat " + std::to_string(k.boat) + ": kill relay not set " +
                          std::to_string((now - k.ordered) / 1000000) + " ms after the kill order",
                      now);
        }
}

bool ShoreSeason::wait(int64_t ns, const std::function<bool()>& until) {
    return poll_for(ns, [this] { poll(); }, until);
}

// --- steps ------------------------------------------------------------------------

void ShoreSeason::log_step(const std::string& what) { steps_.add(what, dir_, t0_); }

// A card held to the reader for a moment.
void ShoreSeason::tap(Boat& b, const std::string& card) {
    taps_++;
    auto uid = testsupport::hex_bytes(card);
    boatsim::card_put(b.board->state(), uid.data(), static_cast<uint8_t>(uid.size()), nullptr, -1);
    b.in_field.push_back(card);
}

void ShoreSeason::sell(bool kill_midway) {
    Sale s;
    s.card = kCards[static_cast<size_t>(pick(static_cast<int>(kCards.size())))];
    s.seconds = 10 + pick(51);
    if (pick(3) == 0) s.boat = 1 + pick(2);
    // Upper case as boat_tracker reads it, half the time.
    std::string typed = s.card;
    if (pick(2))
        for (char& c : typed) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    std::vector<std::string> args {"sell", "--card", typed, "--seconds", std::to_string(s.seconds)};
    if (s.boat) {
        args.push_back("--boat");
        args.push_back(std::to_string(*s.boat));
    }
    const int kill_after = kill_midway ? pick(40) : -1;
    log_step("sell " + s.card + " " + std::to_string(s.seconds) + " s" +
             (s.boat ? " for boat " + std::to_string(*s.boat) : std::string()) +
             (kill_midway ? ", the command killed after " + std::to_string(kill_after) + " ms" : std::string()));
    std::string out;
    const bool ok = shore_command(args, &out, kill_after);
    if (kill_midway) {
        sells_killed_++;
        killed_sales_.push_back(s);
        return;
    }
    // "sale ID ..."
    if (!ok || out.rfind("sale ", 0) != 0) {
        violation("boat_shore sell failed: " + out + testsupport::read_file(dir_ + "/command.err"), now_ns());
        return;
    }
    s.id = atoll(out.c_str() + 5);
    if (receipts_.count(s.id)) violation("two receipts with sale id " + std::to_string(s.id), now_ns());
    receipts_[s.id] = s;
    sold_++;
}

bool ShoreSeason::fault_any(Boat& b) {
    boatsim::Lock lock(&b.board->state());
    for (int i = 0; i <= static_cast<int>(boatsim::Fault::pn532_mute); i++)
        if (boatsim::fault_active(b.board->state(), static_cast<boatsim::Fault>(i))) return true;
    return false;
}

void ShoreSeason::step() {
    // Cards put on a reader come off again at the next step.
    for (Boat& b : boats_) {
        for (const std::string& c : b.in_field) {
            auto uid = testsupport::hex_bytes(c);
            boatsim::card_take(b.board->state(), uid.data(), static_cast<uint8_t>(uid.size()));
        }
        b.in_field.clear();
    }

    // Faults, kills that have had their time and outages mostly go again
    // soon, so that most of the season has readers that read, boats that
    // may run and a shore that answers.
    const bool mend = pick(4) == 0, release = pick(3) == 0, back = pick(3) == 0;
    if (back && !shore_up_) {
        log_step("shore back");
        if (!start_shore()) g_interrupted = 1;
    }
    for (Boat& x : boats_) {
        Kill* k = pending_kill(x.number, now_ns());
        if (release && k && (k->reached || now_ns() > kill_deadline(*k))) {
            log_step("release boat " + std::to_string(x.number));
            k->released_from = now_ns();
            if (!shore_command({"release", "--boat", std::to_string(x.number)}, nullptr))
                violation("boat_shore release failed: " + testsupport::read_file(dir_ + "/command.err"), now_ns());
            k->released = now_ns();
        }
        if (mend && fault_any(x)) {
            log_step("fault clear all on boat " + std::to_string(x.number));
            boatsim::fault_clear_all(x.board->state());
        }
    }

    const int r = pick(100);
    int64_t rest = pick_ns(0.3, 4);
    Boat& b = boat(1 + pick(2));
    const std::string card = kCards[static_cast<size_t>(pick(static_cast<int>(kCards.size())))];
    if (r < 30) {
        // The owner of the boat's session now and then, else any card.
        auto it = sessions_.find(b.session);
        const bool owner = pick(3) == 0 && b.run_on && it != sessions_.end();
        const std::string c = owner ? it->second.card : card;
        log_step("tap " + c + " on boat " + std::to_string(b.number) + (owner ? " (its owner)" : ""));
        tap(b, c);
        rest = pick_ns(0.3, 2.5);
    } else if (r < 35) {
        log_step("tap " + card + " on both boats at once");
        both_taps_++;
        tap(boat(1), card);
        tap(boat(2), card);
        rest = pick_ns(0.5, 2.5);
    } else if (r < 50) {
        sell(pick(8) == 0);
    } else if (r < 54) {
        log_step("staff end on boat " + std::to_string(b.number));
        read_book();
        cuts_.push_back({b.number, now_ns()});
        if (b.run_on) b.cut_at = now_ns();
        ends_++;
        shore_command({"end", "--boat", std::to_string(b.number)}, nullptr);  // none open: refused
        read_book();
    } else if (r < 58) {
        if (pending_kill(b.number, now_ns())) {
            log_step("wait (boat " + std::to_string(b.number) + " has a kill order)");
        } else {
            log_step("kill boat " + std::to_string(b.number));
            const int64_t from = now_ns();
            cuts_.push_back({b.number, from});
            if (!shore_command({"kill", "--boat", std::to_string(b.number)}, nullptr))
                violation("boat_shore kill failed: " + testsupport::read_file(dir_ + "/command.err"), now_ns());
            kills_.push_back({b.number, from, now_ns()});
            if (b.run_on) b.cut_at = from;
            kill_orders_++;
        }
    } else if (r < 62) {
        if (!shore_up_) {
            log_step("shore back");
            if (!start_shore()) g_interrupted = 1;
        } else {
            const bool hard = pick(2) == 0;
            log_step(hard ? "shore kill -9 and restart" : "shore SIGTERM and restart");
            stop_shore(hard);
            (hard ? hard_kills_ : restarts_)++;
            wait(pick_ns(0, 3));
            if (!start_shore()) g_interrupted = 1;
        }
    } else if (r < 66) {
        // kill -9 while a card's new session is being decided.
        const int64_t delay_ms = 50 + pick(600);
        log_step("tap " + card + " on boat " + std::to_string(b.number) + ", shore kill -9 after " +
                 std::to_string(delay_ms) + " ms");
        if (shore_up_) {
            tap(b, card);
            wait(delay_ms * 1000000);
            stop_shore(true);
            midsale_kills_++;
            wait(pick_ns(0.5, 4));
            if (!start_shore()) g_interrupted = 1;
        }
    } else if (r < 69) {
        if (shore_up_) {
            const bool hole = pick(2) == 0;
            log_step(hole ? "shore stops taking connections" : "shore down");
            stop_shore(false);
            if (hole && !blackhole_.hold(kShorePort)) g_interrupted = 1;
            outages_n_++;
            rest = pick_ns(2, 20);
        } else {
            log_step("shore back");
            if (!start_shore()) g_interrupted = 1;
        }
    } else if (r < 78) {
        const FaultDraw d = draw_reader_fault(b.board->state(), b.tracker, [this](int n) { return pick(n); });
        if (d.on) faults_++;
        log_step(std::string(d.on ? "fault set " : "fault clear ") + boatsim::fault_name(d.fault) + " on boat " +
                 std::to_string(b.number));
        boatsim::fault_set(b.board->state(), d.fault, d.on);
    } else if (r < 80) {
        log_step("fault clear all on boat " + std::to_string(b.number));
        boatsim::fault_clear_all(b.board->state());
    } else if (r < 90) {
        log_step("wait long");
        rest = pick_ns(5, 25);
    } else {
        log_step("wait");
    }
    wait(rest);
    check_book();
}

void ShoreSeason::measure_idle() {
    // boat_checkin's blink cycle, the longest with a healthy reader and
    // with each reader fault; boat_tracker's pass is bounded instead.
    Boat& b = boat(1);
    boat(2).allowance = kTrackerAllowanceNs;
    wait(kBlinkPerFaultNs);
    for (boatsim::Fault f : kReaderFaults) {
        boatsim::fault_set(b.board->state(), f, true);
        wait(kBlinkPerFaultNs);
        boatsim::fault_set(b.board->state(), f, false);
    }
    wait(kBlinkPerFaultNs);
    const int64_t blink = longest_blink(b.blink_gaps);
    b.allowance = blink + kSecond;
    printf("soak: %zu blink cycles of boat 1 while idle (healthy and faulty reader), the longest %.2f s\n",
           b.blink_gaps.size(), static_cast<double>(blink) / kSecond);
}

int ShoreSeason::run() {
    catch_interrupts();
    t0_ = now_ns();
    offset_ns_ = real_ns() - now_ns();
    conf_ = dir_ + "/shore.conf";
    testsupport::write_file(conf_, "DATABASE=sqlite:" + dir_ + "/shore.db\nLISTEN=127.0.0.1:" +
                                       std::to_string(kShorePort) + "\n");
    for (int n : {1, 2}) {
        Boat b;
        b.number = n;
        b.tracker = n == 2;
        b.pins = b.tracker ? kTrackerPins : kCheckinPins;
        b.board = std::make_unique<testsupport::TempBoard>(b.tracker ? boatsim::Profile::tracker : boatsim::Profile::checkin);
        b.dir = dir_ + "/boat" + std::to_string(n);
        mkdir(b.dir.c_str(), 0755);
        mkdir((b.dir + "/credentials").c_str(), 0755);
        testsupport::write_file(b.dir + "/boatid.txt", std::to_string(n) + "\n");
        testsupport::write_file(b.dir + "/credentials/terminal.conf",
                                "CHECKIN_INTERVAL=" + std::to_string(kCheckinInterval) + "\n");
        chmod((b.dir + "/credentials/terminal.conf").c_str(), 0600);
        boats_.push_back(std::move(b));
    }
    if (!shore_command({"boat", "add", "--boat", "1", "--name", "Checkin", "--kind", "checkin"}, nullptr) ||
        !shore_command({"boat", "add", "--boat", "2", "--name", "Tracker", "--kind", "tracker"}, nullptr)) {
        fprintf(stderr, "soak: boat_shore boat add failed: %s\n", testsupport::read_file(dir_ + "/command.err").c_str());
        return 2;
    }
    if (!peers_.start(boat(2).board->env()) || !start_shore() || !start_terminal(boat(1)) || !start_terminal(boat(2))) return 2;
    measure_idle();
    printf("soak shore seed %" PRIu64 ": check-in interval %d s, allowance past a paid end %.2f s (boat 1), %.2f s "
           "(boat 2), work in %s\n",
           opt_.seed, kCheckinInterval, static_cast<double>(boat(1).allowance) / kSecond,
           static_cast<double>(boat(2).allowance) / kSecond, dir_.c_str());
    fflush(stdout);

    // The season opens with time on a few cards.
    for (int i = 0; i < 3; i++) sell(false);
    const int64_t end = t0_ + static_cast<int64_t>(opt_.minutes * 60 * kSecond);
    while (now_ns() < end && !g_interrupted) step();

    // The end of the season: faults gone, the shore back, every bound
    // still open given its time, then a last look at the book.
    for (Boat& b : boats_) boatsim::fault_clear_all(b.board->state());
    if (!shore_up_) start_shore();
    int64_t last = now_ns();
    for (const Boat& b : boats_)
        if (b.run_on) last = std::max(last, run_deadline(b));
    for (const Kill& k : kills_)
        if (!k.reached && k.released_from == 0) last = std::max(last, kill_deadline(k));
    wait(std::min(last - now_ns() + kPollNs, 120 * kSecond));
    check_book();

    printf("\nsoak shore, seed %" PRIu64 ", %.1f min\n", opt_.seed, static_cast<double>(now_ns() - t0_) / kSecond / 60);
    printf("  %-34s %10d\n", "steps", steps_.count());
    printf("  %-34s %10d (%d on both boats at once)\n", "taps", taps_, both_taps_);
    printf("  %-34s %10d (and %d killed mid-way)\n", "sales", sold_, sells_killed_);
    printf("  %-34s %10zu\n", "sessions in the book", sessions_.size());
    printf("  %-34s %10d\n", "grants (run relay on)", grants_);
    printf("  %-34s %10d\n", "staff ends", ends_);
    printf("  %-34s %10d\n", "kill orders", kill_orders_);
    printf("  %-34s %10d (%d kill -9, %d of them mid-sale)\n", "shore restarts", restarts_ + hard_kills_ + midsale_kills_,
           hard_kills_ + midsale_kills_, midsale_kills_);
    printf("  %-34s %10d\n", "shore outages", outages_n_);
    printf("  %-34s %10d\n", "reader faults", faults_);
    printf("  %-34s %10d\n", "violations", violations_);
    if (worst_overrun_ == INT64_MIN)
        printf("  %-34s %10s\n", "worst overrun past paid end", "none");
    else
        printf("  %-34s %8.2f s (allowed %.2f s)\n", "worst overrun past paid end",
               static_cast<double>(worst_overrun_) / kSecond, static_cast<double>(boat(1).allowance) / kSecond);
    printf("  %-34s %8.2f s (interval %d s)\n", "slowest kill", static_cast<double>(worst_kill_) / kSecond,
           kCheckinInterval);
    return verdict(violations_);
}

int usage() {
    fprintf(stderr, "usage: soak --shore [--minutes N] [--seed S] [--out DIR]\n");
    return 2;
}

}  // namespace

// argv[0] is "--shore".
int soak_shore_main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return usage();
        const std::string v = argv[++i];
        if (!take_option(a, v, &o)) return usage();
    }
    if (o.minutes <= 0) return usage();
    if (!take_host({kShorePort, testsupport::kGpsdPort, kDbPort})) return 2;
    if (!o.out.empty()) mkdir(o.out.c_str(), 0755);
    ShoreSeason season(o);
    return season.run();
}
