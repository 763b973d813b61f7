// READY and WATCHDOG notifications to systemd through sd_notify.
#include "supervision.h"

#include "clock.h"
#include "stop.h"
#include "terminal.h"

#include <systemd/sd-daemon.h>

#include <ctime>

namespace {

constexpr int64_t kWatchdogIntervalNs = 1000000000;  // far below WatchdogSec, cheap to keep

bool told = false;  // a WATCHDOG=1 has gone out
int64_t last_told = 0;

}  // namespace

int64_t (*supervision_clock)() = terminal_monotonic_ns;

void supervision_ready() {
    // Results are not examined: without a service manager there is no one
    // to tell, and a lost message shows as a restart in the journal.
    sd_notify(0, "READY=1");
}

void supervision_pass() {
    const int64_t now = supervision_clock();
    if (told && now - last_told < kWatchdogIntervalNs) return;
    told = true;
    last_told = now;
    sd_notify(0, "WATCHDOG=1");
}

int supervised_loop(void (*pass)()) {
    supervision_ready();
    // Waits inside a pass count as the loop passing.
    terminal_alive = supervision_pass;
    while (!terminal_stop) {
        pass();
        supervision_pass();
    }
    leave_boat_safe();
    return 0;
}
