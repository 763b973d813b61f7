// MFRC522 register access, command engine and the ISO/IEC 14443-3 type A /
// MIFARE Classic card commands built on it. Names follow the chip maker's
// style; register and command names are those of the MFRC522 data sheet.
#pragma once

#include "reader.h"

#include <cstdint>

// MFRC522 registers.
constexpr uint8_t CommandReg = 0x01;
constexpr uint8_t ComIEnReg = 0x02;
constexpr uint8_t ComIrqReg = 0x04;
constexpr uint8_t DivIrqReg = 0x05;
constexpr uint8_t ErrorReg = 0x06;
constexpr uint8_t Status2Reg = 0x08;
constexpr uint8_t FIFODataReg = 0x09;
constexpr uint8_t FIFOLevelReg = 0x0A;
constexpr uint8_t ControlReg = 0x0C;
constexpr uint8_t BitFramingReg = 0x0D;
constexpr uint8_t CollReg = 0x0E;
constexpr uint8_t ModeReg = 0x11;
constexpr uint8_t TxControlReg = 0x14;
constexpr uint8_t TxASKReg = 0x15;
constexpr uint8_t RxThresholdReg = 0x18;
constexpr uint8_t CRCResultRegM = 0x21;
constexpr uint8_t CRCResultRegL = 0x22;
constexpr uint8_t RFCfgReg = 0x26;
constexpr uint8_t GsNReg = 0x27;
constexpr uint8_t CWGsPReg = 0x28;
constexpr uint8_t TModeReg = 0x2A;
constexpr uint8_t TPrescalerReg = 0x2B;
constexpr uint8_t TReloadRegH = 0x2C;
constexpr uint8_t TReloadRegL = 0x2D;
constexpr uint8_t VersionReg = 0x37;

// MFRC522 commands.
constexpr uint8_t CMD_Idle = 0x00;
constexpr uint8_t CMD_CalcCRC = 0x03;
constexpr uint8_t CMD_Transceive = 0x0C;
constexpr uint8_t CMD_MFAuthent = 0x0E;
constexpr uint8_t CMD_SoftReset = 0x0F;

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
