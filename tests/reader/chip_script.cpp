#include "chip_script.h"

namespace chipscript {

uint16_t crc_a(const Bytes& data) {
    uint16_t crc = 0x6363;
    for (uint8_t b : data) {
        b = static_cast<uint8_t>(b ^ (crc & 0xFF));
        b = static_cast<uint8_t>(b ^ (b << 4));
        crc = static_cast<uint16_t>((crc >> 8) ^ (b << 8) ^ (b << 3) ^ (b >> 4));
    }
    return crc;
}

Bytes with_crc(Bytes data) {
    uint16_t c = crc_a(data);
    data.push_back(static_cast<uint8_t>(c & 0xFF));
    data.push_back(static_cast<uint8_t>(c >> 8));
    return data;
}

Answer card(Bytes fifo, uint8_t last_bits) {
    Answer a;
    a.fifo = std::move(fifo);
    a.last_bits = last_bits;
    return a;
}

Answer no_card() {
    Answer a;
    a.polls = {0x00, 0x00, 0x45};  // TxIRq, LoAlert, TimerIRq
    return a;
}

Answer collision(Bytes fifo) {
    Answer a;
    a.polls = {0x00, 0x66};
    a.error = 0x08;
    a.fifo = std::move(fifo);
    return a;
}

void exchange(uint8_t command, const Bytes& tx, const Answer& a, uint8_t framing) {
    using namespace spiscript;
    const bool transceive = command == 0x0C;
    uint8_t enable = transceive ? 0xF7 : command == 0x0E ? 0x92 : 0x80;
    write(0x02, enable);
    clear_bits(0x04, 0xA5, 0x80);
    set_bits(0x0A, 0x05, 0x80);
    write(0x01, 0x00);
    for (uint8_t b : tx) write(0x09, b);
    write(0x01, command);
    if (transceive) set_bits(0x0D, framing, 0x80);
    for (size_t i = 0; i < a.polls.size() && i < 150; i++) {
        pause_us(200);
        read(0x04, a.polls[i]);
    }
    clear_bits(0x0D, transceive ? static_cast<uint8_t>(framing | 0x80) : framing, 0x80);
    if (a.polls.size() >= 150) return;
    read(0x06, a.error);
    // BufferOvfl, ProtocolErr, ParityErr outside a collision: no FIFO read.
    const bool spoiled = (a.error & 0x11) || ((a.error & 0x02) && !(a.error & 0x08));
    if (spoiled || !transceive) return;
    uint8_t level = a.level < 0 ? static_cast<uint8_t>(a.fifo.size()) : static_cast<uint8_t>(a.level);
    read(0x0A, level);
    read(0x0C, static_cast<uint8_t>(0x10 | a.last_bits));
    size_t n = level == 0 ? 1 : level > 18 ? 18 : level;
    for (size_t i = 0; i < n; i++) read(0x09, i < a.fifo.size() ? a.fifo[i] : 0x00);
}

void crc(const Bytes& data) {
    using namespace spiscript;
    write(0x05, 0x04);  // CRCIRq cleared with Set2 clear
    write(0x01, 0x00);
    set_bits(0x0A, 0x00, 0x80);
    for (uint8_t b : data) write(0x09, b);
    write(0x01, 0x03);
    read(0x05, 0x04);
    uint16_t c = crc_a(data);
    read(0x22, static_cast<uint8_t>(c & 0xFF));
    read(0x21, static_cast<uint8_t>(c >> 8));
}

}  // namespace chipscript
