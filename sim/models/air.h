// The RF interface between a reader and the cards in the field, as
// ISO/IEC 14443-3 type A frames. Used by both simulated readers (the
// MFRC522 model and the emulated NFC reader). Call with the board lock held.
#pragma once

#include "board_state.h"

namespace boatsim {

// ISO/IEC 14443-3 type A commands and values that the readers and the
// cards share.
constexpr uint8_t kReqa = 0x26;
constexpr uint8_t kWupa = 0x52;
constexpr uint8_t kHlta = 0x50;
constexpr uint8_t kSelCl1 = 0x93;
constexpr uint8_t kSelCl2 = 0x95;
constexpr uint8_t kSelCl3 = 0x97;
constexpr uint8_t kCascadeTag = 0x88;
constexpr uint8_t kNvbSelect = 0x70;
constexpr uint8_t kSakCascade = 0x04;  // SAK bit: the UID is not complete

// What the reader receives after one frame. Bits are numbered as sent on
// air: bit 0 is the least significant bit of data[0].
//
// Collisions: load modulation of several cards superposes, so a bit in
// which the answers differ is received as 1 (the OR of the answers), as is
// every later differing bit; coll_pos counts from the first bit received
// (1 = that bit), not from any bits the reader sent before it.
struct AirReply {
    uint8_t data[64];
    uint16_t bits;      // bits received; 0 when no card answered
    bool collision;     // cards answered with different values in some bit
    uint16_t coll_pos;  // 1-based position of the first collided bit (collision only)
    bool parity_error;  // a byte arrived whose parity bit does not fit it
};

// Sends one frame of `tx_bits` bits (a 7-bit short frame for REQA/WUPA;
// whole bytes with their CRC_A as sent; a bit-oriented anticollision frame
// with SEL, NVB and the known UID bits) to every card in the field with
// the antenna on, and collects their answers as the reader would see them.
// A frame no card answers leaves bits 0. The cards' faults (faults.h)
// spoil their answers here.
void air_exchange(BoardState& s, const uint8_t* tx, uint16_t tx_bits, AirReply* out);

// MIFARE Classic authentication of the selected (ACTIVE) card whose
// authentication UID is `uid4` (the UID for 4-byte cards, the last four
// UID bytes of 7- and 10-byte cards) with `key` as key A (cmd 0x60) or key
// B (cmd 0x61) of the sector holding `block`. Crypto1 is not simulated on
// air: after success the card takes READ and WRITE of that sector in plain
// frames. A failed authentication sends the card back to IDLE (HALT if it
// was woken by WUPA), as the real card drops out of the protocol.
bool card_authenticate(BoardState& s, uint8_t cmd, uint8_t block, const uint8_t key[6], const uint8_t uid4[4]);

// The reader's field went off: every card in it loses power and comes back
// IDLE when the field returns.
void air_field_off(BoardState& s);

// CRC_A of ISO/IEC 14443-3 (preset 0x6363), appended low byte first.
uint16_t crc_a(const uint8_t* data, size_t len, uint16_t preset = 0x6363);

}  // namespace boatsim
