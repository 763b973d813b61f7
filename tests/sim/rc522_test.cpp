// The reader chip's register interface: SPI framing, reset, FIFO, interrupt
// bits, timer and antenna.
#include "rc522_fixture.h"

#include <bcm2835.h>

#include <cstring>

using namespace mfrc522;

namespace {

std::vector<uint8_t> spi(std::vector<uint8_t> bytes) {
    bcm2835_spi_transfern(reinterpret_cast<char*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
    return bytes;
}

TEST_F(Rc522Test, ReadIsAddressByteThenValueInSecondByte) {
    EXPECT_EQ(spi({0xEE, 0x00})[1], 0x92);  // VersionReg
    wr(ComIrqReg, Set1 | TimerIRq);
    const auto rx = spi({0x88, 0x00});  // ComIrqReg
    EXPECT_EQ(rx[1] & TimerIRq, TimerIRq);
    EXPECT_EQ(rx[1] & 0x80, 0);  // Set1 is write-only
    EXPECT_EQ(rd(ComIrqReg), rx[1]);
}

TEST_F(Rc522Test, MultiByteReadAndWriteSequences) {
    // Several addresses in one selection: each value comes one byte later.
    const auto rx = spi({0xEE, 0xA2, 0xD4, 0x00});  // VersionReg, ModeReg, TModeReg
    EXPECT_EQ(rx[1], 0x92);
    EXPECT_EQ(rx[2], 0x3D);
    EXPECT_EQ(rx[3], 0x8D);
    // One write address, several data bytes: all go to that register.
    wr(FIFOLevelReg, FlushBuffer);
    spi({0x12, 0x11, 0x22, 0x33});  // FIFODataReg
    EXPECT_EQ(rd(FIFOLevelReg), 3);
    EXPECT_EQ(rd(FIFODataReg), 0x11);
    EXPECT_EQ(rd(FIFODataReg), 0x22);
    EXPECT_EQ(rd(FIFOLevelReg), 1);
}

TEST_F(Rc522Test, SoftResetWrittenAs020FRestoresResetValues) {
    EXPECT_EQ(rd(ModeReg), 0x3D);
    EXPECT_EQ(rd(TxControlReg) & 0x03, 0x03);
    wr(FIFODataReg, 0x55);
    spi({0x02, 0x0F});
    EXPECT_EQ(rd(ModeReg), 0x3F);
    EXPECT_EQ(rd(TxControlReg), 0x80);  // antenna drivers off
    EXPECT_EQ(rd(TModeReg), 0x00);
    EXPECT_EQ(rd(ComIrqReg), 0x14);
    EXPECT_EQ(rd(FIFOLevelReg), 0);
    EXPECT_EQ(rd(VersionReg), 0x92);
}

TEST_F(Rc522Test, ReadOnlyRegistersIgnoreWrites) {
    wr(VersionReg, 0x12);
    wr(ErrorReg, 0xFF);
    wr(CRCResultRegH, 0x00);
    EXPECT_EQ(rd(VersionReg), 0x92);
    EXPECT_EQ(rd(ErrorReg), 0x00);
    EXPECT_EQ(rd(CRCResultRegH), 0xFF);
    // MFCrypto1On cannot be set by software.
    wr(Status2Reg, MFCrypto1On);
    EXPECT_EQ(rd(Status2Reg) & MFCrypto1On, 0);
}

TEST_F(Rc522Test, IrqRegistersSetAndClearWithSet1) {
    wr(ComIrqReg, 0x7F);
    EXPECT_EQ(rd(ComIrqReg), 0);
    wr(ComIrqReg, Set1 | RxIRq | TimerIRq);
    EXPECT_EQ(rd(ComIrqReg), RxIRq | TimerIRq);
    wr(ComIrqReg, TimerIRq);  // Set1 clear: clears the marked bit only
    EXPECT_EQ(rd(ComIrqReg), RxIRq);
    // The driver's ClearBitMask(ComIrqReg, 0x80) writes back what it read.
    wr(ComIrqReg, rd(ComIrqReg) & 0x7F);
    EXPECT_EQ(rd(ComIrqReg), 0);
    wr(DivIrqReg, Set2 | CRCIRq);
    EXPECT_EQ(rd(DivIrqReg), CRCIRq);
    wr(DivIrqReg, CRCIRq);
    EXPECT_EQ(rd(DivIrqReg), 0);
}

TEST_F(Rc522Test, FifoOverflowAndFlush) {
    wr(FIFOLevelReg, FlushBuffer);
    for (int i = 0; i < 64; i++) wr(FIFODataReg, static_cast<uint8_t>(i));
    EXPECT_EQ(rd(FIFOLevelReg), 64);
    EXPECT_EQ(rd(ErrorReg) & BufferOvfl, 0);
    wr(FIFODataReg, 0xEE);
    EXPECT_EQ(rd(FIFOLevelReg), 64);
    EXPECT_EQ(rd(ErrorReg) & BufferOvfl, BufferOvfl);
    EXPECT_EQ(rd(FIFODataReg), 0);  // the first byte, not the refused one
    wr(FIFOLevelReg, FlushBuffer);
    EXPECT_EQ(rd(FIFOLevelReg), 0);
    EXPECT_EQ(rd(ErrorReg) & BufferOvfl, 0);
}

TEST_F(Rc522Test, UnansweredFrameEndsWithTimerIrq) {
    const Exchange ex = reqa();  // no card in the field
    EXPECT_FALSE(ex.timed_out);
    EXPECT_EQ(ex.irq & TimerIRq, TimerIRq);
    EXPECT_EQ(ex.irq & RxIRq, 0);
    EXPECT_EQ(ex.bits, 0);
}

TEST_F(Rc522Test, TimerStaysQuietWithoutTAuto) {
    wr(TModeReg, 0x0D);  // TAuto off
    board_.put_card("11223344");
    wr(CommandReg, Idle);
    wr(ComIrqReg, 0x7F);
    wr(FIFOLevelReg, FlushBuffer);
    wr(FIFODataReg, 0x50);  // not a short frame: the idle card stays silent
    wr(CommandReg, Transceive);
    wr(BitFramingReg, StartSend);
    EXPECT_EQ(rd(Status1Reg) & TRunning, 0);
    EXPECT_EQ(rd(ComIrqReg) & (TimerIRq | RxIRq), 0);
    // TStartNow starts it by hand; it then expires.
    wr(ControlReg, TStartNow);
    EXPECT_TRUE(testsupport::wait_until([&] { return (rd(ComIrqReg) & TimerIRq) != 0; }, 5000, 1));
    EXPECT_EQ(rd(Status1Reg) & TRunning, 0);
}

TEST_F(Rc522Test, NoCardAnswersWithAntennaOff) {
    board_.put_card("11223344");
    wr(TxControlReg, rd(TxControlReg) & ~0x03);
    Exchange ex = reqa();
    EXPECT_FALSE(ex.answered());
    EXPECT_EQ(ex.irq & TimerIRq, TimerIRq);
    // One driver on is enough for a field.
    wr(TxControlReg, rd(TxControlReg) | 0x01);
    ex = reqa();
    EXPECT_TRUE(ex.answered());
    EXPECT_EQ(ex.bits, 16);
}

TEST_F(Rc522Test, AntennaOffPowersCardsDown) {
    board_.put_card("11223344");
    activate({0x11, 0x22, 0x33, 0x44});
    hlta();
    EXPECT_FALSE(reqa().answered());
    wr(TxControlReg, rd(TxControlReg) & ~0x03);
    wr(TxControlReg, rd(TxControlReg) | 0x03);
    EXPECT_TRUE(reqa().answered());  // back in the field as IDLE
}

TEST_F(Rc522Test, TxCrcEnAppendsCrc) {
    board_.put_card("11223344");
    ASSERT_TRUE(reqa().answered());
    ASSERT_TRUE(anticoll(0x93).answered());
    wr(TxModeReg, TxCRCEn);
    // The select frame without CRC: the chip adds it.
    Exchange ex = transceive({0x93, 0x70, 0x11, 0x22, 0x33, 0x44, 0x44});
    EXPECT_EQ(ex.bits, 24);
    ASSERT_EQ(ex.data.size(), 3u);
    EXPECT_EQ(ex.data[0], 0x08);
}

}  // namespace
