// CRC_A of the card model and of the chip's coprocessor against libnfc's.
#include "air.h"
#include "rc522_fixture.h"

#include <nfc/nfc.h>

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

TEST(CrcA, KnownFrames) {
    const uint8_t hlta[] = {0x50, 0x00};
    const uint8_t read0[] = {0x30, 0x00};
    EXPECT_EQ(boatsim::crc_a(hlta, 2), 0xCD57);
    EXPECT_EQ(boatsim::crc_a(read0, 2), 0xA802);
}

TEST(CrcA, MatchesLibnfcOnRandomFrames) {
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> byte(0, 255), length(1, 64);
    for (int round = 0; round < 2000; round++) {
        std::vector<uint8_t> data(static_cast<size_t>(length(rng)));
        for (auto& b : data) b = static_cast<uint8_t>(byte(rng));
        uint8_t expect[2] = {};
        iso14443a_crc(data.data(), data.size(), expect);
        const uint16_t got = boatsim::crc_a(data.data(), data.size());
        ASSERT_EQ(got & 0xFF, expect[0]) << "round " << round;
        ASSERT_EQ(got >> 8, expect[1]) << "round " << round;
    }
}

using ChipCrc = Rc522Test;

TEST_F(ChipCrc, CoprocessorGivesKnownValues) {
    uint8_t low = 0;
    EXPECT_EQ(crc_by_chip({0x50, 0x00}, &low), 0xCD);
    EXPECT_EQ(low, 0x57);
    EXPECT_EQ(crc_by_chip({0x30, 0x00}, &low), 0xA8);
    EXPECT_EQ(low, 0x02);
}

// The coprocessor is not instant: the two register accesses after the
// start still see the last result and CRCIRq as they were, and CRCIRq is
// cleared only by a write of its bit with Set2 clear.
TEST_F(ChipCrc, ResultAndCrcIrqComeAtTheThirdAccess) {
    using namespace mfrc522;
    uint8_t low = 0;
    ASSERT_EQ(crc_by_chip({0x50, 0x00}, &low), 0xCD);  // CRCIRq is left set
    ASSERT_TRUE(rd(DivIrqReg) & CRCIRq);
    wr(DivIrqReg, rd(DivIrqReg) & ~CRCIRq);  // written back as 0: clears nothing
    EXPECT_TRUE(rd(DivIrqReg) & CRCIRq);

    wr(CommandReg, Idle);  // CalcCRC runs on and would take the bytes itself
    wr(FIFOLevelReg, FlushBuffer);
    wr(FIFODataReg, 0x30);
    wr(FIFODataReg, 0x00);
    wr(CommandReg, CalcCRC);
    EXPECT_EQ(rd(CRCResultRegL), 0x57) << "first access: the last result";
    EXPECT_EQ(rd(Status1Reg) & CRCReady, 0) << "second access: still running";
    EXPECT_EQ(rd(CRCResultRegL), 0x02) << "third access: done";
    EXPECT_EQ(rd(CRCResultRegH), 0xA8);

    wr(DivIrqReg, CRCIRq);
    wr(CommandReg, CalcCRC);  // no data: the preset's own result, after the same wait
    EXPECT_EQ(rd(DivIrqReg) & CRCIRq, 0);
    EXPECT_EQ(rd(DivIrqReg) & CRCIRq, 0);
    EXPECT_EQ(rd(DivIrqReg) & CRCIRq, CRCIRq);

    // Another command before the end: that calculation is lost.
    wr(CommandReg, Idle);
    wr(FIFODataReg, 0x50);
    wr(FIFODataReg, 0x00);
    wr(CommandReg, CalcCRC);
    wr(DivIrqReg, CRCIRq);
    wr(CommandReg, Idle);
    for (int i = 0; i < 3; i++) EXPECT_EQ(rd(DivIrqReg) & CRCIRq, 0);
    EXPECT_EQ(rd(CRCResultRegH), 0x63);
}

TEST_F(ChipCrc, CoprocessorMatchesLibnfcAndHonoursPreset) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> byte(0, 255), length(1, 60);
    for (int round = 0; round < 100; round++) {
        std::vector<uint8_t> data(static_cast<size_t>(length(rng)));
        for (auto& b : data) b = static_cast<uint8_t>(byte(rng));
        uint8_t expect[2] = {};
        iso14443a_crc(data.data(), data.size(), expect);
        uint8_t low = 0;
        const uint8_t high = crc_by_chip(data, &low);
        ASSERT_EQ(low, expect[0]);
        ASSERT_EQ(high, expect[1]);
        // CalcCRC goes on with bytes written later; the frame followed by its
        // own CRC leaves a zero residue: CRCOk.
        EXPECT_FALSE(rd(mfrc522::Status1Reg) & mfrc522::CRCOk);
        wr(mfrc522::FIFODataReg, low);
        wr(mfrc522::FIFODataReg, high);
        uint8_t status = 0;
        for (int i = 0; i < 5 && !((status = rd(mfrc522::Status1Reg)) & mfrc522::CRCReady); i++) {}
        EXPECT_TRUE(status & mfrc522::CRCOk) << "round " << round;
    }
    // Preset 0xFFFF (CRCPreset 11) gives another result than 0x6363.
    wr(mfrc522::ModeReg, 0x3F);
    uint8_t low = 0;
    const uint8_t high = crc_by_chip({0x50, 0x00}, &low);
    const uint8_t hlta[] = {0x50, 0x00};
    const uint16_t want = boatsim::crc_a(hlta, 2, 0xFFFF);
    EXPECT_EQ(high, want >> 8);
    EXPECT_EQ(low, want & 0xFF);
}

}  // namespace
