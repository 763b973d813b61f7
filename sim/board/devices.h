// The devices behind the simulated board's SPI0 chip select 0. Each is
// called with the board lock held.
#pragma once

#include "board_state.h"
#include "faults.h"

namespace boatsim {

// One chip-select assertion on SPI0 chip select 0, bytes as on the wire:
// the profile's device answers (MFRC522 or MCP3008), or nothing does.
void spi_cs0_exchange(BoardState& s, const uint8_t* tx, uint8_t* rx, uint32_t len);

// Power-on state of the whole board: pins as inputs and low, SPI idle,
// the reader chip at its reset values, converter inputs at 0.
void board_power_on(BoardState& s);

// MFRC522 reader chip (checkin and tagreader profiles).
void mfrc522_power_on(BoardState& s);
void mfrc522_spi(BoardState& s, const uint8_t* tx, uint8_t* rx, uint32_t len);
// A fault of the chip came (on) or went.
void mfrc522_fault(BoardState& s, Fault f, bool on);

// MCP3008 converter (tracker profile).
void mcp3008_spi(BoardState& s, const uint8_t* tx, uint8_t* rx, uint32_t len);

}  // namespace boatsim
