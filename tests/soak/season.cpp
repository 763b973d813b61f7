#include "season.h"

#include "private_mounts.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>

namespace season {

volatile sig_atomic_t g_interrupted = 0;

namespace {
void on_interrupt(int) { g_interrupted = 1; }
}  // namespace

const char* terminal_program(bool tracker) { return tracker ? "tracker/boat_tracker" : "checkin/boat_checkin"; }

const char* terminal_ready(bool tracker) { return tracker ? "Start Loop\r\n" : "All LED OFF"; }

void catch_interrupts() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, on_interrupt);
    signal(SIGTERM, on_interrupt);
}

int64_t now_ns() { return static_cast<int64_t>(boatsim::monotonic_ns()); }

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

Options::Options() : seed(std::random_device {}()) {
    const char* env = getenv("BOAT_SOAK_MINUTES");
    if (env && atof(env) > 0) minutes = atof(env);
}

bool take_option(const std::string& a, const std::string& v, Options* o) {
    if (a == "--minutes") {
        o->minutes = atof(v.c_str());
    } else if (a == "--seed") {
        o->seed = strtoull(v.c_str(), nullptr, 10);
    } else if (a == "--out") {
        o->out = v;
    } else {
        return false;
    }
    return true;
}

bool take_host(std::initializer_list<int> ports) {
    if (geteuid() == 0) {
        std::string why;
        if (testsupport::enter_private_host(&why)) return true;
        fprintf(stderr, "soak: %s\n", why.c_str());
        return false;
    }
    for (int port : ports) {
        if (!testsupport::port_open(port)) continue;
        fprintf(stderr, "soak: not root, so on the shared loopback, where port %d is taken\n", port);
        return false;
    }
    return true;
}

bool poll_for(int64_t ns, const std::function<void()>& poll, const std::function<bool()>& until) {
    const int64_t end = now_ns() + ns;
    for (;;) {
        if (until && until()) return true;
        poll();
        const int64_t left = end - now_ns();
        if (left <= 0 || g_interrupted) return until ? until() : true;
        usleep(static_cast<useconds_t>(std::min(left, kPollNs) / 1000));
    }
}

int verdict(int violations) {
    const bool passed = violations == 0 && !g_interrupted;
    if (g_interrupted) printf("  interrupted before its time\n");
    printf("%d passed, %d failed\n", passed ? 1 : 0, passed ? 0 : 1);
    return passed ? 0 : 1;
}

std::string describe(const boatsim::GpioEvent& e, int64_t t0) {
    char b[80];
    snprintf(b, sizeof b, "+%.3f s  GPIO %u = %u  (#%" PRIu64 ")",
             static_cast<double>(static_cast<int64_t>(e.t_ns) - t0) / kSecond, e.pin, e.level, e.seq);
    return b;
}

void StepLog::add(const std::string& what, const std::string& dir, int64_t t0) {
    char b[64];
    snprintf(b, sizeof b, "#%d +%.1f s ", count() + 1, static_cast<double>(now_ns() - t0) / kSecond);
    lines_.push_back(b + what);
    std::ofstream(dir + "/steps.log", std::ios::app) << lines_.back() << "\n";
}

// boat_checkin polls its reader this often while idle, and blinks once in
// this many polls.
constexpr int kIdlePollsPerBlink = 13;
constexpr int64_t kIdlePollNs = 200000000;

int64_t longest_blink(const std::vector<int64_t>& gaps) {
    int64_t blink = kIdlePollsPerBlink * kIdlePollNs;
    for (int64_t g : gaps) blink = std::max(blink, g);
    return blink;
}

FaultDraw draw_reader_fault(boatsim::BoardState& state, bool tracker, const std::function<int(int)>& pick) {
    static const boatsim::Fault kCheckinFaults[] = {
        boatsim::Fault::rc522_reset, boatsim::Fault::rc522_absent_low, boatsim::Fault::rc522_absent_high,
        boatsim::Fault::rc522_antenna_off, boatsim::Fault::card_bad_bcc, boatsim::Fault::card_parity,
        boatsim::Fault::card_bad_crc, boatsim::Fault::card_no_select};
    static const boatsim::Fault kTrackerFaults[] = {boatsim::Fault::pn532_line_closed, boatsim::Fault::pn532_mute};
    const boatsim::Fault* list = tracker ? kTrackerFaults : kCheckinFaults;
    const int n = tracker ? 2 : 8;
    std::vector<boatsim::Fault> set;
    {
        boatsim::Lock lock(&state);
        for (int i = 0; i < n; i++)
            if (boatsim::fault_active(state, list[i])) set.push_back(list[i]);
    }
    const bool on = set.empty() || pick(10) < 3;
    return {on ? list[pick(n)] : set[static_cast<size_t>(pick(static_cast<int>(set.size())))], on};
}

bool PortBlackhole::hold(int port) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // The stopped server's side of a kept-alive connection stays bound in
    // FIN-WAIT-2 until the terminal next uses it; the server set
    // SO_REUSEPORT, and only the same option of the same user passes it.
    setsockopt(listener_, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 0) != 0) {
        fprintf(stderr, "soak: cannot hold port %d: %s\n", port, strerror(errno));
        release();
        return false;
    }
    for (int i = 0; i < 3; i++) {
        int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
            close(c);
            continue;
        }
        clients_.push_back(c);
    }
    return true;
}

void PortBlackhole::release() {
    for (int c : clients_) close(c);
    clients_.clear();
    if (listener_ >= 0) close(listener_);
    listener_ = -1;
}

bool TrackerPeers::start(const std::string& board_env) {
    if (!start_db() || !start_gpsd()) return false;
    nfc_ = std::make_unique<testsupport::Process>(testsupport::ProcessOptions {
        {testsupport::bin("sim/boatsim"), "nfc", "--link", dir_ + "/reader"},
        {board_env}, "", dir_ + "/nfc.out", dir_ + "/nfc.err", ""});
    if (!testsupport::wait_until(
            [&] { return testsupport::read_file(dir_ + "/nfc.out").find('\n') != std::string::npos; }, 10000, 50)) {
        fprintf(stderr, "soak: the emulated NFC reader did not start: %s\n", testsupport::read_file(dir_ + "/nfc.err").c_str());
        return false;
    }
    return true;
}

// A server on a copy of a data directory with the schema, made first.
bool TrackerPeers::start_db() {
    std::string why;
    const std::string tmpl = dir_ + "/db-template";
    db_ = std::make_unique<testsupport::MariaDb>();
    if (!testsupport::MariaDb::make_template(tmpl, &why) || !db_->start(dir_ + "/db", tmpl)) {
        fprintf(stderr, "soak: the tracker's MariaDB did not start: %s%s\n", why.c_str(), db_->error().c_str());
        return false;
    }
    return true;
}

bool TrackerPeers::start_gpsd() {
    gpsd_up_ = gpsd_.start(testsupport::source_path("tests/tracker/data/haicom-305N.log"), "0.15", dir_);
    if (!gpsd_up_) fprintf(stderr, "soak: %s\n", gpsd_.error().c_str());
    return gpsd_up_;
}

void TrackerPeers::stop_gpsd() {
    gpsd_.stop();
    gpsd_up_ = false;
}

void TrackerPeers::stop() {
    if (nfc_) nfc_->stop(3000);
    nfc_.reset();
    stop_gpsd();
    db_.reset();  // the server stops with it
}

}  // namespace season
