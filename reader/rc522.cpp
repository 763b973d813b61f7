// MFRC522 over SPI: register access, reset and configuration, the CRC
// coprocessor, the command engine, and the type A / MIFARE Classic card
// commands on top of it.
#include "rc522.h"

#include <bcm2835.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

uint8_t debug = 0;
uint8_t Rc522Version = 0;

namespace {

// The set-up PcdReset writes, and PcdCheckSetup finds again while the chip
// keeps it.
// Timer: 13.56 MHz / (2 * TPrescaler + 1) = 13.56 MHz / 6781, reload 30,
// started by each transmission's end (TAuto), so an unanswered frame ends
// in TimerIRq after about 15.5 ms.
constexpr uint16_t kTPrescaler = 0x0D3E;
constexpr uint8_t kTModeSetup = TAuto | ((kTPrescaler >> 8) & TPrescalerHiMask);
constexpr uint8_t kTReload = 30;
constexpr uint8_t kAntennaDrivers = Tx1RFEn | Tx2RFEn;
// ModeReg's reserved bits 4 and 2, as the chip comes out of reset.
constexpr uint8_t kModeReserved = 0x14;
constexpr uint8_t kModeSetup = TxWaitRF | PolMFin | kModeReserved | CRCPreset6363;  // CRC_A's preset
// RxThresholdReg: MinLevel 8, CollLevel 4.
constexpr uint8_t kRxThresholdSetup = (8 << MinLevelShift) | 4;
// RFCfgReg: 48 dB receiver gain; reserved bit 3 as after reset.
constexpr uint8_t kRFCfgReserved = 0x08;
constexpr uint8_t kRFCfgSetup = (RxGain48dB << RxGainShift) | kRFCfgReserved;
// The antenna drivers' conductance: CWGsN and ModGsN 15, CWGsP 47.
constexpr uint8_t kGsNSetup = (15 << CWGsNShift) | 15;
constexpr uint8_t kCWGsPSetup = 47;

// What the command engine waits for, per command: the interrupts enabled
// and those that end the wait (besides TimerIRq).
constexpr uint8_t kAuthentIEn = IdleIEn | ErrIEn;
constexpr uint8_t kAuthentDone = IdleIRq;
constexpr uint8_t kTransceiveIEn = TxIEn | RxIEn | IdleIEn | LoAlertIEn | ErrIEn | TimerIEn;
constexpr uint8_t kTransceiveDone = RxIRq | IdleIRq;

}  // namespace

uint8_t ReadRawRC(uint8_t Address) {
    char buf[2];
    buf[0] = static_cast<char>(spi_address(Address) | SpiRead);
    buf[1] = 0x00;
    bcm2835_spi_transfern(buf, 2);
    return static_cast<uint8_t>(buf[1]);
}

void WriteRawRC(uint8_t Address, uint8_t value) {
    char buf[2];
    buf[0] = static_cast<char>(spi_address(Address));
    buf[1] = static_cast<char>(value);
    bcm2835_spi_transfern(buf, 2);
}

void SetBitMask(uint8_t reg, uint8_t mask) {
    uint8_t tmp = ReadRawRC(reg);
    WriteRawRC(reg, tmp | mask);
}

void ClearBitMask(uint8_t reg, uint8_t mask) {
    uint8_t tmp = ReadRawRC(reg);
    WriteRawRC(reg, tmp & static_cast<uint8_t>(~mask));
}

uint8_t PcdReset() {
    WriteRawRC(CommandReg, SoftReset);
    usleep(10000);
    ClearBitMask(TxControlReg, kAntennaDrivers);
    usleep(10000);
    SetBitMask(TxControlReg, kAntennaDrivers);
    WriteRawRC(TModeReg, kTModeSetup);
    WriteRawRC(TPrescalerReg, kTPrescaler & 0xFF);
    WriteRawRC(TReloadRegL, kTReload);
    WriteRawRC(TReloadRegH, 0x00);
    WriteRawRC(TxASKReg, Force100ASK);
    WriteRawRC(ModeReg, kModeSetup);
    WriteRawRC(RxThresholdReg, kRxThresholdSetup);
    WriteRawRC(RFCfgReg, kRFCfgSetup);
    WriteRawRC(GsNReg, kGsNSetup);
    WriteRawRC(CWGsPReg, kCWGsPSetup);
    return READER_OK;
}

void PcdAntennaOn() {
    uint8_t i = ReadRawRC(TxControlReg);
    if (!(i & kAntennaDrivers)) SetBitMask(TxControlReg, kAntennaDrivers);
}

void PcdAntennaOff() { ClearBitMask(TxControlReg, kAntennaDrivers); }

void InitRc522() {
    PcdReset();
    PcdAntennaOn();
    Rc522Version = ReadRawRC(VersionReg);
}

uint8_t PcdCheckSetup() {
    if (ReadRawRC(TModeReg) != kTModeSetup) return READER_ERROR;
    if ((ReadRawRC(TxControlReg) & kAntennaDrivers) != kAntennaDrivers) return READER_ERROR;
    return READER_OK;
}

void CalulateCRC(const uint8_t* data, uint8_t len, uint8_t* crc) {
    // Set2 clear: the 1 clears CRCIRq. A read-modify-write would write it
    // back as 0 and leave the last calculation's CRCIRq standing.
    WriteRawRC(DivIrqReg, CRCIRq);
    WriteRawRC(CommandReg, Idle);
    SetBitMask(FIFOLevelReg, FlushBuffer);
    for (uint8_t i = 0; i < len; i++) WriteRawRC(FIFODataReg, data[i]);
    WriteRawRC(CommandReg, CalcCRC);
    // The 255th value is not looked at; an unfinished calculation is not
    // reported, the result registers are read as they are.
    uint8_t i = 0xFF;
    uint8_t n;
    do {
        n = ReadRawRC(DivIrqReg);
        i--;
    } while (i != 0 && !(n & CRCIRq));
    crc[0] = ReadRawRC(CRCResultRegL);
    crc[1] = ReadRawRC(CRCResultRegH);
}

uint8_t PcdComMF522(uint8_t Command, const uint8_t* tx, uint8_t tx_len, uint8_t* rx,
                    uint8_t* rx_bits) {
    uint8_t status = READER_ERROR;
    uint8_t irq_enable = 0x00;
    uint8_t irq_wait = 0x00;
    switch (Command) {
        case MFAuthent:
            irq_enable = kAuthentIEn;
            irq_wait = kAuthentDone;
            break;
        case Transceive:
            irq_enable = kTransceiveIEn;
            irq_wait = kTransceiveDone;
            break;
        default:
            break;
    }

    WriteRawRC(ComIEnReg, irq_enable | IRqInv);
    ClearBitMask(ComIrqReg, Set1);
    SetBitMask(FIFOLevelReg, FlushBuffer);
    WriteRawRC(CommandReg, Idle);
    // Everything to send is in the FIFO before anything is received, so
    // tx and rx may be one buffer.
    for (uint8_t i = 0; i < tx_len; i++) WriteRawRC(FIFODataReg, tx[i]);
    WriteRawRC(CommandReg, Command);
    if (Command == Transceive) SetBitMask(BitFramingReg, StartSend);

    uint8_t i = 150;
    uint8_t n;
    do {
        usleep(200);
        n = ReadRawRC(ComIrqReg);
        i--;
    } while (i != 0 && !(n & TimerIRq) && !(n & irq_wait));
    ClearBitMask(BitFramingReg, StartSend);

    if (i == 0) return READER_ERROR;

    uint8_t err = ReadRawRC(ErrorReg);
    // BufferOvfl, ProtocolErr, and ParityErr outside a collision (whose
    // collided bits carry no valid parity) spoil the answer.
    uint8_t spoiled = err & (BufferOvfl | ProtocolErr);
    if (!(err & CollErr)) spoiled |= err & ParityErr;
    if (!spoiled) {
        status = READER_OK;
        if (n & irq_enable & TimerIEn) status = READER_NO_TAG;
        if (Command == Transceive) {
            n = ReadRawRC(FIFOLevelReg);
            uint8_t last_bits = ReadRawRC(ControlReg) & RxLastBitsMask;
            if (last_bits)
                *rx_bits = static_cast<uint8_t>((n - 1) * 8 + last_bits);
            else
                *rx_bits = static_cast<uint8_t>(n * 8);
            if (n == 0) n = 1;
            if (n > FRAME_MAX) n = FRAME_MAX;
            for (uint8_t k = 0; k < n; k++) rx[k] = ReadRawRC(FIFODataReg);
        }
    }
    if (err & CollErr) {
        if (debug) fwrite("COllision \n", 1, 11, stderr);
        status = READER_COLLISION;
    }
    return status;
}

uint8_t PcdRequest(uint8_t req_code, uint8_t* atqa) {
    uint8_t bits = 0;
    uint8_t frame[FRAME_MAX] = {};

    WriteRawRC(BitFramingReg, 7);  // TxLastBits: REQA is a short frame of 7 bits
    frame[0] = req_code;
    uint8_t status = PcdComMF522(Transceive, frame, 1, frame, &bits);
    if (status == READER_OK && bits == 0x10) {
        atqa[0] = frame[0];
        atqa[1] = frame[1];
        return READER_OK;
    }
    if (status == READER_NO_TAG || status == READER_COLLISION) return status;
    return READER_ERROR;
}

// Joins the answer of an anticollision frame that carried `known` serial
// bits to those bits. The card sends the rest of its serial number and the
// BCC, the first bit landing at bit position known % 8 (RxAlign) of the
// first received byte.
static void join_answer(uint8_t* uid, uint8_t known, const uint8_t* answer) {
    const uint8_t first = known / 8;
    const uint8_t align = known % 8;
    const uint8_t keep = static_cast<uint8_t>((1u << align) - 1);
    for (uint8_t k = 0; first + k < 5; k++) {
        if (k == 0)
            uid[first] = static_cast<uint8_t>((uid[first] & keep) | (answer[0] & static_cast<uint8_t>(~keep)));
        else
            uid[first + k] = answer[k];
    }
}

uint8_t PcdAnticoll(uint8_t sel_code, uint8_t* serial) {
    uint8_t bits = 0;
    uint8_t frame[FRAME_MAX] = {};
    uint8_t uid[5] = {};  // serial bytes and BCC of this level, as known so far
    uint8_t known = 0;    // serial bits known, counted from the first
    bool bit_framed = false;

    WriteRawRC(BitFramingReg, 0x00);
    frame[0] = sel_code;
    frame[1] = NVB_ANTICOLL;
    uint8_t status = PcdComMF522(Transceive, frame, 2, frame, &bits);
    join_answer(uid, known, frame);

    for (uint8_t exchanges = 1; status == READER_COLLISION && exchanges < 32; exchanges++) {
        // CollPos counts from the first bit received in this frame, which
        // follows the bits sent; 0 stands for 32.
        uint8_t pos = ReadRawRC(CollReg) & CollPosMask;
        if (pos == 0) pos = 32;
        if (pos > 32 - known) {
            status = READER_ERROR;  // not a serial bit: nothing to follow
            break;
        }
        known = static_cast<uint8_t>(known + pos);
        // Follow the card with a 1 at the collided bit; later bits are open.
        const uint8_t lastByte = (known - 1) / 8;
        const uint8_t lastBit = (known - 1) % 8;
        uid[lastByte] = static_cast<uint8_t>((uid[lastByte] | (1u << lastBit)) & (0xFFu >> (7 - lastBit)));

        const uint8_t bytes = lastByte + 1;
        const uint8_t align = known % 8;
        frame[0] = sel_code;
        frame[1] = static_cast<uint8_t>(NVB_ANTICOLL + ((known / 8) << 4) + align);
        memcpy(frame + 2, uid, bytes);
        // Send only the known bits of the last byte and receive the card's
        // first bit right after them.
        WriteRawRC(BitFramingReg, static_cast<uint8_t>((align << RxAlignShift) | align));
        bit_framed = true;
        status = PcdComMF522(Transceive, frame, static_cast<uint8_t>(2 + bytes), frame, &bits);
        join_answer(uid, known, frame);
    }
    // The select that follows goes out in whole bytes.
    if (bit_framed) WriteRawRC(BitFramingReg, 0x00);

    if (status != READER_OK) return status;

    uint8_t bcc = 0;
    for (uint8_t i = 0; i < 4; i++) {
        serial[i] = uid[i];
        bcc ^= uid[i];
    }
    if (bcc != uid[4]) return READER_ERROR;
    return READER_OK;
}

uint8_t PcdSelect(uint8_t sel_code, const uint8_t* serial, uint8_t* sak) {
    uint8_t bits = 0;
    uint8_t frame[FRAME_MAX] = {};

    frame[0] = sel_code;
    frame[1] = NVB_SELECT;
    frame[6] = 0;
    for (uint8_t i = 0; i < 4; i++) {
        frame[i + 2] = serial[i];
        frame[6] ^= serial[i];
    }
    CalulateCRC(frame, 7, &frame[7]);
    ClearBitMask(Status2Reg, MFCrypto1On);
    uint8_t status = PcdComMF522(Transceive, frame, 9, frame, &bits);
    if (status != READER_OK || bits != 0x18) return READER_ERROR;
    *sak = frame[0];
    return READER_OK;
}

uint8_t PcdAuthState(uint8_t auth_mode, uint8_t addr, const uint8_t* pKey, const uint8_t* serial) {
    uint8_t bits = 0;
    uint8_t frame[FRAME_MAX] = {};

    frame[0] = auth_mode;
    frame[1] = addr;
    memcpy(&frame[2], pKey, 6);
    memcpy(&frame[8], serial, 4);
    uint8_t status = PcdComMF522(MFAuthent, frame, 12, frame, &bits);
    if (status != READER_OK || !(ReadRawRC(Status2Reg) & MFCrypto1On)) return READER_ERROR;
    return READER_OK;
}

uint8_t PcdRead(uint8_t addr, uint8_t* pData) {
    uint8_t bits = 0;
    uint8_t frame[FRAME_MAX] = {};
    uint8_t crc[2];

    frame[0] = MF_READ;
    frame[1] = addr;
    CalulateCRC(frame, 2, &frame[2]);
    uint8_t status = PcdComMF522(Transceive, frame, 4, frame, &bits);
    CalulateCRC(frame, 16, crc);
    if (status != READER_OK || bits != 0x90) return READER_ERROR;
    status = (crc[0] != frame[16] || crc[1] != frame[17]) ? READER_CRC_ERROR : READER_OK;
    memcpy(pData, frame, 16);
    return status;
}

// A MIFARE write step is acknowledged with the 4-bit ACK 0xA.
static bool write_acked(uint8_t status, uint8_t bits, const uint8_t* answer) {
    return status == READER_OK && bits == 4 && (answer[0] & 0x0F) == 0x0A;
}

uint8_t PcdWrite(uint8_t addr, const uint8_t* pData) {
    uint8_t bits = 0;
    uint8_t frame[FRAME_MAX] = {};

    frame[0] = MF_WRITE;
    frame[1] = addr;
    CalulateCRC(frame, 2, &frame[2]);
    uint8_t status = PcdComMF522(Transceive, frame, 4, frame, &bits);
    if (!write_acked(status, bits, frame)) return READER_ERROR;

    memcpy(frame, pData, 16);
    CalulateCRC(frame, 16, &frame[16]);
    status = PcdComMF522(Transceive, frame, 18, frame, &bits);
    if (!write_acked(status, bits, frame)) return READER_ERROR;
    return READER_OK;
}

uint8_t PcdHalt() {
    uint8_t bits = 0;
    uint8_t frame[FRAME_MAX] = {};

    frame[0] = HLTA;
    frame[1] = 0;
    CalulateCRC(frame, 2, &frame[2]);
    return PcdComMF522(Transceive, frame, 4, frame, &bits);
}
