// MFRC522 register access, command engine and the ISO/IEC 14443-3 type A /
// MIFARE Classic card commands built on it. Names follow the chip maker's
// style; register and command names are those of the MFRC522 data sheet.
#pragma once

#include "reader.h"

#include <cstdint>

// The chip's registers, commands and bits by the data sheet's names, as the
// simulator's chip model knows them too.
#include "mfrc522_regs.h"
using namespace mfrc522;

// Card commands.
constexpr uint8_t REQA = 0x26;
constexpr uint8_t SEL_CL1 = 0x93;
constexpr uint8_t SEL_CL2 = 0x95;
constexpr uint8_t SEL_CL3 = 0x97;
constexpr uint8_t MF_AUTH_KEY_A = 0x60;
constexpr uint8_t MF_AUTH_KEY_B = 0x61;
constexpr uint8_t MF_READ = 0x30;
constexpr uint8_t MF_WRITE = 0xA0;
constexpr uint8_t HLTA = 0x50;
// NVB of an anticollision frame without serial bits, and of a select.
constexpr uint8_t NVB_ANTICOLL = 0x20;
constexpr uint8_t NVB_SELECT = 0x70;

// Largest frame: 16 data bytes and CRC_A; also the most an exchange stores.
constexpr uint8_t FRAME_MAX = 18;

// Register access: one two-byte SPI transfer each.
uint8_t ReadRawRC(uint8_t Address);
void WriteRawRC(uint8_t Address, uint8_t value);
void SetBitMask(uint8_t reg, uint8_t mask);
void ClearBitMask(uint8_t reg, uint8_t mask);

uint8_t PcdReset();
void PcdAntennaOn();
void PcdAntennaOff();

// READER_OK while the chip holds what PcdReset and PcdAntennaOn set up
// (TModeReg as written, both antenna drivers on), else READER_ERROR. A chip
// that reset itself, left the bus or switched its drivers off fails it.
uint8_t PcdCheckSetup();

// CRC_A of len bytes by the chip's coprocessor, low byte first in crc.
void CalulateCRC(const uint8_t* data, uint8_t len, uint8_t* crc);

// One exchange through the command engine. rx (at least FRAME_MAX
// bytes) may be tx; *rx_bits is the answer length in bits, mod 256.
uint8_t PcdComMF522(uint8_t Command, const uint8_t* tx, uint8_t tx_len, uint8_t* rx,
                    uint8_t* rx_bits);

// Card commands.
uint8_t PcdRequest(uint8_t req_code, uint8_t* atqa);
uint8_t PcdAnticoll(uint8_t sel_code, uint8_t* serial);
// On READER_OK *sak holds the card's SAK for this cascade level.
uint8_t PcdSelect(uint8_t sel_code, const uint8_t* serial, uint8_t* sak);
uint8_t PcdAuthState(uint8_t auth_mode, uint8_t addr, const uint8_t* pKey, const uint8_t* serial);
uint8_t PcdRead(uint8_t addr, uint8_t* pData);
uint8_t PcdWrite(uint8_t addr, const uint8_t* pData);
// PcdHalt is declared with the reader operations.

// The tag access layer's receive buffer (ATQA, one cascade level's serial).
extern uint8_t buff[FRAME_MAX];
// SAK of each cascade level that the last select_tag_sn selected.
extern uint8_t sak_levels[3];

// SAK bit 2: the UID is not complete, another cascade level follows.
constexpr uint8_t SAK_CASCADE = 0x04;
