// The two mappings of the kernel-device board that have logic of their own:
// the SPI clock a Pi makes of a divider, and which GPIO chip is taken. The
// devices themselves are exercised against the kernel in the virtual
// machine.
#include "chip.h"
#include "spi.h"

#include "process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using testsupport::TempDir;
using testsupport::write_file;

TEST(SpiClock, IsTheCoreClockOverTheDividerAsTheDataSheetTakesIt) {
    const struct {
        uint16_t divider;
        uint32_t hz;
    } cases[] = {
        {50, 5000000},      // boat_checkin: 5 MHz
        {256, 976562},      // boat_tracker: 976.5625 kHz, never rounded up
        {2, 125000000},     // the fastest
        {3, 125000000},     // odd dividers are rounded down
        {62500, 4000},      // tag_reader's slowest speed, 4 kHz
        {53392, 4682},      // a speed of 1 kHz, whose quotient lost its high bits
        {0, 3814},          // 0 means 65536
        {1, 3814},          // rounded down to 0
        {65535, 3814},      // 65534
    };
    for (const auto& c : cases) EXPECT_EQ(linuxboard::spi_clock_hz(c.divider), c.hz) << "divider " << c.divider;
}

// A /dev of plain files: each file holds the label its chip would give, an
// empty one is no chip at all (the ioctl's ENOTTY), and "!" one that may
// not be looked at.
int label_from_file(int fd, char* label, size_t size) {
    char text[64] = {};
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) {
        errno = ENOTTY;
        return -1;
    }
    if (text[0] == '!') {
        errno = EACCES;
        return -1;
    }
    snprintf(label, size, "%s", text);
    return 0;
}

bool same_file(int fd, const std::string& path) {
    struct stat a {}, b {};
    return fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

TEST(ChipLookup, TakesThePisControllerOrTheNamedChip) {
    using Chips = std::vector<std::pair<std::string, std::string>>;  // file, label
    const Chips pi5 = {{"gpiochip0", "gpio-brcmstb@107d508500"},
                       {"gpiochip1", "gpio-brcmstb@107d517c00"},
                       {"gpiochip4", "pinctrl-rp1"}};
    const struct {
        const char* what;
        Chips chips;
        std::string setting;  // "@" stands for the tree's directory
        const char* opened;   // nullptr: none
        int error;
    } cases[] = {
        {"a Pi 5", pi5, "", "gpiochip4", 0},
        {"a Pi 4 with its expander", {{"gpiochip0", "pinctrl-bcm2711"}, {"gpiochip1", "raspberrypi-exp-gpio"}}, "",
         "gpiochip0", 0},
        {"the lowest number, not the first name",
         {{"gpiochip10", "pinctrl-bcm2835"}, {"gpiochip2", "pinctrl-bcm2835"}}, "", "gpiochip2", 0},
        {"the newest controller first", {{"gpiochip0", "pinctrl-bcm2835"}, {"gpiochip1", "pinctrl-rp1"}}, "",
         "gpiochip1", 0},
        {"a label named", {{"gpiochip0", "pinctrl-bcm2835"}, {"gpiochip1", "gpio-sim.0-node0"}}, "gpio-sim.0-node0",
         "gpiochip1", 0},
        {"a label named that no chip has", pi5, "pinctrl-bcm2711", nullptr, ENODEV},
        {"a path named", pi5, "@/gpiochip1", "gpiochip1", 0},
        {"a path that is no chip", {{"gpiochip0", "pinctrl-bcm2835"}, {"null", ""}}, "@/null", nullptr, ENOTTY},
        {"only gpiochipN devices count",
         {{"gpiochip", "pinctrl-bcm2835"}, {"gpiochipX", "pinctrl-bcm2835"}, {"gpiochip1a", "pinctrl-bcm2835"},
          {"spidev0.0", "pinctrl-bcm2835"}, {"gpiochip3", "gpio-mockup"}},
         "", nullptr, ENODEV},
        {"a chip not to be looked at is why none was found", {{"gpiochip0", "!"}, {"gpiochip1", "other"}}, "", nullptr,
         EACCES},
        {"a chip not to be looked at beside the Pi's", {{"gpiochip0", "!"}, {"gpiochip1", "pinctrl-bcm2711"}}, "",
         "gpiochip1", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dev;
        for (const auto& [file, label] : c.chips) write_file(dev.file(file), label);
        std::string setting = c.setting;
        if (setting.rfind("@", 0) == 0) setting = dev.path() + setting.substr(1);

        errno = 0;
        const int fd = linuxboard::chip_open(setting.c_str(), dev.path().c_str(), label_from_file);
        const int error = errno;
        if (c.opened) {
            ASSERT_GE(fd, 0) << strerror(error);
            EXPECT_TRUE(same_file(fd, dev.file(c.opened)));
            EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
            EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
            close(fd);
        } else {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(error, c.error) << strerror(error);
        }
    }
}

}  // namespace
