// The RF interface between a reader and the cards in the field, as
// ISO/IEC 14443-3 type A frames. Used by both simulated readers (the
// MFRC522 model and the emulated NFC reader). Call with the board lock held.
#pragma once

#include "board_state.h"

namespace boatsim {

// What the reader receives after one frame. Bits are numbered as sent on
// air: bit 0 is the least significant bit of data[0].
struct AirReply {
    uint8_t data[64];
    uint16_t bits;      // bits received; 0 when no card answered
    bool collision;     // cards answered with different values in some bit
    uint16_t coll_pos;  // 1-based position of the first collided bit (collision only)
};

// Sends one frame of `tx_bits` bits (a 7-bit short frame for REQA/WUPA;
// whole bytes with their CRC_A as sent; a bit-oriented anticollision frame
// with SEL, NVB and the known UID bits) to every card in the field with
// the antenna on, and collects their answers as the reader would see them.
// A frame no card answers leaves bits 0.
void air_exchange(BoardState& s, const uint8_t* tx, uint16_t tx_bits, AirReply* out);

// CRC_A of ISO/IEC 14443-3 (preset 0x6363), appended low byte first.
uint16_t crc_a(const uint8_t* data, size_t len, uint16_t preset = 0x6363);

}  // namespace boatsim
