// boat_checkin: the check-in terminal with an RC522 reader. Runs until a
// stop signal, then leaves the boat stopped and the LED off.
#include "checkin_loop.h"
#include "stop.h"
#include "terminal.h"

int main() {
    terminal_signals_init();
    if (checkin_startup() != 0) return 1;
    while (!terminal_stop) checkin_pass();
    StopBoat();
    SetOff();
    return 0;
}
