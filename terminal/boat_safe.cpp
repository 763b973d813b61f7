// boat_safe: leaves a terminal's boat stopped and its LED off once the
// terminal has gone, however it ended: a crash, a kill, a watchdog abort
// (its unit's ExecStopPost). The kill relay keeps its level, as at a
// terminal's start-up.
//   boat_safe checkin|tracker     the terminal whose pins to set
#include "terminal.h"

#include <bcm2835.h>

#include <cstdio>

namespace {

constexpr uint32_t kSpiSpeedKhz = 5000;  // the terminals' bus set-up
constexpr uint8_t kNoSignalPin = 255;    // the signal pin is left alone

}  // namespace

int main(int argc, char** argv) {
    const TerminalProfile* profile = argc == 2 ? terminal_profile(argv[1]) : nullptr;
    if (profile == nullptr) {
        fprintf(stderr, "usage: boat_safe checkin|tracker\n");
        return 2;
    }
    Terminal = profile;
    if (HW_init(kSpiSpeedKhz, kNoSignalPin) != 0) return 1;
    // Levels first, then the lines to outputs: a line that was still an
    // input never shows an old level of its latch.
    StopBoat();
    SetOff();
    bcm2835_gpio_fsel(profile->run_pin, BCM2835_GPIO_FSEL_OUTP);
    for (uint8_t pin : kLedPins) bcm2835_gpio_fsel(pin, BCM2835_GPIO_FSEL_OUTP);
    return 0;
}
