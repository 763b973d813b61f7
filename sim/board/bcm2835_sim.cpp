// The bcm2835 library's functions that the programs use, implemented on the
// simulated board, with the declarations of the real <bcm2835.h>. A program
// linked against this instead of libbcm2835 cannot tell the difference at
// the SPI and GPIO level.
#include <bcm2835.h>

#include "board_devices.h"
#include "board_state.h"
#include "devices.h"

#include <cstdio>
#include <cstdlib>
#include <string>

using boatsim::BoardState;

namespace {

BoardState* g_board = nullptr;
FILE* g_trace = nullptr;

uint8_t reverse_bits(uint8_t b) {
    b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    b = static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
    return b;
}

void log_write(BoardState& s, uint8_t pin, uint8_t level) {
    if (pin >= boatsim::kGpioCount) return;
    uint8_t old = s.gpio[pin].level;
    s.gpio[pin].level = level;
    if (pin == s.signal_pin && old == 0 && level == 1) s.signal_pulses++;
    uint64_t seq = ++s.event_seq;
    boatsim::GpioEvent& e = s.events[(seq - 1) % boatsim::kEventCapacity];
    e.seq = seq;
    e.t_ns = boatsim::monotonic_ns();
    e.pin = pin;
    e.level = level;
}

void trace(const uint8_t* tx, const uint8_t* rx, uint32_t len) {
    fputs("tx", g_trace);
    for (uint32_t i = 0; i < len; i++) fprintf(g_trace, " %02x", tx[i]);
    fputs(" | rx", g_trace);
    for (uint32_t i = 0; i < len; i++) fprintf(g_trace, " %02x", rx[i]);
    fputc('\n', g_trace);
}

// Bytes clocked through one chip-select assertion. tx and rx may alias.
void spi_exchange(const uint8_t* tx_in, uint8_t* rx_out, uint32_t len) {
    if (!g_board || len == 0) return;
    BoardState& s = *g_board;
    // Keep a copy of what was sent for the trace; the frames on this bus
    // are a few bytes long, longer ones are traced in part.
    uint8_t sent[64];
    uint32_t traced = len < sizeof sent ? len : sizeof sent;
    for (uint32_t i = 0; i < traced; i++) sent[i] = tx_in[i];

    {
        boatsim::Lock lock(&s);
        s.spi.transfers++;
        s.spi.bytes += len;
        const bool lsb = s.spi.bit_order == BCM2835_SPI_BIT_ORDER_LSBFIRST;
        const bool selected = s.spi.begun && s.spi.cs == BCM2835_SPI_CS0 && s.spi.cs_polarity == LOW &&
                              (s.spi.mode == BCM2835_SPI_MODE0 || s.spi.mode == BCM2835_SPI_MODE3);
        if (!selected) {
            // No device answers: MISO reads low.
            for (uint32_t i = 0; i < len; i++) rx_out[i] = 0;
        } else {
            uint8_t wire_tx[256];
            uint8_t wire_rx[256];
            for (uint32_t off = 0; off < len; off += sizeof wire_tx) {
                uint32_t n = len - off < sizeof wire_tx ? len - off : sizeof wire_tx;
                for (uint32_t i = 0; i < n; i++) wire_tx[i] = lsb ? reverse_bits(tx_in[off + i]) : tx_in[off + i];
                boatsim::spi_cs0_exchange(s, wire_tx, wire_rx, n);
                for (uint32_t i = 0; i < n; i++) rx_out[off + i] = lsb ? reverse_bits(wire_rx[i]) : wire_rx[i];
            }
        }
    }
    if (g_trace) trace(sent, rx_out, traced);
}

}  // namespace

// The simulated board is BOATSIM_STATE's, whatever devices a board of
// metal would have.
void board_use_devices(const char* /*gpio_chip*/, const char* /*spi_device*/) {}

extern "C" {

int bcm2835_init(void) {
    if (g_board) return 1;
    const char* path = boatsim::state_path_from_env();
    std::string err;
    g_board = boatsim::map_state(path, &err);
    if (!g_board) {
        // As the real library does when it cannot reach the peripherals.
        fprintf(stderr, "bcm2835_init: %s\n", err.c_str());
        return 0;
    }
    // Opened now, while the program may still run as root.
    const char* trace_path = getenv("BOATSIM_SPI_TRACE");
    if (trace_path && *trace_path) {
        g_trace = fopen(trace_path, "a");
        if (g_trace) setvbuf(g_trace, nullptr, _IOLBF, 0);
    }
    return 1;
}

int bcm2835_close(void) {
    if (g_trace) fclose(g_trace);
    g_trace = nullptr;
    boatsim::unmap_state(g_board);
    g_board = nullptr;
    return 1;
}

void bcm2835_gpio_fsel(uint8_t pin, uint8_t mode) {
    if (!g_board || pin >= boatsim::kGpioCount) return;
    boatsim::Lock lock(g_board);
    g_board->gpio[pin].fsel = mode & 0x07;
}

void bcm2835_gpio_write(uint8_t pin, uint8_t on) {
    if (!g_board) return;
    boatsim::Lock lock(g_board);
    log_write(*g_board, pin, on ? 1 : 0);
}

void bcm2835_gpio_set(uint8_t pin) { bcm2835_gpio_write(pin, HIGH); }

void bcm2835_gpio_clr(uint8_t pin) { bcm2835_gpio_write(pin, LOW); }

int bcm2835_spi_begin(void) {
    if (!g_board) return 0;
    boatsim::Lock lock(g_board);
    // The SPI0 lines go to their alternate function, as on the real chip.
    for (uint8_t pin : {7, 8, 9, 10, 11}) g_board->gpio[pin].fsel = BCM2835_GPIO_FSEL_ALT0;
    g_board->spi.begun = 1;
    return 1;
}

void bcm2835_spi_end(void) {
    if (!g_board) return;
    boatsim::Lock lock(g_board);
    for (uint8_t pin : {7, 8, 9, 10, 11}) g_board->gpio[pin].fsel = BCM2835_GPIO_FSEL_INPT;
    g_board->spi.begun = 0;
}

void bcm2835_spi_setBitOrder(uint8_t order) {
    if (!g_board) return;
    boatsim::Lock lock(g_board);
    g_board->spi.bit_order = order;
}

void bcm2835_spi_setClockDivider(uint16_t divider) {
    if (!g_board) return;
    boatsim::Lock lock(g_board);
    g_board->spi.divider = divider;
}

void bcm2835_spi_setDataMode(uint8_t mode) {
    if (!g_board) return;
    boatsim::Lock lock(g_board);
    g_board->spi.mode = mode;
}

void bcm2835_spi_chipSelect(uint8_t cs) {
    if (!g_board) return;
    boatsim::Lock lock(g_board);
    g_board->spi.cs = cs;
}

void bcm2835_spi_setChipSelectPolarity(uint8_t cs, uint8_t active) {
    if (!g_board) return;
    boatsim::Lock lock(g_board);
    // Only CS0 carries a device; its polarity is what matters.
    if (cs == BCM2835_SPI_CS0) g_board->spi.cs_polarity = active;
}

void bcm2835_spi_transfernb(char* tbuf, char* rbuf, uint32_t len) {
    spi_exchange(reinterpret_cast<const uint8_t*>(tbuf), reinterpret_cast<uint8_t*>(rbuf), len);
}

void bcm2835_spi_transfern(char* buf, uint32_t len) {
    spi_exchange(reinterpret_cast<const uint8_t*>(buf), reinterpret_cast<uint8_t*>(buf), len);
}

}  // extern "C"
