// boat_checkin: the check-in terminal with an RC522 reader. Runs until a
// stop signal, then leaves the boat stopped and the LED off.
#include "checkin_loop.h"
#include "startup.h"
#include "supervision.h"

int main() {
    if (terminal_process_startup(kCheckinTerminal) != 0) return 1;
    if (checkin_startup() != 0) return 1;
    return supervised_loop(checkin_pass);
}
