// MFRC522 register addresses, commands and bits, named as in the NXP data
// sheet. One header for the driver (reader/rc522) and the simulator's chip
// model, so that both speak of the same bits by the same names.
#pragma once

#include <cstdint>

namespace mfrc522 {

enum Reg : uint8_t {
    CommandReg = 0x01,
    ComIEnReg = 0x02,
    DivIEnReg = 0x03,
    ComIrqReg = 0x04,
    DivIrqReg = 0x05,
    ErrorReg = 0x06,
    Status1Reg = 0x07,
    Status2Reg = 0x08,
    FIFODataReg = 0x09,
    FIFOLevelReg = 0x0A,
    WaterLevelReg = 0x0B,
    ControlReg = 0x0C,
    BitFramingReg = 0x0D,
    CollReg = 0x0E,
    ModeReg = 0x11,
    TxModeReg = 0x12,
    RxModeReg = 0x13,
    TxControlReg = 0x14,
    TxASKReg = 0x15,
    TxSelReg = 0x16,
    RxSelReg = 0x17,
    RxThresholdReg = 0x18,
    DemodReg = 0x19,
    MfTxReg = 0x1C,
    MfRxReg = 0x1D,
    SerialSpeedReg = 0x1F,
    CRCResultRegH = 0x21,  // the CRC's upper byte
    CRCResultRegL = 0x22,  // its lower byte
    ModWidthReg = 0x24,
    RFCfgReg = 0x26,
    GsNReg = 0x27,
    CWGsPReg = 0x28,
    ModGsPReg = 0x29,
    TModeReg = 0x2A,
    TPrescalerReg = 0x2B,
    TReloadRegH = 0x2C,
    TReloadRegL = 0x2D,
    TCounterValRegH = 0x2E,
    TCounterValRegL = 0x2F,
    TestSel1Reg = 0x31,
    TestSel2Reg = 0x32,
    TestPinEnReg = 0x33,
    TestPinValueReg = 0x34,
    TestBusReg = 0x35,
    AutoTestReg = 0x36,
    VersionReg = 0x37,
    AnalogTestReg = 0x38,
    TestDAC1Reg = 0x39,
    TestDAC2Reg = 0x3A,
    TestADCReg = 0x3B,
};

// CommandReg's Command bits.
enum Command : uint8_t {
    Idle = 0x0,
    Mem = 0x1,
    GenerateRandomID = 0x2,
    CalcCRC = 0x3,
    Transmit = 0x4,
    NoCmdChange = 0x7,
    Receive = 0x8,
    Transceive = 0xC,
    MFAuthent = 0xE,
    SoftReset = 0xF,
};
constexpr uint8_t CommandMask = 0x0F;

// The SPI address byte: bit 7 set for a read, the address in bits 6 to 1,
// bit 0 clear.
constexpr uint8_t SpiRead = 0x80;
constexpr uint8_t SpiAddressMask = 0x7E;
constexpr uint8_t spi_address(uint8_t reg) { return static_cast<uint8_t>((reg << 1) & SpiAddressMask); }

// ComIEnReg
constexpr uint8_t IRqInv = 0x80, TxIEn = 0x40, RxIEn = 0x20, IdleIEn = 0x10, HiAlertIEn = 0x08, LoAlertIEn = 0x04,
                  ErrIEn = 0x02, TimerIEn = 0x01;
// ComIrqReg
constexpr uint8_t Set1 = 0x80, TxIRq = 0x40, RxIRq = 0x20, IdleIRq = 0x10, HiAlertIRq = 0x08, LoAlertIRq = 0x04,
                  ErrIRq = 0x02, TimerIRq = 0x01;
// DivIrqReg
constexpr uint8_t Set2 = 0x80, MfinActIRq = 0x10, CRCIRq = 0x04;
// ErrorReg
constexpr uint8_t WrErr = 0x80, TempErr = 0x40, BufferOvfl = 0x10, CollErr = 0x08, CRCErr = 0x04, ParityErr = 0x02,
                  ProtocolErr = 0x01;
// Status1Reg
constexpr uint8_t CRCOk = 0x40, CRCReady = 0x20, IRq = 0x10, TRunning = 0x08, HiAlert = 0x02, LoAlert = 0x01;
// Status2Reg
constexpr uint8_t MFCrypto1On = 0x08;
// FIFOLevelReg
constexpr uint8_t FlushBuffer = 0x80;
// ControlReg
constexpr uint8_t TStopNow = 0x80, TStartNow = 0x40, RxLastBitsMask = 0x07;
// BitFramingReg: StartSend, RxAlign in bits 6 to 4, TxLastBits in bits 2 to 0.
constexpr uint8_t StartSend = 0x80, RxAlignShift = 4, TxLastBitsMask = 0x07;
// CollReg
constexpr uint8_t ValuesAfterColl = 0x80, CollPosNotValid = 0x20, CollPosMask = 0x1F;
// ModeReg: TxWaitRF, PolMFin, CRCPreset in bits 1 and 0.
constexpr uint8_t MSBFirst = 0x80, TxWaitRF = 0x20, PolMFin = 0x08, CRCPresetMask = 0x03, CRCPreset6363 = 0x01;
// TxModeReg / RxModeReg
constexpr uint8_t TxCRCEn = 0x80, RxCRCEn = 0x80;
// TxControlReg: the antenna drivers on TX1 and TX2.
constexpr uint8_t Tx2RFEn = 0x02, Tx1RFEn = 0x01;
// TxASKReg
constexpr uint8_t Force100ASK = 0x40;
// RxThresholdReg: MinLevel in bits 7 to 4, CollLevel in bits 2 to 0.
constexpr uint8_t MinLevelShift = 4;
// RFCfgReg: RxGain in bits 6 to 4.
constexpr uint8_t RxGainShift = 4, RxGain48dB = 6;
// GsNReg: CWGsN in bits 7 to 4, ModGsN in bits 3 to 0.
constexpr uint8_t CWGsNShift = 4;
// TModeReg: TAuto, TGated, TAutoRestart, TPrescaler_Hi in bits 3 to 0.
constexpr uint8_t TAuto = 0x80, TAutoRestart = 0x10, TPrescalerHiMask = 0x0F;
// DemodReg
constexpr uint8_t TPrescalEven = 0x10;

constexpr int kFifoSize = 64;

}  // namespace mfrc522
