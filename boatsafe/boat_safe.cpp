// boat_safe: leaves a terminal's boat stopped and its LED off once the
// terminal has gone, however it ended: a crash, a kill, a watchdog abort
// (its unit's ExecStopPost). The kill relay keeps its level, as at a
// terminal's start-up.
//   boat_safe checkin|tracker     the terminal whose pins to set
#include "board_devices.h"
#include "settings.h"
#include "terminal.h"

#include <bcm2835.h>

#include <cstdio>

namespace {

constexpr uint8_t kNoSignalPin = 255;  // the signal pin is left alone

// The devices the terminal was given. It runs as root outside the unit's
// sandbox and reads the file itself, not the terminal's credential, and
// only the board's keys of it: a line the terminals would refuse must not
// send it to other devices than theirs. A file it cannot take must not
// keep a boat running: the board's own devices then.
void use_the_terminals_devices() {
    TerminalSettings settings = default_terminal_settings();
    SettingsNote error {}, warning {};
    if (read_terminal_settings(kTerminalSettingsPath, &settings, &error, &warning, SettingsKeys::board) != 0)
        fprintf(stderr, "%s\r\n", error.data());
    board_use_devices(settings.gpio_chip.data(), settings.spi_device.data());
}

}  // namespace

int main(int argc, char** argv) {
    const TerminalProfile* profile = argc == 2 ? terminal_profile(argv[1]) : nullptr;
    if (profile == nullptr) {
        fprintf(stderr, "usage: boat_safe checkin|tracker\n");
        return 2;
    }
    Terminal = profile;
    use_the_terminals_devices();
    if (HW_init(kTerminalSpiKhz, kNoSignalPin) != 0) return 1;
    // Levels first, then the lines to outputs: a line that was still an
    // input never shows an old level of its latch.
    leave_boat_safe();
    bcm2835_gpio_fsel(profile->run_pin, BCM2835_GPIO_FSEL_OUTP);
    for (uint8_t pin : kLedPins) bcm2835_gpio_fsel(pin, BCM2835_GPIO_FSEL_OUTP);
    return 0;
}
