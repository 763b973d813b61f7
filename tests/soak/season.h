// What every season of the soak shares, whichever terminals it runs and
// whatever server they check in with: the host it runs on, the tracker's
// peers, the shore or server taken off the network, the interrupt, the
// clock and the waits, the steps' log, the reader faults drawn and the
// boards' blink cycle.
#pragma once

#include "board_state.h"
#include "faults.h"
#include "gpsd.h"
#include "mariadb.h"
#include "process.h"

#include <signal.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace season {

constexpr int64_t kSecond = 1000000000;
constexpr int64_t kPollNs = 100000000;
constexpr int kCheckinPort = 18080;  // the simulated build's check-in URL
constexpr int kDbPort = 3306;
constexpr int64_t kTrackerAllowanceNs = 5 * kSecond;  // past a paid end

// The lines one terminal drives.
struct Pins {
    uint8_t run, run_on;    // run relay and its level while the boat may run
    uint8_t kill, kill_on;  // kill relay and its level while the kill switch is set
};
constexpr Pins kCheckinPins {23, 1, 14, 1};
constexpr Pins kTrackerPins {15, 0, 4, 1};

const char* terminal_program(bool tracker);
// The line a terminal writes to stderr once it is ready for cards.
const char* terminal_ready(bool tracker);

// Set by SIGINT and SIGTERM (catch_interrupts), and by a season that
// cannot go on.
extern volatile sig_atomic_t g_interrupted;
void catch_interrupts();

int64_t now_ns();
std::string lower(std::string s);

// A season's command line; without --minutes BOAT_SOAK_MINUTES, else a
// short one, and without --seed a random one.
struct Options {
    double minutes = 1.0;
    uint64_t seed = 0;
    std::string out;       // kept work folder; empty: a temporary one
    bool tracker = false;  // soak --terminal tracker
    Options();
};
// --minutes, --seed, --out: true when `a` was one of them.
bool take_option(const std::string& a, const std::string& v, Options* o);

// As root, a network namespace of its own and none of the host's terminal
// settings; otherwise the shared loopback, where `ports` must be free.
// False, said on stderr, when the season cannot run here.
bool take_host(std::initializer_list<int> ports);

// Calls `poll` every kPollNs for `ns`, stopping early when `until` holds or
// the season is interrupted. True when `until` held (or, without one, the
// time passed).
bool poll_for(int64_t ns, const std::function<void()>& poll, const std::function<bool()>& until);

// The verdict closing a season's table, and its exit status: passed with
// no violation and not interrupted.
int verdict(int violations);

// A board event for a violation report, its time from t0.
std::string describe(const boatsim::GpioEvent& e, int64_t t0);

// The steps drawn, numbered, in memory for a violation report and in
// DIR/steps.log.
class StepLog {
public:
    void add(const std::string& what, const std::string& dir, int64_t t0);
    int count() const { return static_cast<int>(lines_.size()); }
    const std::vector<std::string>& lines() const { return lines_; }

private:
    std::vector<std::string> lines_;
};

// The reader faults that make boat_checkin's blink cycle longest; the
// longest cycle seen while idle in any of them sets its allowance.
constexpr boatsim::Fault kReaderFaults[] = {boatsim::Fault::rc522_reset, boatsim::Fault::rc522_absent_low,
                                            boatsim::Fault::rc522_absent_high, boatsim::Fault::rc522_antenna_off};
int64_t longest_blink(const std::vector<int64_t>& gaps);

// A reader fault to set, or now and then one of those set to clear; with
// `pick(n)` drawing from 0 to n - 1, so that a seed draws the same faults.
struct FaultDraw {
    boatsim::Fault fault;
    bool on;
};
FaultDraw draw_reader_fault(boatsim::BoardState& state, bool tracker, const std::function<int(int)>& pick);

// A server that takes no more connections: a listener on a loopback port
// that never accepts, its queue filled, so that a terminal's connection
// attempts go unanswered until its connect time-out.
class PortBlackhole {
public:
    PortBlackhole() = default;
    ~PortBlackhole() { release(); }
    PortBlackhole(const PortBlackhole&) = delete;
    PortBlackhole& operator=(const PortBlackhole&) = delete;
    // False, said on stderr, when the port cannot be held.
    bool hold(int port);
    void release();

private:
    int listener_ = -1;
    std::vector<int> clients_;
};

// boat_tracker's peers: its MariaDB server, gpsd through gpsfake and the
// emulated NFC reader, in DIR.
class TrackerPeers {
public:
    explicit TrackerPeers(std::string dir) : dir_(std::move(dir)) {}
    ~TrackerPeers() { stop(); }
    TrackerPeers(const TrackerPeers&) = delete;
    TrackerPeers& operator=(const TrackerPeers&) = delete;

    // All three, the reader on the board of `board_env`. False, said on
    // stderr, when one does not start.
    bool start(const std::string& board_env);
    bool start_gpsd();
    void stop_gpsd();
    bool gpsd_up() const { return gpsd_up_; }
    // The server, once started; null before.
    testsupport::MariaDb* db() { return db_.get(); }
    // LIBNFC_DEFAULT_DEVICE for the terminal.
    std::string reader() const { return "pn532_uart:" + dir_ + "/reader"; }
    void stop();

private:
    bool start_db();

    std::string dir_;
    std::unique_ptr<testsupport::MariaDb> db_;
    testsupport::Gpsd gpsd_;
    bool gpsd_up_ = false;
    std::unique_ptr<testsupport::Process> nfc_;
};

}  // namespace season
