// The bcm2835 library's functions that the programs use, over the kernel's
// GPIO character device and spidev, with the declarations of the real
// <bcm2835.h>: the same programs run on any Pi (the Pi 5 too) and any other
// Linux board, as a user in the groups of those devices, without /dev/mem.
//
// bcm2835_init opens the GPIO chip and the SPI device, so that both are
// open before a program gives up its rights. The chip is the one labelled
// as a Pi's GPIO controller, the SPI device /dev/spidev0.0, unless the
// program named others (board_use_devices, from the settings file). Its
// chip select is the one spidev gives that device.
//
// Levels are written as on the Pi: into the pin's latch, which an output
// shows at once and a pin made an output later starts at.
//
// Failures: bcm2835_init says on stderr what it could not open and returns
// 0, as the real library does when it cannot reach the peripherals. The
// calls that return nothing cannot tell their caller: they say on stderr
// what failed, once until it works again, and a transfer that failed reads
// as a bus with nothing on it (all bits low).
#include <bcm2835.h>

#include "board_devices.h"
#include "chip.h"
#include "fd.h"
#include "lines.h"
#include "spi.h"

#include <fcntl.h>
#include <linux/spi/spi.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

using linuxboard::Fd;
using linuxboard::Line;

namespace {

constexpr const char* kDefaultSpiDevice = "/dev/spidev0.0";
// Broadcom GPIO numbers the programs may name; the chips' offsets.
constexpr int kGpioCount = 54;

// A device path or chip label as the settings allow it.
using DeviceName = std::array<char, 256>;

DeviceName g_gpio_chip {};  // as given; empty: the Pi's label
DeviceName g_spi_path = [] {
    DeviceName name {};
    snprintf(name.data(), name.size(), "%s", kDefaultSpiDevice);
    return name;
}();

Fd g_chip;
Fd g_spi;
std::array<Line, kGpioCount> g_lines;
std::array<bool, kGpioCount> g_output {};        // made an output by the program
std::array<uint8_t, kGpioCount> g_latch {};      // level last written
std::array<bool, kGpioCount> g_latched {};       // a level was written
std::array<bool, kGpioCount> g_line_failing {};  // said already, until it works
bool g_spi_failing = false;
uint8_t g_spi_cs = BCM2835_SPI_CS0;
uint8_t g_spi_mode = SPI_MODE_0;  // spidev's mode bits as the program set them

void name_device(DeviceName* out, const char* value, const char* fallback) {
    snprintf(out->data(), out->size(), "%s", value && *value ? value : fallback);
}

// Says what failed once, until `ok` shows that it works again.
void report(bool ok, bool* failing, const char* call, const char* what) {
    if (!ok && !*failing) fprintf(stderr, "%s: %s: %s\n", call, what, strerror(errno));
    *failing = !ok;
}

void report_line(int rc, uint8_t pin, const char* call) {
    const int why = errno;
    bool failing = g_line_failing[pin];
    char what[24];
    snprintf(what, sizeof what, "GPIO %u", pin);
    errno = why;
    report(rc == 0, &failing, call, what);
    g_line_failing[pin] = failing;
}

void apply_mode(const char* call) {
    if (!g_spi.valid()) return;
    report(linuxboard::spi_set_mode(g_spi.get(), g_spi_mode) == 0, &g_spi_failing, call, g_spi_path.data());
}

void exchange(const char* tbuf, char* rbuf, uint32_t len) {
    if (len == 0) return;
    const auto* tx = reinterpret_cast<const uint8_t*>(tbuf);
    auto* rx = reinterpret_cast<uint8_t*>(rbuf);
    const bool ok = g_spi.valid() && linuxboard::spi_transfer(g_spi.get(), tx, rx, len) == 0;
    if (!ok) memset(rx, 0, len);
    if (g_spi.valid()) report(ok, &g_spi_failing, "bcm2835_spi_transfer", g_spi_path.data());
}

}  // namespace

void board_use_devices(const char* gpio_chip, const char* spi_device) {
    name_device(&g_gpio_chip, gpio_chip, "");
    name_device(&g_spi_path, spi_device, kDefaultSpiDevice);
}

extern "C" {

int bcm2835_init(void) {
    if (g_chip.valid()) return 1;
    const char* chip = g_gpio_chip.data();

    Fd gpio(linuxboard::chip_open(chip));
    if (!gpio.valid()) {
        fprintf(stderr, "bcm2835_init: GPIO chip %s: %s\n",
                *chip ? chip : "pinctrl-rp1, pinctrl-bcm2711 or pinctrl-bcm2835", strerror(errno));
        return 0;
    }
    Fd spi(open(g_spi_path.data(), O_RDWR | O_CLOEXEC));
    if (!spi.valid()) {
        fprintf(stderr, "bcm2835_init: %s: %s\n", g_spi_path.data(), strerror(errno));
        return 0;
    }
    g_chip = std::move(gpio);
    g_spi = std::move(spi);
    return 1;
}

// Gives every line back and closes the devices. A program that ends without
// it has the same done by the kernel.
int bcm2835_close(void) {
    for (Line& line : g_lines) line.release();
    g_output = {};
    g_latch = {};
    g_latched = {};
    g_line_failing = {};
    g_spi.reset();
    g_chip.reset();
    g_spi_failing = false;
    return 1;
}

// An output is requested once and kept; it starts at the level last
// written, or else at the level it had. The alternate functions are the
// kernel's to set (the SPI lines belong to its SPI driver).
void bcm2835_gpio_fsel(uint8_t pin, uint8_t mode) {
    if (!g_chip.valid() || pin >= kGpioCount) return;
    int rc = 0;
    if (mode == BCM2835_GPIO_FSEL_OUTP)
        rc = g_lines[pin].claim_output(g_chip.get(), pin, program_invocation_short_name,
                                       g_latched[pin] ? &g_latch[pin] : nullptr);
    else if (mode == BCM2835_GPIO_FSEL_INPT)
        rc = g_lines[pin].claim_input(g_chip.get(), pin, program_invocation_short_name);
    else
        return;
    g_output[pin] = mode == BCM2835_GPIO_FSEL_OUTP && rc == 0;
    report_line(rc, pin, "bcm2835_gpio_fsel");
}

// The level goes into the latch; only a line made an output shows it, as
// on a Pi.
void bcm2835_gpio_write(uint8_t pin, uint8_t on) {
    if (pin >= kGpioCount) return;
    g_latch[pin] = on ? HIGH : LOW;
    g_latched[pin] = true;
    if (g_output[pin]) report_line(g_lines[pin].drive(g_latch[pin]), pin, "bcm2835_gpio_write");
}

void bcm2835_gpio_set(uint8_t pin) { bcm2835_gpio_write(pin, HIGH); }

void bcm2835_gpio_clr(uint8_t pin) { bcm2835_gpio_write(pin, LOW); }

// As the Pi's SPI0 after it: mode 0, chip select active low, 8-bit words;
// the bit order stays as set.
int bcm2835_spi_begin(void) {
    if (!g_spi.valid()) return 0;
    g_spi_mode = static_cast<uint8_t>((g_spi_mode & SPI_LSB_FIRST) | SPI_MODE_0);
    apply_mode("bcm2835_spi_begin");
    return g_spi_failing ? 0 : 1;
}

// spidev has nothing to end; the device stays open for the next begin.
void bcm2835_spi_end(void) {}

void bcm2835_spi_setBitOrder(uint8_t order) {
    g_spi_mode = static_cast<uint8_t>(order == BCM2835_SPI_BIT_ORDER_LSBFIRST ? g_spi_mode | SPI_LSB_FIRST
                                                                               : g_spi_mode & ~SPI_LSB_FIRST);
    apply_mode("bcm2835_spi_setBitOrder");
}

void bcm2835_spi_setDataMode(uint8_t mode) {
    // BCM2835_SPI_MODE0..3 are CPOL and CPHA as spidev's SPI_MODE_0..3.
    g_spi_mode = static_cast<uint8_t>((g_spi_mode & ~SPI_MODE_X_MASK) | (mode & SPI_MODE_X_MASK));
    apply_mode("bcm2835_spi_setDataMode");
}

void bcm2835_spi_setClockDivider(uint16_t divider) {
    if (!g_spi.valid()) return;
    report(linuxboard::spi_set_clock(g_spi.get(), linuxboard::spi_clock_hz(divider)) == 0, &g_spi_failing,
           "bcm2835_spi_setClockDivider", g_spi_path.data());
}

// The device node is the chip select (spidevB.C is chip select C); the
// one named here only picks whose polarity counts.
void bcm2835_spi_chipSelect(uint8_t cs) { g_spi_cs = cs; }

void bcm2835_spi_setChipSelectPolarity(uint8_t cs, uint8_t active) {
    if (cs != g_spi_cs) return;
    g_spi_mode = static_cast<uint8_t>(active ? g_spi_mode | SPI_CS_HIGH : g_spi_mode & ~SPI_CS_HIGH);
    apply_mode("bcm2835_spi_setChipSelectPolarity");
}

void bcm2835_spi_transfernb(char* tbuf, char* rbuf, uint32_t len) { exchange(tbuf, rbuf, len); }

void bcm2835_spi_transfern(char* buf, uint32_t len) { exchange(buf, buf, len); }

}  // extern "C"
