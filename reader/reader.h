// The reader operations through which the RC522 programs reach the card
// reader, and the status code every operation of the reader stack returns.
#pragma once

#include <cstdint>

// Reader status codes.
constexpr uint8_t READER_OK = 0;
constexpr uint8_t READER_NO_TAG = 1;
constexpr uint8_t READER_ERROR = 2;
constexpr uint8_t READER_CRC_ERROR = 3;
constexpr uint8_t READER_COLLISION = 4;

// Program-wide debug flag, 0 at start; only tag_reader sets it ("-d").
// The reader stack writes its collision message only when it is set.
extern uint8_t debug;

// Resets and configures the MFRC522 and switches its antenna on. HW_init
// must have run first.
void InitRc522();

// Asks for a card in the idle state (REQA). READER_OK sets *CType to the
// ATQA, first byte in the high half.
uint8_t find_tag(uint16_t* CType);

// Anticollision and select of every cascade level: READER_OK with the UID
// in SN (10 bytes) and its length 4, 7 or 10 in *SN_len, else READER_ERROR.
uint8_t select_tag_sn(uint8_t* SN, uint8_t* SN_len);

// Reads one block as 32 hex characters, or "CRC Error" / "Unknown error".
uint8_t read_tag_str(uint8_t addr, char* str);

// Halts the selected card (HLTA).
uint8_t PcdHalt();
