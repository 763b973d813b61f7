// Scripts of whole driver steps for the scripted SPI fake: what the chip
// is asked and answers during one CRC calculation or one exchange.
#pragma once

#include "spi_script.h"

#include <cstdint>
#include <vector>

namespace chipscript {

using Bytes = std::vector<uint8_t>;

// CRC_A (preset 0x6363), as the chip's coprocessor computes it.
uint16_t crc_a(const Bytes& data);
Bytes with_crc(Bytes data);  // data followed by its CRC_A, low byte first

// How the chip ends one exchange.
struct Answer {
    Bytes polls{0x00, 0x64};  // ComIrqReg values read, one per poll
    uint8_t error = 0x00;     // ErrorReg
    Bytes fifo;               // what the FIFO holds
    int level = -1;           // FIFOLevelReg as read; -1: fifo.size()
    uint8_t last_bits = 0;    // ControlReg RxLastBits
};

Answer card(Bytes fifo, uint8_t last_bits = 0);  // a card answered
Answer no_card();                                // the chip's timer expired
Answer collision(Bytes fifo);                    // CollErr with what arrived

// One PcdComMF522 as the chip sees it. `framing` is BitFramingReg's value
// before StartSend. Polls beyond 149 end in the time-out.
void exchange(uint8_t command, const Bytes& tx, const Answer& a, uint8_t framing = 0x00);

// One CalulateCRC of `data`, the chip finishing on the first poll.
void crc(const Bytes& data);

}  // namespace chipscript
