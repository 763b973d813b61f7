// The boat outputs and the hardware set-up, one implementation for both
// terminals; what differs between them lives in the profile table.
#include "terminal.h"

#include <bcm2835.h>
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {
constexpr uint8_t kCheckinRunPin = 23, kCheckinKillPin = 14;
constexpr uint8_t kTrackerRunPin = 15, kTrackerKillPin = 4;
}  // namespace

const TerminalProfile kCheckinTerminal = {
    "checkin",
    kCheckinRunPin,
    HIGH,  // running
    kCheckinKillPin,
    HIGH,  // kill active
    {kCheckinRunPin, kCheckinKillPin},
    "",      // LED messages without line end
    false,   // divider from spi_speed
    "%02x",  // lower-case serial text
    10000,   // periodic check-in after 10,001 idle polls
    false,
};

const TerminalProfile kTrackerTerminal = {
    "tracker",
    kTrackerRunPin,
    LOW,
    kTrackerKillPin,
    HIGH,
    {kTrackerKillPin, kTrackerRunPin},
    "\r\n",
    true,
    "%02X",
    600,
    true,
};

const TerminalProfile* Terminal = nullptr;
uint8_t gpio = 255;
uint8_t use_gpio = 0;

const TerminalProfile& chosen_profile() {
    if (Terminal == nullptr) {
        fputs("no terminal profile chosen\r\n", stderr);
        abort();
    }
    return *Terminal;
}

const TerminalProfile* terminal_profile(const char* name) {
    for (const TerminalProfile* p : {&kCheckinTerminal, &kTrackerTerminal})
        if (name != nullptr && strcmp(name, p->name) == 0) return p;
    return nullptr;
}

namespace {

constexpr uint8_t kGreenPin = kLedPins[0];
constexpr uint8_t kBluePin = kLedPins[1];
constexpr uint8_t kRedPin = kLedPins[2];
static_assert(kLedOffLevel == HIGH, "the LED lines are active low");

void drive(uint8_t pin, uint8_t level) {
    if (level)
        bcm2835_gpio_set(pin);
    else
        bcm2835_gpio_clr(pin);
}

// One unformatted write of exactly the message's characters.
void say(const char* msg, const char* line_end) {
    char text[64];
    int n = snprintf(text, sizeof text, "%s%s", msg, line_end);
    if (n < 0) return;
    size_t len = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
    if (fwrite(text, 1, len, stderr) != len) { /* nothing to do about a lost message */ }
}

// A colour is lit while its line is low; the lines go in the order 17, 22, 27.
void led(uint8_t green, uint8_t blue, uint8_t red, const char* msg) {
    drive(kGreenPin, green ? LOW : HIGH);
    drive(kBluePin, blue ? LOW : HIGH);
    drive(kRedPin, red ? LOW : HIGH);
    say(msg, chosen_profile().led_line_end);
}

}  // namespace

void SetBlue() { led(0, 1, 0, "Blue LED ON"); }
void SetRed() { led(0, 0, 1, "Red LED ON"); }
void SetGreen() { led(1, 0, 0, "Green LED ON"); }
void SetOff() { led(0, 0, 0, "All LED OFF"); }

void StartBoat() {
    const TerminalProfile& p = chosen_profile();
    drive(p.run_pin, p.run_level_running);
    say("Boat Started\r\n", "");
}

void StopBoat() {
    const TerminalProfile& p = chosen_profile();
    drive(p.run_pin, p.run_level_running ? LOW : HIGH);
    say("Boat Stopped\r\n", "");
}

void UnKillBoat() {
    const TerminalProfile& p = chosen_profile();
    drive(p.kill_pin, p.kill_level_active ? LOW : HIGH);
    say("Kill Switch Off\r\n", "");
}

void KillBoat() {
    const TerminalProfile& p = chosen_profile();
    drive(p.kill_pin, p.kill_level_active);
    say("Kill Switch Active\r\n", "");
    StopBoat();
}

uint8_t HW_init(uint32_t spi_speed, uint8_t gpio) {
    // 250000 kHz core clock brought down to spi_speed; only the low 16 bits
    // reach the divider register. A speed of 0 would divide by zero: it
    // gets the slowest clock (divider 0 means 65536).
    uint16_t divider = spi_speed ? static_cast<uint16_t>(250000u / spi_speed) : 0;
    if (Terminal != nullptr && Terminal->spi_divider_256) divider = BCM2835_SPI_CLOCK_DIVIDER_256;

    if (!bcm2835_init()) {
        syslog(LOG_DAEMON | LOG_ERR, "Can't init bcm2835!\n");
        return 1;
    }
    if (gpio <= 27) {
        bcm2835_gpio_fsel(gpio, BCM2835_GPIO_FSEL_OUTP);
        bcm2835_gpio_write(gpio, LOW);
    }
    bcm2835_spi_begin();
    bcm2835_spi_setBitOrder(BCM2835_SPI_BIT_ORDER_MSBFIRST);
    bcm2835_spi_setDataMode(BCM2835_SPI_MODE0);
    bcm2835_spi_setClockDivider(divider);
    bcm2835_spi_chipSelect(BCM2835_SPI_CS0);
    bcm2835_spi_setChipSelectPolarity(BCM2835_SPI_CS0, LOW);
    return 0;
}

void terminal_output_pins() {
    for (uint8_t pin : kLedPins) bcm2835_gpio_fsel(pin, BCM2835_GPIO_FSEL_OUTP);
    for (uint8_t pin : chosen_profile().relays_in_order) bcm2835_gpio_fsel(pin, BCM2835_GPIO_FSEL_OUTP);
}

void leave_boat_safe() {
    StopBoat();
    SetOff();
}
