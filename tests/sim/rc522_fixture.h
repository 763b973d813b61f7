// A simulated checkin board mapped into the test process through
// bcm2835_init, with a small register-level driver of the reader chip:
// the tests talk to the chip only as a driver would, over SPI.
#pragma once

#include "mfrc522_regs.h"
#include "temp_board.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

struct Exchange {
    bool timed_out = false;  // neither an answer nor TimerIRq within the bound
    uint8_t irq = 0;         // ComIrqReg when the wait ended
    uint8_t error = 0;       // ErrorReg
    uint8_t coll = 0;        // CollReg
    int bits = 0;            // bits received (FIFO level and RxLastBits)
    std::vector<uint8_t> data;
    bool answered() const { return (irq & mfrc522::RxIRq) != 0; }
};

class Rc522Test : public ::testing::Test {
protected:
    Rc522Test() : board_(boatsim::Profile::checkin) {}
    void SetUp() override;
    void TearDown() override;

    uint8_t rd(uint8_t reg);
    void wr(uint8_t reg, uint8_t value);
    // The chip's reset and the configuration a driver gives it, antenna on.
    void init_chip();
    // Runs Transceive with BitFramingReg = framing (TxLastBits, RxAlign).
    Exchange transceive(const std::vector<uint8_t>& frame, uint8_t framing = 0);
    std::vector<uint8_t> with_crc(std::vector<uint8_t> frame);
    uint8_t crc_by_chip(const std::vector<uint8_t>& data, uint8_t* low);

    // ISO/IEC 14443-3 steps built on transceive.
    Exchange reqa() { return transceive({0x26}, 0x07); }
    Exchange wupa() { return transceive({0x52}, 0x07); }
    Exchange anticoll(uint8_t sel) { return transceive({sel, 0x20}); }
    Exchange select(uint8_t sel, const std::vector<uint8_t>& cl);  // cl: 4 bytes, BCC added
    Exchange hlta() { return transceive(with_crc({0x50, 0x00})); }
    // REQA, anticollision and select of a 4-byte card.
    void activate(const std::vector<uint8_t>& uid);
    bool authenticate(uint8_t cmd, uint8_t block, const std::vector<uint8_t>& key, const std::vector<uint8_t>& uid4);

    testsupport::TempBoard board_;
};
