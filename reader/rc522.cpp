// MFRC522 over SPI: register access, reset and configuration, the CRC
// coprocessor, the command engine, and the type A / MIFARE Classic card
// commands on top of it.
#include "rc522.h"

#include <bcm2835.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

uint8_t debug = 0;

// Address byte of the SPI frame: bit 7 read, bit 0 always clear.
uint8_t ReadRawRC(uint8_t Address) {
    char buf[2];
    buf[0] = static_cast<char>(((Address << 1) & 0x7E) | 0x80);
    buf[1] = 0x00;
    bcm2835_spi_transfern(buf, 2);
    return static_cast<uint8_t>(buf[1]);
}

void WriteRawRC(uint8_t Address, uint8_t value) {
    char buf[2];
    buf[0] = static_cast<char>((Address << 1) & 0x7E);
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
    WriteRawRC(CommandReg, PCD_RESETPHASE);
    usleep(10000);
    ClearBitMask(TxControlReg, 0x03);
    usleep(10000);
    SetBitMask(TxControlReg, 0x03);
    // Timer: 13.56 MHz / 6781, reload 30, started by each transmission's
    // end, so an unanswered frame ends in TimerIRq after about 15.5 ms.
    WriteRawRC(TModeReg, 0x8D);
    WriteRawRC(TPrescalerReg, 0x3E);
    WriteRawRC(TReloadRegL, 0x1E);
    WriteRawRC(TReloadRegH, 0x00);
    WriteRawRC(TxASKReg, 0x40);
    WriteRawRC(ModeReg, 0x3D);  // CRC preset 0x6363, the CRC_A preset
    WriteRawRC(RxThresholdReg, 0x84);
    WriteRawRC(RFCfgReg, 0x68);
    WriteRawRC(GsNReg, 0xFF);
    WriteRawRC(CWGsPReg, 0x2F);
    return READER_OK;
}

void PcdAntennaOn() {
    uint8_t i = ReadRawRC(TxControlReg);
    if (!(i & 0x03)) SetBitMask(TxControlReg, 0x03);
}

void PcdAntennaOff() { ClearBitMask(TxControlReg, 0x03); }

void InitRc522() {
    PcdReset();
    PcdAntennaOn();
}

void CalulateCRC(const uint8_t* pIndata, uint8_t len, uint8_t* pOutData) {
    ClearBitMask(DivIrqReg, 0x04);
    WriteRawRC(CommandReg, PCD_IDLE);
    SetBitMask(FIFOLevelReg, 0x80);
    for (uint8_t i = 0; i < len; i++) WriteRawRC(FIFODataReg, pIndata[i]);
    WriteRawRC(CommandReg, PCD_CALCCRC);
    // The 255th value is not looked at; an unfinished calculation is not
    // reported, the result registers are read as they are.
    uint8_t i = 0xFF;
    uint8_t n;
    do {
        n = ReadRawRC(DivIrqReg);
        i--;
    } while (i != 0 && !(n & 0x04));
    pOutData[0] = ReadRawRC(CRCResultRegL);
    pOutData[1] = ReadRawRC(CRCResultRegM);
}

uint8_t PcdComMF522(uint8_t Command, const uint8_t* pInData, uint8_t InLenByte, uint8_t* pOutData,
                    uint8_t* pOutLenBit) {
    uint8_t status = READER_ERROR;
    uint8_t irqEn = 0x00;
    uint8_t waitFor = 0x00;
    switch (Command) {
        case PCD_AUTHENT:
            irqEn = 0x12;
            waitFor = 0x10;
            break;
        case PCD_TRANSCEIVE:
            irqEn = 0x77;
            waitFor = 0x30;
            break;
        default:
            break;
    }

    WriteRawRC(ComIEnReg, irqEn | 0x80);
    ClearBitMask(ComIrqReg, 0x80);
    SetBitMask(FIFOLevelReg, 0x80);
    WriteRawRC(CommandReg, PCD_IDLE);
    // Everything to send is in the FIFO before anything is received, so
    // pInData and pOutData may be one buffer.
    for (uint8_t i = 0; i < InLenByte; i++) WriteRawRC(FIFODataReg, pInData[i]);
    WriteRawRC(CommandReg, Command);
    if (Command == PCD_TRANSCEIVE) SetBitMask(BitFramingReg, 0x80);

    uint8_t i = 150;
    uint8_t n;
    do {
        usleep(200);
        n = ReadRawRC(ComIrqReg);
        i--;
    } while (i != 0 && !(n & 0x01) && !(n & waitFor));
    ClearBitMask(BitFramingReg, 0x80);

    if (i == 0) return READER_ERROR;

    uint8_t err = ReadRawRC(ErrorReg);
    if (!(err & 0x11)) {
        status = READER_OK;
        if (n & irqEn & 0x01) status = READER_NO_TAG;
        if (Command == PCD_TRANSCEIVE) {
            n = ReadRawRC(FIFOLevelReg);
            uint8_t lastBits = ReadRawRC(ControlReg) & 0x07;
            if (lastBits)
                *pOutLenBit = static_cast<uint8_t>((n - 1) * 8 + lastBits);
            else
                *pOutLenBit = static_cast<uint8_t>(n * 8);
            if (n == 0) n = 1;
            if (n > MAXRLEN) n = MAXRLEN;
            for (uint8_t k = 0; k < n; k++) pOutData[k] = ReadRawRC(FIFODataReg);
        }
    }
    if (err & 0x08) {
        if (debug) fwrite("COllision \n", 1, 11, stderr);
        status = READER_COLLISION;
    }
    return status;
}

uint8_t PcdRequest(uint8_t req_code, uint8_t* pTagType) {
    uint8_t unLen = 0;
    uint8_t ucComMF522Buf[MAXRLEN] = {};

    WriteRawRC(BitFramingReg, 0x07);
    ucComMF522Buf[0] = req_code;
    uint8_t status = PcdComMF522(PCD_TRANSCEIVE, ucComMF522Buf, 1, ucComMF522Buf, &unLen);
    if (status == READER_OK && unLen == 0x10) {
        pTagType[0] = ucComMF522Buf[0];
        pTagType[1] = ucComMF522Buf[1];
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

uint8_t PcdAnticoll(uint8_t sel_code, uint8_t* pSnr) {
    uint8_t unLen = 0;
    uint8_t ucComMF522Buf[MAXRLEN] = {};
    uint8_t uid[5] = {};  // serial bytes and BCC of this level, as known so far
    uint8_t known = 0;    // serial bits known, counted from the first
    bool bitFramed = false;

    WriteRawRC(BitFramingReg, 0x00);
    ucComMF522Buf[0] = sel_code;
    ucComMF522Buf[1] = 0x20;
    uint8_t status = PcdComMF522(PCD_TRANSCEIVE, ucComMF522Buf, 2, ucComMF522Buf, &unLen);
    join_answer(uid, known, ucComMF522Buf);

    for (uint8_t exchanges = 1; status == READER_COLLISION && exchanges < 32; exchanges++) {
        // CollPos counts from the first bit received in this frame, which
        // follows the bits sent; 0 stands for 32.
        uint8_t pos = ReadRawRC(CollReg) & 0x1F;
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
        ucComMF522Buf[0] = sel_code;
        ucComMF522Buf[1] = static_cast<uint8_t>(0x20 + ((known / 8) << 4) + align);
        memcpy(ucComMF522Buf + 2, uid, bytes);
        // Send only the known bits of the last byte and receive the card's
        // first bit right after them.
        WriteRawRC(BitFramingReg, static_cast<uint8_t>((align << 4) | align));
        bitFramed = true;
        status = PcdComMF522(PCD_TRANSCEIVE, ucComMF522Buf, static_cast<uint8_t>(2 + bytes), ucComMF522Buf, &unLen);
        join_answer(uid, known, ucComMF522Buf);
    }
    // The select that follows goes out in whole bytes.
    if (bitFramed) WriteRawRC(BitFramingReg, 0x00);

    if (status != READER_OK) return status;

    uint8_t snr_check = 0;
    for (uint8_t i = 0; i < 4; i++) {
        pSnr[i] = uid[i];
        snr_check ^= uid[i];
    }
    if (snr_check != uid[4]) return READER_ERROR;
    return READER_OK;
}

uint8_t PcdSelect(uint8_t sel_code, const uint8_t* pSnr) {
    uint8_t unLen = 0;
    uint8_t ucComMF522Buf[MAXRLEN] = {};

    ucComMF522Buf[0] = sel_code;
    ucComMF522Buf[1] = 0x70;
    ucComMF522Buf[6] = 0;
    for (uint8_t i = 0; i < 4; i++) {
        ucComMF522Buf[i + 2] = pSnr[i];
        ucComMF522Buf[6] ^= pSnr[i];
    }
    CalulateCRC(ucComMF522Buf, 7, &ucComMF522Buf[7]);
    ClearBitMask(Status2Reg, 0x08);
    uint8_t status = PcdComMF522(PCD_TRANSCEIVE, ucComMF522Buf, 9, ucComMF522Buf, &unLen);
    if (status == READER_OK && unLen == 0x18) return READER_OK;
    return READER_ERROR;
}

uint8_t PcdAuthState(uint8_t auth_mode, uint8_t addr, const uint8_t* pKey, const uint8_t* pSnr) {
    uint8_t unLen = 0;
    uint8_t ucComMF522Buf[MAXRLEN] = {};

    ucComMF522Buf[0] = auth_mode;
    ucComMF522Buf[1] = addr;
    memcpy(&ucComMF522Buf[2], pKey, 6);
    memcpy(&ucComMF522Buf[8], pSnr, 4);
    uint8_t status = PcdComMF522(PCD_AUTHENT, ucComMF522Buf, 12, ucComMF522Buf, &unLen);
    if (status != READER_OK || !(ReadRawRC(Status2Reg) & 0x08)) return READER_ERROR;
    return READER_OK;
}

uint8_t PcdRead(uint8_t addr, uint8_t* pData) {
    uint8_t unLen = 0;
    uint8_t ucComMF522Buf[MAXRLEN] = {};
    uint8_t crc[2];

    ucComMF522Buf[0] = PICC_READ;
    ucComMF522Buf[1] = addr;
    CalulateCRC(ucComMF522Buf, 2, &ucComMF522Buf[2]);
    uint8_t status = PcdComMF522(PCD_TRANSCEIVE, ucComMF522Buf, 4, ucComMF522Buf, &unLen);
    CalulateCRC(ucComMF522Buf, 16, crc);
    if (status != READER_OK || unLen != 0x90) return READER_ERROR;
    status = (crc[0] != ucComMF522Buf[16] || crc[1] != ucComMF522Buf[17]) ? READER_CRC_ERROR : READER_OK;
    memcpy(pData, ucComMF522Buf, 16);
    return status;
}

// A MIFARE write step is acknowledged with the 4-bit ACK 0xA.
static bool write_acked(uint8_t status, uint8_t unLen, const uint8_t* answer) {
    return status == READER_OK && unLen == 4 && (answer[0] & 0x0F) == 0x0A;
}

uint8_t PcdWrite(uint8_t addr, const uint8_t* pData) {
    uint8_t unLen = 0;
    uint8_t ucComMF522Buf[MAXRLEN] = {};

    ucComMF522Buf[0] = PICC_WRITE;
    ucComMF522Buf[1] = addr;
    CalulateCRC(ucComMF522Buf, 2, &ucComMF522Buf[2]);
    uint8_t status = PcdComMF522(PCD_TRANSCEIVE, ucComMF522Buf, 4, ucComMF522Buf, &unLen);
    if (!write_acked(status, unLen, ucComMF522Buf)) return READER_ERROR;

    memcpy(ucComMF522Buf, pData, 16);
    CalulateCRC(ucComMF522Buf, 16, &ucComMF522Buf[16]);
    status = PcdComMF522(PCD_TRANSCEIVE, ucComMF522Buf, 18, ucComMF522Buf, &unLen);
    if (!write_acked(status, unLen, ucComMF522Buf)) return READER_ERROR;
    return READER_OK;
}

uint8_t PcdHalt() {
    uint8_t unLen = 0;
    uint8_t ucComMF522Buf[MAXRLEN] = {};

    ucComMF522Buf[0] = PICC_HALT;
    ucComMF522Buf[1] = 0;
    CalulateCRC(ucComMF522Buf, 2, &ucComMF522Buf[2]);
    return PcdComMF522(PCD_TRANSCEIVE, ucComMF522Buf, 4, ucComMF522Buf, &unLen);
}
