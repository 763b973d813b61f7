// boat_checkin: the check-in terminal with an RC522 reader. Runs until a
// stop signal, then leaves the boat stopped and the LED off.
#include "board_devices.h"
#include "checkin_loop.h"
#include "settings.h"
#include "stop.h"
#include "supervision.h"

int main() {
    // Before any hardware access: the root-only file while the rights to
    // read it are still ours, or the copy the unit passed an ordinary user.
    if (terminal_settings_startup() != 0) return 1;
    board_use_devices(terminal_settings.gpio_chip.data(), terminal_settings.spi_device.data());
    terminal_signals_init();
    if (checkin_startup() != 0) return 1;
    return supervised_loop(checkin_pass);
}
