// boat_checkin: the check-in terminal with an RC522 reader. Runs until a
// stop signal, then leaves the boat stopped and the LED off.
#include "checkin_loop.h"
#include "stop.h"
#include "supervision.h"
#include "terminal.h"

int main() {
    terminal_signals_init();
    if (checkin_startup() != 0) return 1;
    supervision_ready();
    while (!terminal_stop) {
        checkin_pass();
        supervision_pass();
    }
    StopBoat();
    SetOff();
    return 0;
}
