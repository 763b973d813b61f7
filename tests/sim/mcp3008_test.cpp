// The converter behind SPI0 on a tracker board, through bcm2835_spi_transfernb.
#include "temp_board.h"

#include <bcm2835.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

class Mcp3008Test : public ::testing::Test {
protected:
    Mcp3008Test() : board_(boatsim::Profile::tracker) {}
    void SetUp() override {
        setenv("BOATSIM_STATE", board_.path().c_str(), 1);
        ASSERT_EQ(bcm2835_init(), 1);
        bcm2835_spi_begin();
        bcm2835_spi_setBitOrder(BCM2835_SPI_BIT_ORDER_MSBFIRST);
        bcm2835_spi_setDataMode(BCM2835_SPI_MODE0);
        bcm2835_spi_setClockDivider(BCM2835_SPI_CLOCK_DIVIDER_256);
        bcm2835_spi_chipSelect(BCM2835_SPI_CS0);
        bcm2835_spi_setChipSelectPolarity(BCM2835_SPI_CS0, LOW);
    }
    void TearDown() override { bcm2835_close(); }

    std::vector<uint8_t> exchange(std::vector<uint8_t> send) {
        std::vector<uint8_t> got(send.size(), 0xEE);
        bcm2835_spi_transfernb(reinterpret_cast<char*>(send.data()), reinterpret_cast<char*>(got.data()),
                               static_cast<uint32_t>(send.size()));
        return got;
    }
    void set(int ch, uint16_t v) { board_.state().adc[ch] = v; }

    testsupport::TempBoard board_;
};

using Bytes = std::vector<uint8_t>;

TEST_F(Mcp3008Test, SingleEndedChannelInThreeByteFraming) {
    set(0, 1023);
    EXPECT_EQ(exchange({0x01, 0x80, 0x00}), (Bytes{0x00, 0x03, 0xFF}));
    set(0, 0x155);
    set(5, 0x2A6);
    EXPECT_EQ(exchange({0x01, 0x80, 0x00}), (Bytes{0x00, 0x01, 0x55}));
    EXPECT_EQ(exchange({0x01, 0xD0, 0x00}), (Bytes{0x00, 0x02, 0xA6}));
    set(5, 0);
    EXPECT_EQ(exchange({0x01, 0xD0, 0x00}), (Bytes{0x00, 0x00, 0x00}));
}

TEST_F(Mcp3008Test, DifferentialPairsClipAtZero) {
    set(2, 600);
    set(3, 200);
    EXPECT_EQ(exchange({0x01, 0x20, 0x00}), (Bytes{0x00, 0x01, 0x90}));  // CH2 - CH3 = 400
    EXPECT_EQ(exchange({0x01, 0x30, 0x00}), (Bytes{0x00, 0x00, 0x00}));  // CH3 - CH2 < 0
}

TEST_F(Mcp3008Test, StartBitMayComeAnywhereAndExtraClocksRepeatLsbFirst) {
    // Start bit as the sixth clock (0x07: start, SGL, D2), D1 D0 at the top
    // of the second byte: B9..B6 end the second byte, B5..B0 lead the third.
    const uint16_t v = 0x2C5;  // 10 1100 0101
    set(7, v);
    const Bytes got = exchange({0x07, 0xC0, 0x00});  // start, SGL, D2; then D1 D0 = 11
    EXPECT_EQ(got[1] & 0x0F, v >> 6);
    EXPECT_EQ(got[2] >> 2, v & 0x3F);
    // Four bytes with the usual framing: after B0 the chip sends B1..B9.
    const Bytes four = exchange({0x01, 0xF0, 0x00, 0x00});
    EXPECT_EQ(four[1] & 0x03, v >> 8);
    EXPECT_EQ(four[2], v & 0xFF);
    uint16_t lsb_first = 0;
    for (int i = 0; i < 8; i++) lsb_first = static_cast<uint16_t>(lsb_first | (((four[3] >> (7 - i)) & 1) << (i + 1)));
    EXPECT_EQ(lsb_first, v & 0x1FE);
}

TEST_F(Mcp3008Test, NoStartBitNoAnswer) {
    set(0, 1023);
    EXPECT_EQ(exchange({0x00, 0x00, 0x00}), (Bytes{0x00, 0x00, 0x00}));
}

}  // namespace
