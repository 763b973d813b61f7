// boat_checkin: the check-in terminal with an RC522 reader. Runs until killed.
#include "checkin_loop.h"
#include "supervision.h"

int main() {
    if (checkin_startup() != 0) return 1;
    supervision_ready();
    for (;;) {
        checkin_pass();
        supervision_pass();
    }
}
