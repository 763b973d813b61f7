// The start of a terminal's process.
#include "startup.h"

#include "board_devices.h"
#include "settings.h"
#include "stop.h"

int terminal_process_startup(const TerminalProfile& profile) {
    Terminal = &profile;
    if (terminal_settings_startup() != 0) return -1;
    board_use_devices(terminal_settings.gpio_chip.data(), terminal_settings.spi_device.data());
    terminal_signals_init();
    return 0;
}
