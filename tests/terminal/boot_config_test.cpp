// The boot configuration snippets in deploy/boot hold each terminal's
// relay and LED lines from power-on: they must name exactly the profile
// table's pins, as outputs at the stopped run level, the active kill level
// and the LED's off level (the levels the README's wiring gives a line no
// program drives), and switch on SPI0's spidev for the kernel-device
// build.
#include "process.h"
#include "terminal.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace {

constexpr const char* kSpiOn = "dtparam=spi=on";

// "gpio=23=op,dl" and "gpio=17,22,27=op,dh" lines: pin -> level driven;
// *spi_on when SPI0 is switched on. Anything else fails the parse.
std::map<int, int> driven_levels(const std::string& text, bool* spi_on, std::string* error) {
    std::map<int, int> levels;
    std::istringstream in(text);
    std::string line;
    *spi_on = false;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (line == kSpiOn) {
            *spi_on = true;
            continue;
        }
        if (line.rfind("gpio=", 0) != 0) {
            *error = "not a gpio line: " + line;
            continue;
        }
        std::string rest = line.substr(5);
        size_t eq = rest.find('=');
        std::string options = eq == std::string::npos ? "" : rest.substr(eq + 1);
        int level = options == "op,dh" ? 1 : options == "op,dl" ? 0 : -1;
        if (level < 0) *error = "pins not driven as outputs: " + line;
        std::istringstream pins(rest.substr(0, eq));
        std::string pin;
        while (std::getline(pins, pin, ',')) {
            if (!levels.emplace(std::stoi(pin), level).second) *error = "pin " + pin + " set twice";
        }
    }
    return levels;
}

TEST(BootConfig, SnippetsHoldEachTerminalsRelaysAndLedAtTheirSafeLevelsAndSwitchOnSpi) {
    for (const TerminalProfile* p : {&kCheckinTerminal, &kTrackerTerminal}) {
        SCOPED_TRACE(p->name);
        std::string text = testsupport::read_file(testsupport::source_path("deploy/boot/") + p->name + ".txt");
        ASSERT_NE(text, "");
        std::string error;
        bool spi_on = false;
        std::map<int, int> levels = driven_levels(text, &spi_on, &error);
        EXPECT_EQ(error, "");
        EXPECT_TRUE(spi_on) << "no " << kSpiOn;
        std::map<int, int> safe = {{p->run_pin, p->run_level_running ? 0 : 1}, {p->kill_pin, p->kill_level_active}};
        for (uint8_t pin : kLedPins) safe[pin] = kLedOffLevel;
        EXPECT_EQ(levels, safe);
    }
}

}  // namespace
