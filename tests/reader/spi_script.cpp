#include "spi_script.h"

#include <bcm2835.h>
#include <unistd.h>

#include <cstdio>

namespace spiscript {
namespace {

struct Entry {
    std::string text;  // "R 04", "W 01 0f", "S 200"
    uint8_t answer;
};

std::vector<Entry> g_expected;
std::vector<std::string> g_seen;
std::vector<std::vector<uint8_t>> g_raw;
size_t g_next = 0;
bool g_off_script = false;
uint8_t g_echo = 0xFF;

std::string fmt(const char* f, unsigned a, unsigned b = 0) {
    char s[32];
    snprintf(s, sizeof s, f, a, b);
    return s;
}

// Checks the access against the script; the answer of a matching read.
uint8_t step(const std::string& text) {
    g_seen.push_back(text);
    if (g_off_script) return 0;
    if (g_next < g_expected.size() && g_expected[g_next].text == text) return g_expected[g_next++].answer;
    g_off_script = true;
    return 0;
}

}  // namespace

void begin() {
    g_expected.clear();
    g_seen.clear();
    g_raw.clear();
    g_next = 0;
    g_off_script = false;
    g_echo = 0xFF;
}

void read(uint8_t reg, uint8_t value) { g_expected.push_back({fmt("R %02x", reg), value}); }
void write(uint8_t reg, uint8_t value) { g_expected.push_back({fmt("W %02x %02x", reg, value), 0}); }
void pause_us(unsigned us) { g_expected.push_back({fmt("S %u", us), 0}); }

void set_bits(uint8_t reg, uint8_t now, uint8_t mask) {
    read(reg, now);
    write(reg, static_cast<uint8_t>(now | mask));
}

void clear_bits(uint8_t reg, uint8_t now, uint8_t mask) {
    read(reg, now);
    write(reg, static_cast<uint8_t>(now & ~mask));
}

::testing::AssertionResult done() {
    if (!g_off_script && g_next == g_expected.size() && g_seen.size() == g_expected.size())
        return ::testing::AssertionSuccess();
    // Both lists side by side from the first difference on.
    size_t first = 0;
    while (first < g_seen.size() && first < g_expected.size() && g_seen[first] == g_expected[first].text) first++;
    auto r = ::testing::AssertionFailure();
    r << "register traffic differs at access " << first << " (" << g_seen.size() << " made, "
      << g_expected.size() << " scripted)\n  expected | made\n";
    for (size_t i = first; i < first + 12 && (i < g_seen.size() || i < g_expected.size()); i++)
        r << "  " << (i < g_expected.size() ? g_expected[i].text : std::string("-")) << "\t| "
          << (i < g_seen.size() ? g_seen[i] : std::string("-")) << "\n";
    return r;
}

const std::vector<std::vector<uint8_t>>& raw() { return g_raw; }

void set_address_echo(uint8_t b) { g_echo = b; }

}  // namespace spiscript

extern "C" {

void bcm2835_spi_transfern(char* buf, uint32_t len) {
    auto* b = reinterpret_cast<uint8_t*>(buf);
    spiscript::g_raw.emplace_back(b, b + len);
    if (len != 2) {
        spiscript::step(spiscript::fmt("transfer of %u bytes", len));
        return;
    }
    const uint8_t addr = (b[0] >> 1) & 0x3F;
    if (b[0] & 0x01) {
        spiscript::step(spiscript::fmt("bad address byte %02x", b[0]));
        b[0] = b[1] = 0;
    } else if (b[0] & 0x80) {
        // The second byte of a read must be 0x00.
        uint8_t v = spiscript::step(b[1] == 0 ? spiscript::fmt("R %02x", addr)
                                              : spiscript::fmt("R %02x with %02x", addr, b[1]));
        b[0] = spiscript::g_echo;
        b[1] = v;
    } else {
        spiscript::step(spiscript::fmt("W %02x %02x", addr, b[1]));
        b[0] = b[1] = spiscript::g_echo;
    }
}

int usleep(useconds_t us) {
    spiscript::step(spiscript::fmt("S %u", us));
    return 0;
}

}  // extern "C"
