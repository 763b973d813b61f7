// boat_tracker: the check-in terminal with an NFC reader, GPS, fuel and
// database telemetry. Runs until a stop signal, then leaves the boat
// stopped and the LED off.
#include "startup.h"
#include "supervision.h"
#include "telemetry.h"
#include "tracker_loop.h"

#include <cstdio>
#include <cstdlib>

namespace {

// The run relay is stopped at a high level: a board left undriven is not
// safe, so a failed start-up sets the outputs up before it ends.
int safe_exit() {
    tracker_board_safe();
    return 1;
}

}  // namespace

int main(int /*argc*/, char** argv) {
    // Before the peers and any hardware access. A refused file leaves the
    // outputs as they are: nothing of the board is touched.
    if (terminal_process_startup(kTrackerTerminal) != 0) return 1;
    // Under a service manager stdout is a pipe; position lines should reach
    // the journal as they happen, not in 4 KiB blocks.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    int rc = gps_connect();
    if (rc == -1) {
        printf("code: %d, reason: %s\n", rc, gps_errstr(rc));
        return safe_exit();
    }
    if (!db_connect()) {
        fprintf(stderr, "Conection error : %s\n", connection ? mysql_error(connection) : "out of memory");
        exit(safe_exit());
    }
    fprintf(stderr, "MySql Connected\r\n");

    if (tracker_board_startup() != 0) return 1;
    if (tracker_nfc_startup(argv[0]) != 0) exit(1);

    query = static_cast<char*>(malloc(kQuerySize));
    if (query == nullptr) {
        fprintf(stderr, "Out of memory");
        exit(1);
    }
    return supervised_loop(tracker_pass);
}
