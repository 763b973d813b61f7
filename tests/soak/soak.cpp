// A season on the water in minutes: one terminal as built, on a simulated
// board, against its real peers (the check-in server; for boat_tracker
// also gpsd through gpsfake, a MariaDB server of its own and the emulated
// NFC reader), driven by a seeded random list of steps: cards put and
// taken, server answers and misbehaviour, board and peer faults, stop
// signals and restarts. After every step, and every 100 ms within one, the
// board's event log and the server's request log are checked against the
// invariants below; a violation prints the seed, the steps up to it and the
// offending events. The same seed draws the same steps with the same waits.
//
//   soak --terminal checkin|tracker [--minutes N] [--seed S] [--out DIR]
//   soak --shore ...   both terminals against boat_shore (shore_season.cpp)
//
// --minutes defaults to BOAT_SOAK_MINUTES, else 1; --seed to a random
// one, which the first line of output shows; --out keeps the work
// folder (logs, the steps drawn) instead of a temporary one.
//
// Invariants:
//   - the run relay is on no later than the paid end of the last grant plus
//     the allowance (boat_checkin: one blink cycle, the longest measured
//     while idle with a healthy reader and with each reader fault, and one
//     second; boat_tracker: 5 s);
//   - the run relay goes on only as the outcome of a grant;
//   - the kill relay goes on only for a KILL and off only for an answer
//     that is not KILL;
//   - the terminal never dies, and its CPU stays near its idle figure;
//   - after a stop signal it ends within a few seconds, status 0, with the
//     run relay off and the LED off.
//
// Run as root it first moves into a network namespace of its own (with
// only a loopback), so its fixed ports never meet another test's.
#include "checkin_server.h"
#include "faults.h"
#include "field.h"
#include "process.h"
#include "season.h"
#include "temp_board.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using testsupport::Process;
using testsupport::ProcessOptions;
using namespace season;

namespace {

constexpr const char* kUnknownAnswer = "BAD";  // checkin-server's --unknown default
constexpr int64_t kStopBoundNs = 3 * kSecond;        // stop signal to exit
constexpr int64_t kCpuWindowNs = 30 * kSecond;
constexpr double kCpuFactor = 4.0;   // a window may cost this many idle figures
constexpr double kCpuMargin = 0.10;  // and this much of a core on top
constexpr int64_t kBlinkPerFaultNs = 8 * kSecond;  // two blink cycles and the change

constexpr uint8_t kLed[] = {17, 22, 27};  // lit when low

// What an answer is meant to do to the boat.
enum class Effect { grant, kill, bad, fail };
struct Intent {
    Effect effect;
    bool numbers;  // a grant with days and seconds
    int seconds;
};

struct Request {
    int64_t t;  // arrival at the server
    std::string rfid;
    std::string answer;
    bool used = false;  // its grant started the boat
};

std::string hex(const std::vector<uint8_t>& b) {
    std::string s;
    char two[3];
    for (uint8_t x : b) {
        snprintf(two, sizeof two, "%02x", x);
        s += two;
    }
    return s;
}

// CPU seconds (user and system) a process has used, from /proc/PID/stat.
double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t paren = text.rfind(')');
    if (paren == std::string::npos) return -1;
    std::istringstream fields(text.substr(paren + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    // Fields from the state (3rd) on; utime and stime are the 14th and 15th.
    for (int i = 3; i <= 15 && fields >> f; i++) {
        if (i == 14) utime = std::stoull(f);
        if (i == 15) stime = std::stoull(f);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class Soak {
public:
    explicit Soak(const Options& o)
        : opt_(o), pins_(o.tracker ? kTrackerPins : kCheckinPins), rng_(o.seed),
          dir_(o.out.empty() ? tmp_.path() : o.out), board_(o.tracker ? boatsim::Profile::tracker : boatsim::Profile::checkin),
          peers_(dir_) {
        cards_file_ = dir_ + "/cards.txt";
    }
    ~Soak() { stop_everything(); }

    int run();

private:
    // --- peers and the terminal -------------------------------------------------
    bool start_server();
    void stop_server();
    bool start_terminal();
    void mend_db();
    void mend_tracker_peers();
    void stop_everything();

    // --- checking ---------------------------------------------------------------
    void poll();
    void read_requests();
    void check_event(const boatsim::GpioEvent& e);
    Request* latest_request_before(int64_t t);
    Intent intent_of(const std::string& answer) const;
    void violation(const std::string& what, int64_t t);
    void check_cpu(int64_t now);
    // Polls for `ns`; stops early when `until` holds. True when it held.
    bool wait(int64_t ns, const std::function<bool()>& until = nullptr);

    // --- steps ------------------------------------------------------------------
    void step();
    void log_step(const std::string& what);
    std::string draw_answer(Intent* intent);
    void set_answer(const std::string& uid, const std::string& answer, const Intent& intent);
    void write_cards();
    void stop_signal();
    void measure_idle();
    int pick(int n) { return static_cast<int>(std::uniform_int_distribution<int>(0, n - 1)(rng_)); }
    int64_t pick_ns(double lo_s, double hi_s) {
        return static_cast<int64_t>(std::uniform_real_distribution<double>(lo_s, hi_s)(rng_) * kSecond);
    }

    Options opt_;
    Pins pins_;
    std::mt19937_64 rng_;
    testsupport::TempDir tmp_;
    std::string dir_;
    testsupport::TempBoard board_;

    std::unique_ptr<Process> terminal_;
    testsupport::CheckinServer server_;
    TrackerPeers peers_;
    int server_starts_ = 0;
    std::string server_log_;
    size_t server_log_offset_ = 0;
    PortBlackhole blackhole_;
    bool server_up_ = false;
    enum class DbFault { none, locked, frozen, down };
    DbFault db_fault_ = DbFault::none;
    bool expect_exit_ = false;

    std::string cards_file_;
    std::map<std::string, std::string> answers_;  // uid -> answer as written in the cards file
    std::map<std::string, Intent> intents_;       // answer -> what it is meant to do
    std::vector<std::string> in_field_;

    // What the board has shown.
    uint64_t seq_ = 0;
    std::deque<boatsim::GpioEvent> recent_;  // for violation reports
    std::vector<Request> requests_;
    bool run_on_ = false;
    bool late_reported_ = false;
    int64_t paid_end_ = 0;
    int last_seconds_ = 0;  // the terminal's Seconds: kept by a grant without numbers
    int64_t allowance_ = INT64_MAX / 4;  // nothing is late until the idle figures are known
    int64_t led_off_at_ = 0;
    bool blue_lit_ = false;
    std::vector<int64_t> blink_gaps_;

    // CPU of the current terminal process.
    double idle_cpu_ = 0;     // CPU seconds per second while idle
    bool idle_measured_ = false;  // a quiet terminal may measure 0
    double worst_cpu_ = 0;
    int64_t cpu_t0_ = 0;
    double cpu_s0_ = 0;

    // The table.
    int cards_ = 0, grants_ = 0, faults_ = 0, server_failures_ = 0, stops_ = 0, violations_ = 0;
    int64_t worst_overrun_ = INT64_MIN;
    StepLog steps_;
    int64_t t0_ = 0;
};

// --- answers ----------------------------------------------------------------------

// A random answer and what it is meant to do. Hangs and drips either end
// well inside the terminal's 30 s time-out or well past it.
std::string Soak::draw_answer(Intent* in) {
    auto grant_text = [&](Intent* g) {
        int r = pick(10);
        if (r == 0) {
            *g = {Effect::grant, false, 0};
            return std::string(pick(2) ? "OK" : "OK  \\r\\n");
        }
        int s = r == 1 ? 0 : r == 2 ? -5 : r == 3 ? 40 : 1 + pick(15);
        *g = {Effect::grant, true, s};
        return std::string(pick(3) ? "OK" : " \\xEF\\xBB\\xBFOK") + " 0 " + std::to_string(s);
    };
    auto plain = [&](Intent* p) {
        int r = pick(20);
        if (r < 12) return grant_text(p);
        if (r < 14) {
            *p = {Effect::bad, false, 0};
            return std::string(pick(2) ? "BAD" : "BADGE card blocked");
        }
        if (r < 16) {
            *p = {Effect::kill, false, 0};
            return std::string(pick(2) ? "KILL" : "KILLED");
        }
        *p = {Effect::fail, false, 0};
        const char* garbage[] = {"<br />\\n<b>Warning</b>: Undefined variable", "OK 0 99999999999", "OK 4", "killed",
                                 "X"};
        return std::string(garbage[pick(5)]);
    };
    switch (pick(16)) {
    case 0: {
        *in = {Effect::fail, false, 0};
        const int status[] = {404, 500, 502, 503};
        Intent inner {};
        std::string body = plain(&inner);
        // An error status never grants, but its kill or refusal acts.
        if (inner.effect == Effect::kill || inner.effect == Effect::bad) *in = inner;
        return "!status " + std::to_string(status[pick(4)]) + " " + body;
    }
    case 1:
        *in = {Effect::fail, false, 0};
        return "!hang";
    case 2: {
        std::string text = plain(in);
        if (pick(4) == 0) {
            *in = {Effect::fail, false, 0};
            return "!drip 6000 " + text + "xxxxxxxx";  // beyond the time-out
        }
        // Whole within 20 s; escapes count as one byte each, or more.
        const int most = std::max(2, 20000 / static_cast<int>(text.size()));
        return "!drip " + std::to_string(50 + pick(std::min(most, 2000))) + " " + text;
    }
    case 3: {
        std::string text = plain(in);
        if (pick(5) == 0) {
            *in = {Effect::fail, false, 0};
            return "!slow 40000 " + text;
        }
        return "!slow " + std::to_string(300 + pick(6000)) + " " + text;
    }
    case 4:
        *in = {Effect::fail, false, 0};
        return pick(2) ? "!reset" : "!empty";
    case 5: {
        std::string text = grant_text(in);
        return "!redirect " + text;
    }
    case 6: {
        std::string text = plain(in);
        // Split where no escape is cut in two.
        if (text.size() < 2 || text.find('\\') != std::string::npos) return text;
        size_t cut = 1 + static_cast<size_t>(pick(static_cast<int>(text.size()) - 1));
        return "!chunks " + text.substr(0, cut) + "|" + text.substr(cut);
    }
    default:
        return plain(in);
    }
}

// The intent of an answer as the server logged it. A drip cut short by its
// length or a redirect's first leg carry the intent of what they stand for.
Intent Soak::intent_of(const std::string& answer) const {
    auto it = intents_.find(answer);
    if (it != intents_.end()) return it->second;
    // The second leg of a redirect logs the text behind the directive.
    for (const auto& [text, intent] : intents_)
        if (text.rfind("!redirect ", 0) == 0 && text.substr(10) == answer) return intent;
    return {Effect::fail, false, 0};
}

void Soak::set_answer(const std::string& uid, const std::string& answer, const Intent& intent) {
    answers_[uid] = answer;
    intents_[answer] = intent;
    write_cards();
}

void Soak::write_cards() {
    std::string text;
    for (const auto& [uid, answer] : answers_) text += uid + " " + answer + "\n";
    testsupport::write_file(cards_file_ + ".new", text);
    rename((cards_file_ + ".new").c_str(), cards_file_.c_str());
}

// --- peers ------------------------------------------------------------------------

bool Soak::start_server() {
    blackhole_.release();
    server_log_ = dir_ + "/server." + std::to_string(++server_starts_) + ".log";
    server_log_offset_ = 0;
    server_up_ = server_.start(kCheckinPort, {"--cards", cards_file_, "--log-time"}, server_log_, dir_ + "/server.err");
    if (!server_up_) fprintf(stderr, "soak: %s\n", server_.error().c_str());
    return server_up_;
}

void Soak::stop_server() {
    read_requests();
    server_.stop(3000);
    server_up_ = false;
}

void Soak::mend_db() {
    testsupport::MariaDb& db = *peers_.db();
    const std::string pid = testsupport::read_file(db.dir() + "/mysqld.pid");
    switch (db_fault_) {
    case DbFault::locked:
        db.exec("UNLOCK TABLES");
        break;
    case DbFault::frozen:
        if (!pid.empty()) kill(std::stoi(pid), SIGCONT);
        break;
    case DbFault::down:
        if (!db.control("resume")) g_interrupted = 1;
        break;
    case DbFault::none:
        break;
    }
    db_fault_ = DbFault::none;
}

// Without its reader, gpsd or database the tracker does not start (and its
// unit would try again): they are mended before a restart.
void Soak::mend_tracker_peers() {
    boatsim::fault_set(board_.state(), boatsim::Fault::pn532_line_closed, false);
    boatsim::fault_set(board_.state(), boatsim::Fault::pn532_mute, false);
    mend_db();
    if (!peers_.gpsd_up() && !peers_.start_gpsd()) g_interrupted = 1;
}

bool Soak::start_terminal() {
    ProcessOptions o;
    o.argv = {testsupport::bin(terminal_program(opt_.tracker))};
    o.env = {board_.env()};
    if (opt_.tracker) o.env.push_back("LIBNFC_DEFAULT_DEVICE=" + peers_.reader());
    o.cwd = dir_;
    // Appended to, across restarts.
    o.stderr_path = dir_ + "/terminal.err.new";
    o.stdout_path = opt_.tracker ? dir_ + "/terminal.out.new" : "";
    {
        std::ofstream all(dir_ + "/terminal.err", std::ios::app);
        all << testsupport::read_file(dir_ + "/terminal.err.new");
    }
    terminal_ = std::make_unique<Process>(o);
    expect_exit_ = false;
    last_seconds_ = 0;
    const std::string ready = terminal_ready(opt_.tracker);
    bool up = wait(60 * kSecond, [&] {
        return testsupport::read_file(o.stderr_path).find(ready) != std::string::npos || !terminal_->running();
    });
    if (!up || !terminal_->running()) {
        fprintf(stderr, "soak: the terminal did not start:\n%s\n", testsupport::read_file(o.stderr_path).c_str());
        return false;
    }
    cpu_t0_ = now_ns();
    cpu_s0_ = cpu_seconds(terminal_->pid());
    return true;
}

void Soak::stop_everything() {
    if (terminal_) terminal_->stop(5000);
    terminal_.reset();
    server_.stop(3000);
    blackhole_.release();
    if (peers_.db() && db_fault_ == DbFault::frozen) mend_db();
    peers_.stop();
}

// --- checking ---------------------------------------------------------------------

void Soak::read_requests() {
    std::ifstream in(server_log_);
    in.seekg(static_cast<std::streamoff>(server_log_offset_));
    std::string line;
    while (std::getline(in, line)) {
        if (in.eof()) break;  // still being written
        server_log_offset_ += line.size() + 1;
        // "<ns> checkin RFID=<serial> BoatID=<n> -> <answer>"
        size_t sp = line.find(' '), arrow = line.find(" -> ");
        if (sp == std::string::npos || arrow == std::string::npos || line.compare(sp + 1, 8, "checkin ") != 0) continue;
        Request r;
        r.t = std::stoll(line.substr(0, sp));
        size_t rfid = line.find("RFID=", sp), boat = line.find(" BoatID=", sp);
        r.rfid = lower(line.substr(rfid + 5, boat - rfid - 5));
        r.answer = line.substr(arrow + 4);
        requests_.push_back(r);
        if (intent_of(r.answer).effect == Effect::fail) server_failures_++;
    }
}

Request* Soak::latest_request_before(int64_t t) {
    Request* best = nullptr;
    for (auto it = requests_.rbegin(); it != requests_.rend(); ++it)
        if (it->t < t) {
            best = &*it;
            break;
        }
    return best;
}

void Soak::violation(const std::string& what, int64_t t) {
    violations_++;
    fprintf(stderr, "\nsoak VIOLATION (seed %" PRIu64 ", %s) at +%.3f s: %s\n", opt_.seed,
            opt_.tracker ? "tracker" : "checkin", static_cast<double>(t - t0_) / kSecond, what.c_str());
    fprintf(stderr, "steps so far:\n");
    for (const auto& s : steps_.lines()) fprintf(stderr, "  %s\n", s.c_str());
    fprintf(stderr, "last board events:\n");
    for (const auto& e : recent_) fprintf(stderr, "  %s\n", describe(e, t0_).c_str());
    fprintf(stderr, "last requests:\n");
    size_t from = requests_.size() > 6 ? requests_.size() - 6 : 0;
    for (size_t i = from; i < requests_.size(); i++)
        fprintf(stderr, "  +%.3f s  %s -> %s\n", static_cast<double>(requests_[i].t - t0_) / kSecond,
                requests_[i].rfid.c_str(), requests_[i].answer.c_str());
    fprintf(stderr, "replay: soak --terminal %s --seed %" PRIu64 " --minutes %g\n\n", opt_.tracker ? "tracker" : "checkin",
            opt_.seed, opt_.minutes);
}

void Soak::check_event(const boatsim::GpioEvent& e) {
    const int64_t t = static_cast<int64_t>(e.t_ns);
    if (e.pin == pins_.run) {
        if (e.level == pins_.run_on) {
            Request* r = latest_request_before(t);
            const Intent in = r ? intent_of(r->answer) : Intent {Effect::fail, false, 0};
            if (!r || in.effect != Effect::grant || r->used) {
                violation("run relay on without a grant" + (r ? " (last answer: " + r->answer + ")" : std::string()), t);
                return;
            }
            r->used = true;
            grants_++;
            if (in.numbers) last_seconds_ = in.seconds;
            // A grant of 0 or fewer seconds ends at the next expiry test.
            paid_end_ = t + static_cast<int64_t>(std::max(0, last_seconds_)) * kSecond;
            run_on_ = true;
            late_reported_ = false;
        } else if (run_on_) {
            run_on_ = false;
            const int64_t over = t - paid_end_;
            worst_overrun_ = std::max(worst_overrun_, over);
            if (over > allowance_ && !late_reported_)
                violation("run relay dropped " + std::to_string(over / 1000000) + " ms past the paid end", t);
        }
        return;
    }
    if (e.pin == pins_.kill) {
        const Request* r = latest_request_before(t);
        const Effect effect = r ? intent_of(r->answer).effect : Effect::fail;
        if (e.level == pins_.kill_on && effect != Effect::kill)
            violation("kill relay set without a KILL" + (r ? " (last answer: " + r->answer + ")" : std::string()), t);
        if (e.level != pins_.kill_on && effect != Effect::grant && effect != Effect::bad)
            violation("kill relay released without an answer that is not KILL" +
                          (r ? " (last answer: " + r->answer + ")" : std::string()),
                      t);
        return;
    }
    // The LED's blue line going dark while idle marks a blink cycle's end
    // (blue at its 11th and 12th poll, off at the 13th).
    if (e.pin == kLed[1]) {
        if (e.level == 1 && blue_lit_ && !run_on_) {
            if (led_off_at_ && t - led_off_at_ < 10 * kSecond) blink_gaps_.push_back(t - led_off_at_);
            led_off_at_ = t;
        }
        blue_lit_ = e.level == 0;
    }
}

void Soak::check_cpu(int64_t now) {
    if (!terminal_ || !terminal_->running() || now - cpu_t0_ < kCpuWindowNs) return;
    const double s = cpu_seconds(terminal_->pid());
    const double rate = (s - cpu_s0_) / (static_cast<double>(now - cpu_t0_) / kSecond);
    worst_cpu_ = std::max(worst_cpu_, rate);
    if (idle_measured_ && rate > kCpuFactor * idle_cpu_ + kCpuMargin) {
        char b[120];
        snprintf(b, sizeof b, "CPU %.3f s/s over %.0f s, idle %.3f s/s", rate,
                 static_cast<double>(now - cpu_t0_) / kSecond, idle_cpu_);
        violation(b, now);
    }
    cpu_t0_ = now;
    cpu_s0_ = s;
}

void Soak::poll() {
    // Taken before the events are read: any event up to now is among them.
    const int64_t now = now_ns();
    const auto events = board_.events_since(seq_);
    read_requests();  // after the events: every request that led to one is in
    if (!events.empty() && seq_ != 0 && events.front().seq != seq_ + 1)
        fprintf(stderr, "soak: %" PRIu64 " board events were lost from the log\n", events.front().seq - seq_ - 1);
    for (const auto& e : events) {
        recent_.push_back(e);
        if (recent_.size() > 30) recent_.pop_front();
        check_event(e);
        seq_ = e.seq;
    }
    if (run_on_ && now > paid_end_ + allowance_ && !late_reported_) {
        late_reported_ = true;
        violation("run relay still on " + std::to_string((now - paid_end_) / 1000000) + " ms past the paid end", now);
    }
    if (terminal_ && !expect_exit_ && !terminal_->running()) {
        violation("the terminal died (status " + std::to_string(terminal_->exit_status()) + ", signal " +
                      std::to_string(terminal_->term_signal()) + ")",
                  now);
        terminal_.reset();
        if (!start_terminal()) g_interrupted = 1;
    }
    check_cpu(now);
}

bool Soak::wait(int64_t ns, const std::function<bool()>& until) {
    return poll_for(ns, [this] { poll(); }, until);
}

// --- steps ------------------------------------------------------------------------

void Soak::log_step(const std::string& what) { steps_.add(what, dir_, t0_); }

void Soak::stop_signal() {
    const int sigs[] = {SIGTERM, SIGINT, SIGHUP};
    const char* names[] = {"SIGTERM", "SIGINT", "SIGHUP"};
    int which = pick(3);
    log_step(std::string("stop signal ") + names[which] + " and restart");
    stops_++;
    expect_exit_ = true;
    const int64_t sent = now_ns();
    kill(terminal_->pid(), sigs[which]);
    bool ended = wait(30 * kSecond, [&] { return !terminal_->running(); });
    const int64_t took = now_ns() - sent;
    poll();
    if (!ended || took > kStopBoundNs) violation("stop signal took " + std::to_string(took / 1000000) + " ms", now_ns());
    if (ended && terminal_->exit_status() != 0)
        violation("ended with status " + std::to_string(terminal_->exit_status()) + " after a stop signal", now_ns());
    if (board_.level(pins_.run) == pins_.run_on) violation("run relay on after a stop signal", now_ns());
    for (uint8_t pin : kLed)
        if (board_.level(pin) == 0) violation("LED lit after a stop signal", now_ns());
    if (!ended) {
        terminal_->stop(1000);
        poll();
    }
    run_on_ = false;
    if (opt_.tracker) mend_tracker_peers();
    // The restart is a new program: its Seconds begins at 0.
    if (!start_terminal()) g_interrupted = 1;
}

void Soak::step() {
    static const std::vector<std::vector<uint8_t>> kUids = {
        {0x0a, 0x1b, 0xc2, 0x03}, {0x11, 0x22, 0x33, 0x44}, {0xde, 0xad, 0xbe, 0xef}, {0x88, 0xa1, 0xb2, 0xc3},
        {0x04, 0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6}, {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66},
        {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a}, {0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa}};

    const int r = pick(100);
    int64_t rest = pick_ns(0.2, 6);
    if (r < 30) {
        // One card, or several at once, each with an answer of its own.
        int n = pick(6) == 0 ? 2 + pick(2) : 1;
        std::string what = "put";
        for (int i = 0; i < n; i++) {
            const auto& uid = kUids[static_cast<size_t>(pick(static_cast<int>(kUids.size())))];
            const std::string text = hex(uid);
            if (std::find(in_field_.begin(), in_field_.end(), text) != in_field_.end()) continue;
            Intent in {};
            std::string answer = draw_answer(&in);
            set_answer(text, answer, in);
            boatsim::card_put(board_.state(), uid.data(), static_cast<uint8_t>(uid.size()), nullptr, -1);
            in_field_.push_back(text);
            cards_++;
            what += " " + text + " (" + answer + ")";
        }
        log_step(what);
    } else if (r < 50) {
        if (in_field_.empty()) {
            log_step("wait");
        } else if (pick(4) == 0) {
            log_step("take all");
            boatsim::card_take_all(board_.state());
            in_field_.clear();
        } else {
            size_t i = static_cast<size_t>(pick(static_cast<int>(in_field_.size())));
            log_step("take " + in_field_[i]);
            auto uid = testsupport::hex_bytes(in_field_[i]);
            boatsim::card_take(board_.state(), uid.data(), static_cast<uint8_t>(uid.size()));
            in_field_.erase(in_field_.begin() + static_cast<long>(i));
        }
    } else if (r < 56) {
        // New answers for every card, those on the reader included (the
        // periodic check-in asks again for the last one).
        std::string what = "answers";
        for (auto& [uid, answer] : answers_) {
            Intent in {};
            answer = draw_answer(&in);
            intents_[answer] = in;
            what += " " + uid + " (" + answer + ")";
        }
        write_cards();
        log_step(what);
    } else if (r < 66) {
        // A fault set usually goes again within a few steps, so that most
        // of the season has a reader that reads.
        const FaultDraw d = draw_reader_fault(board_.state(), opt_.tracker, [this](int n) { return pick(n); });
        if (d.on) faults_++;
        log_step(std::string(d.on ? "fault set " : "fault clear ") + boatsim::fault_name(d.fault));
        boatsim::fault_set(board_.state(), d.fault, d.on);
    } else if (r < 69) {
        log_step("fault clear all");
        boatsim::fault_clear_all(board_.state());
    } else if (r < 74) {
        if (server_up_) {
            const bool hole = pick(2) == 0;
            log_step(hole ? "server stops taking connections" : "server down");
            stop_server();
            // The season would go on without the fault it logged.
            if (hole && !blackhole_.hold(kCheckinPort)) g_interrupted = 1;
            server_failures_++;
            rest = pick_ns(2, 25);
        } else {
            log_step("server back");
            if (!start_server()) g_interrupted = 1;
        }
    } else if (r < 77) {
        stop_signal();
    } else if (r < 85) {
        log_step("wait long");
        rest = pick_ns(5, 40);
    } else if (opt_.tracker && r < 100) {
        // The tracker's peers misbehave until a later step mends them, so
        // that other steps (a stop signal among them) meet them.
        if (pick(4) == 0) {
            log_step(peers_.gpsd_up() ? "gpsd down" : "gpsd back");
            if (peers_.gpsd_up()) {
                peers_.stop_gpsd();
                faults_++;
            } else if (!peers_.start_gpsd()) {
                g_interrupted = 1;
            }
        } else if (db_fault_ != DbFault::none) {
            log_step("database mended");
            mend_db();
        } else {
            db_fault_ = static_cast<DbFault>(1 + pick(3));
            faults_++;
            testsupport::MariaDb& db = *peers_.db();
            const std::string pid = testsupport::read_file(db.dir() + "/mysqld.pid");
            switch (db_fault_) {
            case DbFault::locked:
                log_step("database locked by another client");
                db.exec("LOCK TABLES GPS WRITE");
                break;
            case DbFault::frozen:
                log_step("database server frozen (SIGSTOP)");
                if (!pid.empty()) kill(std::stoi(pid), SIGSTOP);
                break;
            case DbFault::down:
                log_step("database server down");
                db.control("stop");
                break;
            case DbFault::none:
                break;
            }
        }
    } else {
        log_step("wait");
    }
    wait(rest);
}

void Soak::measure_idle() {
    // The idle figures: CPU, and for boat_checkin the blink cycle.
    wait(20 * kSecond);
    const int64_t now = now_ns();
    idle_cpu_ = (cpu_seconds(terminal_->pid()) - cpu_s0_) / (static_cast<double>(now - cpu_t0_) / kSecond);
    idle_measured_ = true;
    cpu_t0_ = now;
    cpu_s0_ = cpu_seconds(terminal_->pid());
    if (opt_.tracker) {
        allowance_ = kTrackerAllowanceNs;
        return;
    }
    // A reader off the bus or in reset makes each poll longer, and with it
    // the blink cycle: the longest cycle of any reader state counts.
    for (boatsim::Fault f : kReaderFaults) {
        boatsim::fault_set(board_.state(), f, true);
        wait(kBlinkPerFaultNs);
        boatsim::fault_set(board_.state(), f, false);
    }
    wait(kBlinkPerFaultNs);
    cpu_t0_ = now_ns();
    cpu_s0_ = cpu_seconds(terminal_->pid());
    const int64_t blink = longest_blink(blink_gaps_);
    allowance_ = blink + kSecond;
    printf("soak: %zu blink cycles while idle (healthy and faulty reader), the longest %.2f s\n", blink_gaps_.size(),
           static_cast<double>(blink) / kSecond);
}

int Soak::run() {
    catch_interrupts();
    t0_ = now_ns();
    answers_.clear();
    // The server's answer to a card it does not know (the periodic
    // check-in before any card was read asks for none).
    intents_[kUnknownAnswer] = {Effect::bad, false, 0};
    write_cards();
    if (opt_.tracker && !peers_.start(board_.env())) return 2;
    if (!start_server() || !start_terminal()) return 2;
    measure_idle();
    printf("soak %s seed %" PRIu64 ": idle CPU %.4f s/s, allowance past a paid end %.2f s, work in %s\n",
           opt_.tracker ? "tracker" : "checkin", opt_.seed, idle_cpu_, static_cast<double>(allowance_) / kSecond,
           dir_.c_str());
    fflush(stdout);

    const int64_t end = t0_ + static_cast<int64_t>(opt_.minutes * 60 * kSecond);
    while (now_ns() < end && !g_interrupted) step();

    // The end of the season: every fault gone, a last stop signal.
    boatsim::fault_clear_all(board_.state());
    if (!server_up_) start_server();
    if (terminal_ && terminal_->running()) {
        expect_exit_ = true;
        kill(terminal_->pid(), SIGTERM);
        wait(30 * kSecond, [&] { return !terminal_->running(); });
        poll();
        if (board_.level(pins_.run) == pins_.run_on) violation("run relay on after the last stop signal", now_ns());
    }

    printf("\nsoak %s, seed %" PRIu64 ", %.1f min\n", opt_.tracker ? "tracker" : "checkin", opt_.seed,
           static_cast<double>(now_ns() - t0_) / kSecond / 60);
    printf("  %-28s %10d\n", "steps", steps_.count());
    printf("  %-28s %10d\n", "cards presented", cards_);
    printf("  %-28s %10d\n", "grants (run relay on)", grants_);
    printf("  %-28s %10d\n", "faults injected", faults_);
    printf("  %-28s %10d\n", "server failures", server_failures_);
    printf("  %-28s %10d\n", "stop signals", stops_);
    printf("  %-28s %10d\n", "violations", violations_);
    if (worst_overrun_ == INT64_MIN)
        printf("  %-28s %10s\n", "worst overrun past paid end", "none");
    else
        printf("  %-28s %8.2f s (allowed %.2f s)\n", "worst overrun past paid end",
               static_cast<double>(worst_overrun_) / kSecond, static_cast<double>(allowance_) / kSecond);
    printf("  %-28s %8.1f s per hour (worst %.0f s per hour over %lld s)\n", "CPU idle", idle_cpu_ * 3600,
           worst_cpu_ * 3600, static_cast<long long>(kCpuWindowNs / kSecond));
    return verdict(violations_);
}

int usage() {
    fprintf(stderr, "usage: soak --terminal checkin|tracker | --shore [--minutes N] [--seed S] [--out DIR]\n");
    return 2;
}

}  // namespace

// Both terminals against boat_shore: shore_season.cpp.
int soak_shore_main(int argc, char** argv);

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "--shore") == 0) return soak_shore_main(argc - 1, argv + 1);
    Options o;
    bool terminal_given = false;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return usage();
        const std::string v = argv[++i];
        if (a == "--terminal" && (v == "checkin" || v == "tracker")) {
            o.tracker = v == "tracker";
            terminal_given = true;
        } else if (!take_option(a, v, &o)) {
            return usage();
        }
    }
    if (!terminal_given || o.minutes <= 0) return usage();
    if (!take_host({kCheckinPort, testsupport::kGpsdPort, kDbPort})) return 2;
    if (!o.out.empty()) mkdir(o.out.c_str(), 0755);
    Soak soak(o);
    return soak.run();
}
