// A scripted stand-in for the MFRC522 on the SPI bus: the test lists every
// register access (and pause) it expects, in order, with the values the
// chip answers; each two-byte transfer is checked against the next entry.
// Linked instead of the board, it also takes the driver's usleep calls
// (recorded, not slept).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace spiscript {

// Starts a new script; forgets what was sent before.
void begin();

void read(uint8_t reg, uint8_t value);   // a read that returns value
void write(uint8_t reg, uint8_t value);  // a write of exactly value
void pause_us(unsigned us);                 // a usleep(us)

// SetBitMask / ClearBitMask as the chip sees them: the register read
// (answering `now`) and written back.
void set_bits(uint8_t reg, uint8_t now, uint8_t mask);
void clear_bits(uint8_t reg, uint8_t now, uint8_t mask);

// Success when exactly the scripted accesses happened, in order.
::testing::AssertionResult done();

// The raw bytes of every transfer since begin(), two per transfer.
const std::vector<std::vector<uint8_t>>& raw();

// Byte 0 of a read's answer (what the chip clocks out during the address).
void set_address_echo(uint8_t b);

}  // namespace spiscript
