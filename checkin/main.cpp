// boat_checkin: the check-in terminal with an RC522 reader. Runs until a
// stop signal, then leaves the boat stopped and the LED off.
#include "checkin_loop.h"
#include "settings.h"
#include "stop.h"
#include "supervision.h"

int main() {
    // Before any hardware access, and while the rights to read a root-only
    // file are still ours.
    if (terminal_settings_startup() != 0) return 1;
    terminal_signals_init();
    if (checkin_startup() != 0) return 1;
    return supervised_loop(checkin_pass);
}
