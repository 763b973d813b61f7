// Microchip MCP3008 10-bit converter behind SPI0 CS0, from the MCP3004/3008
// data sheet, clocked bit by bit (SPI mode 0/3, MSB first on the wire):
// after chip select falls the first 1 on DIN is the start bit, followed by
// SGL/DIFF and D2..D0. One clock later the sample is complete, the next
// clock carries the null bit (0), then B9..B0 MSB first; further clocks
// repeat the result LSB first (B1..B9) and then give zeros. DOUT is high
// impedance before the result and reads 0 here. One conversion per chip
// select, as on the chip. Not modelled: sampling time, clock-rate limits.
#include "devices.h"

namespace boatsim {

namespace {

uint16_t channel_value(const BoardState& s, int ch) {
    const uint16_t v = s.adc[ch];
    return v > 1023 ? 1023 : v;
}

// D2..D0 select the input; in differential mode D2 D1 select the pair and
// D0 says which of the two is IN-.
uint16_t convert(const BoardState& s, bool single, int d) {
    if (single) return channel_value(s, d);
    const int even = d & 0x06;
    const int plus = (d & 1) ? even + 1 : even;
    const int minus = (d & 1) ? even : even + 1;
    const int diff = channel_value(s, plus) - channel_value(s, minus);
    return static_cast<uint16_t>(diff > 0 ? diff : 0);
}

}  // namespace

void mcp3008_spi(BoardState& s, const uint8_t* tx, uint8_t* rx, uint32_t len) {
    const uint32_t nbits = len * 8;
    int64_t start = -1;  // clock index of the start bit
    int cfg = 0;         // SGL/DIFF, D2, D1, D0 as clocked in
    uint16_t result = 0;
    for (uint32_t i = 0; i < len; i++) rx[i] = 0;
    for (uint32_t k = 0; k < nbits; k++) {
        const bool din = (tx[k / 8] >> (7 - k % 8)) & 1;
        bool dout = false;
        if (start < 0) {
            if (din) start = k;
        } else {
            const int64_t t = static_cast<int64_t>(k) - start;  // 1..4 config, 5 sample, 6 null
            if (t >= 1 && t <= 4) {
                cfg = cfg << 1 | (din ? 1 : 0);
                if (t == 4) result = convert(s, cfg & 0x08, cfg & 0x07);
            } else if (t >= 7 && t <= 16) {
                dout = (result >> (16 - t)) & 1;  // B9 .. B0
            } else if (t >= 17 && t <= 25) {
                dout = (result >> (t - 16)) & 1;  // B1 .. B9
            }
        }
        if (dout) rx[k / 8] = static_cast<uint8_t>(rx[k / 8] | (0x80u >> (k % 8)));
    }
}

}  // namespace boatsim
