// boat_checkin: the check-in terminal with an RC522 reader. Runs until killed.
#include "checkin_loop.h"

int main() {
    if (checkin_startup() != 0) return 1;
    for (;;) checkin_pass();
}
