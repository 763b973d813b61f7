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

// Resets and configures the MFRC522, switches its antenna on and reads its
// VersionReg into Rc522Version. HW_init must have run first.
void InitRc522();

// VersionReg as the last InitRc522 read it.
extern uint8_t Rc522Version;

// An MFRC522 answers 0x91 (version 1.0) or 0x92 (2.0); a chip that is not
// there reads 0x00 or 0xFF.
constexpr bool rc522_version_known(uint8_t v) { return v == 0x91 || v == 0x92; }

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

// The reader watch: call once per loop pass. Once every kWatchPasses
// passes it checks that the chip still holds its set-up (two register
// reads) and sets it up again when it does not. Returns the WATCH_ events
// of this pass for the program to report, 0 on most passes.
constexpr uint8_t kWatchPasses = 13;  // also boat_checkin's blink cycle
constexpr uint8_t WATCH_RESET = 0x01;  // the chip had lost its set-up; InitRc522 ran again
constexpr uint8_t WATCH_LOST = 0x02;   // ...and still does not hold it: no reader
constexpr uint8_t WATCH_BACK = 0x04;   // a lost reader holds its set-up again
uint8_t watch_reader();
