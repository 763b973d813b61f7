// Cards in the field, reached only through the reader chip's registers.
#include "field.h"
#include "rc522_fixture.h"

using namespace mfrc522;

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kKeyFF = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

Bytes head(const Exchange& ex, size_t n) { return Bytes(ex.data.begin(), ex.data.begin() + std::min(n, ex.data.size())); }

TEST_F(Rc522Test, FourByteCardRequestAnticollisionSelect) {
    board_.put_card("11223344");
    Exchange ex = reqa();
    ASSERT_TRUE(ex.answered());
    EXPECT_EQ(ex.bits, 16);
    EXPECT_EQ(ex.data, (Bytes{0x04, 0x00}));
    ex = anticoll(0x93);
    EXPECT_EQ(ex.bits, 40);
    EXPECT_EQ(ex.data, (Bytes{0x11, 0x22, 0x33, 0x44, 0x44}));
    EXPECT_EQ(ex.error, 0);
    ex = select(0x93, {0x11, 0x22, 0x33, 0x44});
    ASSERT_EQ(ex.bits, 24);
    EXPECT_EQ(ex.data[0], 0x08);
    const Bytes sak_frame = with_crc({0x08});
    EXPECT_EQ(ex.data, sak_frame);
    EXPECT_EQ(board_.state().cards[0].state, static_cast<uint8_t>(boatsim::CardState::active));
}

TEST_F(Rc522Test, SevenAndTenByteCardsCascade) {
    board_.put_card("04a1b2c3d4e5f6");
    ASSERT_EQ(reqa().data, (Bytes{0x44, 0x00}));
    Exchange ex = anticoll(0x93);
    EXPECT_EQ(ex.data, (Bytes{0x88, 0x04, 0xa1, 0xb2, 0x88 ^ 0x04 ^ 0xa1 ^ 0xb2}));
    ex = select(0x93, {0x88, 0x04, 0xa1, 0xb2});
    ASSERT_EQ(ex.bits, 24);
    EXPECT_EQ(ex.data[0], 0x04);  // final SAK 00 plus the cascade bit
    ex = anticoll(0x95);
    EXPECT_EQ(head(ex, 4), (Bytes{0xc3, 0xd4, 0xe5, 0xf6}));
    ex = select(0x95, {0xc3, 0xd4, 0xe5, 0xf6});
    ASSERT_EQ(ex.bits, 24);
    EXPECT_EQ(ex.data[0], 0x00);
    board_.take_card("04a1b2c3d4e5f6");

    const uint8_t uid10[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const uint8_t atqa[] = {0x84, 0x00};
    ASSERT_GE(boatsim::card_put(board_.state(), uid10, 10, atqa, 0x20), 0);
    ASSERT_EQ(reqa().data, (Bytes{0x84, 0x00}));
    EXPECT_EQ(head(anticoll(0x93), 4), (Bytes{0x88, 1, 2, 3}));
    EXPECT_EQ(select(0x93, {0x88, 1, 2, 3}).data[0], 0x24);
    EXPECT_EQ(head(anticoll(0x95), 4), (Bytes{0x88, 4, 5, 6}));
    EXPECT_EQ(select(0x95, {0x88, 4, 5, 6}).data[0], 0x24);
    EXPECT_EQ(head(anticoll(0x97), 4), (Bytes{7, 8, 9, 10}));
    EXPECT_EQ(select(0x97, {7, 8, 9, 10}).data[0], 0x20);
}

TEST_F(Rc522Test, TwoCardsCollideAtFirstDifferingBitAndBitFramingSingleOneOut) {
    // 0x33 and 0x37 in the third UID byte differ first in its bit 2:
    // received bit 8 + 8 + 2 + 1 = 19.
    board_.put_card("11223344");
    board_.put_card("11223744");
    Exchange ex = reqa();
    EXPECT_TRUE(ex.answered());
    EXPECT_EQ(ex.error & CollErr, 0);  // same ATQA: no collision
    ex = anticoll(0x93);
    EXPECT_EQ(ex.error & CollErr, CollErr);
    EXPECT_EQ(ex.coll & 0x1F, 19);
    EXPECT_EQ(ex.coll & CollPosNotValid, 0);
    EXPECT_EQ(ex.data[2], 0x37);  // the collided bit reads as 1

    // Continue with the 19 known bits (collided bit 1): NVB 0x43, TxLastBits 3, RxAlign 3.
    ex = transceive({0x93, 0x43, 0x11, 0x22, 0x07}, 0x33);
    EXPECT_EQ(ex.error & CollErr, 0);
    EXPECT_EQ(ex.bits, 40 - 16);  // 3 alignment bits + 21 received bits
    ASSERT_EQ(ex.data.size(), 3u);
    EXPECT_EQ(ex.data[0] & 0xF8, 0x37 & 0xF8);
    EXPECT_EQ(ex.data[1], 0x44);
    EXPECT_EQ(ex.data[2], 0x11 ^ 0x22 ^ 0x37 ^ 0x44);
    EXPECT_EQ(select(0x93, {0x11, 0x22, 0x37, 0x44}).bits, 24);

    // Three cards: the first collision is the lowest bit in which any two
    // differ (0x41 against 0x01 and 0x81: bit 6 of the first byte), whatever
    // order they answer in.
    board_.take_card("11223344");
    board_.put_card("01020304");
    board_.put_card("81020304");
    board_.put_card("41020304");
    ASSERT_TRUE(reqa().answered());
    ex = anticoll(0x93);
    EXPECT_EQ(ex.error & CollErr, CollErr);
    EXPECT_EQ(ex.coll & 0x1F, 7);
    EXPECT_EQ(ex.data[0], 0xC1);  // every bit some card sent as 1
    board_.take_card("01020304");
    board_.take_card("81020304");
    board_.take_card("41020304");
    board_.put_card("11223344");
    ASSERT_TRUE(reqa().answered());
    ASSERT_EQ(select(0x93, {0x11, 0x22, 0x37, 0x44}).bits, 24);

    // Different ATQAs collide at the request already.
    board_.take_card("11223744");
    const uint8_t uid[] = {0x55, 0x66, 0x77, 0x88};
    const uint8_t atqa[] = {0x02, 0x00};
    ASSERT_GE(boatsim::card_put(board_.state(), uid, 4, atqa, -1), 0);
    hlta();
    ex = reqa();
    EXPECT_EQ(ex.error & CollErr, CollErr);
    EXPECT_EQ(ex.coll & 0x1F, 2);
}

TEST_F(Rc522Test, HaltedCardIgnoresReqaButAnswersWupa) {
    board_.put_card("11223344");
    activate({0x11, 0x22, 0x33, 0x44});
    Exchange ex = hlta();
    EXPECT_FALSE(ex.answered());
    EXPECT_EQ(ex.irq & TimerIRq, TimerIRq);
    EXPECT_FALSE(reqa().answered());
    ex = wupa();
    ASSERT_TRUE(ex.answered());
    EXPECT_EQ(ex.data, (Bytes{0x04, 0x00}));
    // Woken by WUPA, a card that drops out of the protocol goes back to HALT.
    transceive({0x12, 0x34});
    EXPECT_FALSE(reqa().answered());
    EXPECT_TRUE(wupa().answered());
}

TEST_F(Rc522Test, CardTakenOutAndPutBackAnswersReqaAgain) {
    board_.put_card("11223344");
    activate({0x11, 0x22, 0x33, 0x44});
    hlta();
    ASSERT_FALSE(reqa().answered());
    board_.take_card("11223344");
    EXPECT_FALSE(wupa().answered());
    board_.put_card("11223344");
    EXPECT_TRUE(reqa().answered());
}

TEST_F(Rc522Test, FramesWithBadCrcOrShapeGetNoAnswer) {
    board_.put_card("11223344");
    ASSERT_TRUE(reqa().answered());
    ASSERT_TRUE(anticoll(0x93).answered());
    Bytes sel = with_crc({0x93, 0x70, 0x11, 0x22, 0x33, 0x44, 0x44});
    sel[8] ^= 0x01;
    EXPECT_FALSE(transceive(sel).answered());
    // The error sent the card back to IDLE: no anticollision answer now.
    EXPECT_FALSE(anticoll(0x93).answered());
    activate({0x11, 0x22, 0x33, 0x44});
    EXPECT_FALSE(transceive({0x30, 0x04, 0x00, 0x00}).answered());  // READ with a wrong CRC
}

TEST_F(Rc522Test, AuthenticationWithRightAndWrongKey) {
    board_.put_card("11223344");
    activate({0x11, 0x22, 0x33, 0x44});
    EXPECT_FALSE(authenticate(0x60, 4, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}, {0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(rd(ComIrqReg) & TimerIRq, TimerIRq);
    // A failed authentication leaves the card IDLE: it must be selected again.
    activate({0x11, 0x22, 0x33, 0x44});
    EXPECT_FALSE(authenticate(0x60, 4, kKeyFF, {0x11, 0x22, 0x33, 0x45}));  // other UID
    activate({0x11, 0x22, 0x33, 0x44});
    EXPECT_TRUE(authenticate(0x60, 4, kKeyFF, {0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(rd(ComIrqReg) & IdleIRq, IdleIRq);
}

TEST_F(Rc522Test, ReadAndWriteOnlyAfterAuthenticationOfTheSector) {
    board_.put_card("11223344");
    activate({0x11, 0x22, 0x33, 0x44});
    Exchange ex = transceive(with_crc({0x30, 0x01}));
    EXPECT_EQ(ex.bits, 4);  // NAK
    EXPECT_EQ(ex.data[0] & 0x0F, 0x04);

    activate({0x11, 0x22, 0x33, 0x44});
    ASSERT_TRUE(authenticate(0x60, 0, kKeyFF, {0x11, 0x22, 0x33, 0x44}));
    ex = transceive(with_crc({0x30, 0x00}));
    ASSERT_EQ(ex.bits, 144);
    EXPECT_EQ(head(ex, 8), (Bytes{0x11, 0x22, 0x33, 0x44, 0x44, 0x08, 0x04, 0x00}));
    EXPECT_EQ(ex.data, with_crc(head(ex, 16)));
    // The trailer shows the access bits but never key A.
    ex = transceive(with_crc({0x30, 0x03}));
    ASSERT_EQ(ex.bits, 144);
    EXPECT_EQ(head(ex, 10), (Bytes{0, 0, 0, 0, 0, 0, 0xFF, 0x07, 0x80, 0x69}));

    Bytes data;
    for (int i = 0; i < 16; i++) data.push_back(static_cast<uint8_t>(0xA0 + i));
    ex = transceive(with_crc({0xA0, 0x01}));
    ASSERT_EQ(ex.bits, 4);
    EXPECT_EQ(ex.data[0] & 0x0F, 0x0A);
    ex = transceive(with_crc(data));
    ASSERT_EQ(ex.bits, 4);
    EXPECT_EQ(ex.data[0] & 0x0F, 0x0A);
    EXPECT_EQ(head(transceive(with_crc({0x30, 0x01})), 16), data);

    // Block 0 is the manufacturer's; a block of another sector needs its own authentication.
    EXPECT_EQ(transceive(with_crc({0xA0, 0x00})).data[0] & 0x0F, 0x04);
    activate({0x11, 0x22, 0x33, 0x44});
    ASSERT_TRUE(authenticate(0x60, 0, kKeyFF, {0x11, 0x22, 0x33, 0x44}));
    ex = transceive(with_crc({0x30, 0x04}));
    EXPECT_EQ(ex.bits, 4);
    EXPECT_EQ(ex.data[0] & 0x0F, 0x04);

    // Memory survives taking the card out and putting it back.
    board_.take_card("11223344");
    board_.put_card("11223344");
    activate({0x11, 0x22, 0x33, 0x44});
    ASSERT_TRUE(authenticate(0x60, 1, kKeyFF, {0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(head(transceive(with_crc({0x30, 0x01})), 16), data);
}

TEST_F(Rc522Test, ReadableKeyBDoesNotServeForDataAccess) {
    // Transport configuration FF 07 80 69: key B is readable, so key B
    // authenticates but opens no data block.
    board_.put_card("11223344");
    activate({0x11, 0x22, 0x33, 0x44});
    ASSERT_TRUE(authenticate(0x61, 1, kKeyFF, {0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(transceive(with_crc({0x30, 0x01})).bits, 4);
}

TEST_F(Rc522Test, SevenByteCardAuthenticatesWithLastFourUidBytes) {
    board_.put_card("04a1b2c3d4e5f6");
    ASSERT_TRUE(reqa().answered());
    ASSERT_EQ(select(0x93, {0x88, 0x04, 0xa1, 0xb2}).bits, 24);
    ASSERT_EQ(select(0x95, {0xc3, 0xd4, 0xe5, 0xf6}).bits, 24);
    EXPECT_TRUE(authenticate(0x60, 8, kKeyFF, {0xc3, 0xd4, 0xe5, 0xf6}));
    EXPECT_EQ(transceive(with_crc({0x30, 0x08})).bits, 144);
}

}  // namespace
