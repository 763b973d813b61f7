// The RF field of the simulated reader: cards put in and taken out by the
// control tool, the tests and the emulated NFC reader. These functions take
// the board lock themselves.
#pragma once

#include "board_state.h"

namespace boatsim {

// Puts a MIFARE Classic 1K card into the field in the IDLE state. `atqa`
// (2 bytes, in the order the card sends them) may be null and `sak` -1 for
// the defaults of the UID size: ATQA 0400/4400/8400, SAK 08 for 4 bytes and
// 00 otherwise. Returns the card's slot, or -1 when the UID length is not
// 4, 7 or 10, the card is already in the field, or the field is full.
int card_put(BoardState& s, const uint8_t* uid, uint8_t uid_len, const uint8_t* atqa, int sak);

// Takes the card with this UID out of the field. False when it is not there.
bool card_take(BoardState& s, const uint8_t* uid, uint8_t uid_len);

void card_take_all(BoardState& s);

// A UID that ISO/IEC 14443-3 forbids: the cascade tag 0x88 as uid0 of a
// single-size or uid3 of a double-size UID, where a reader deciding by the
// cascade tag alone would look for a level that does not exist. UID-writable
// cards carry them all the same, so card_put takes them.
bool uid_forbidden(const Card& c);

}  // namespace boatsim
