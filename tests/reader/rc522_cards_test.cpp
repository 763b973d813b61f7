// Card commands and the tag access layer against the scripted chip: the
// frames they send and how they judge the answers.
#include "chip_script.h"
#include "rc522.h"

#include <gtest/gtest.h>

#include <array>

using namespace chipscript;
namespace ss = spiscript;

namespace {

class Cards : public ::testing::Test {
protected:
    void SetUp() override {
        ss::begin();
        debug = 0;
    }
};

// A request as the chip sees it: the 7-bit framing, then the exchange.
void request(const Answer& a) {
    ss::write(0x0D, 0x07);
    exchange(0x0C, {0x26}, a, 0x07);
}

TEST_F(Cards, RequestStoresOnlyASixteenBitAnswer) {
    std::array<uint8_t, 2> type{0xEE, 0xEE};
    request(card({0x44, 0x00}));
    EXPECT_EQ(PcdRequest(0x26, type.data()), READER_OK);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(type, (std::array<uint8_t, 2>{0x44, 0x00}));

    struct Case {
        Answer a;
        uint8_t status;
    };
    for (auto& c : {Case{card({0x44}), READER_ERROR}, Case{no_card(), READER_NO_TAG},
                    Case{collision({0x44, 0x00}), READER_COLLISION}, Case{card({0x44, 0x00, 0x01}), READER_ERROR}}) {
        ss::begin();
        type = {0xEE, 0xEE};
        request(c.a);
        EXPECT_EQ(PcdRequest(0x26, type.data()), c.status);
        EXPECT_TRUE(ss::done());
        EXPECT_EQ(type, (std::array<uint8_t, 2>{0xEE, 0xEE}));
    }
}

TEST_F(Cards, FindTagPutsTheFirstAtqaByteHigh) {
    uint16_t type = 0xBEEF;
    request(card({0x04, 0x00}));
    EXPECT_EQ(find_tag(&type), READER_OK);
    EXPECT_EQ(type, 0x0400);
    ss::begin();
    request(no_card());
    EXPECT_EQ(find_tag(&type), READER_NO_TAG);
    EXPECT_EQ(type, 0x0400);
    EXPECT_TRUE(ss::done());
}

TEST_F(Cards, AnticollisionChecksTheBcc) {
    std::array<uint8_t, 4> sn{};
    ss::write(0x0D, 0x00);
    exchange(0x0C, {0x93, 0x20}, card({0x11, 0x22, 0x33, 0x44, 0x44}));
    EXPECT_EQ(PcdAnticoll(0x93, sn.data()), READER_OK);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(sn, (std::array<uint8_t, 4>{0x11, 0x22, 0x33, 0x44}));

    ss::begin();
    sn.fill(0);
    ss::write(0x0D, 0x00);
    exchange(0x0C, {0x95, 0x20}, card({0x11, 0x22, 0x33, 0x44, 0x00}));
    EXPECT_EQ(PcdAnticoll(0x95, sn.data()), READER_ERROR);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(sn, (std::array<uint8_t, 4>{0x11, 0x22, 0x33, 0x44}));

    ss::begin();
    sn.fill(0);
    ss::write(0x0D, 0x00);
    exchange(0x0C, {0x93, 0x20}, no_card());
    EXPECT_EQ(PcdAnticoll(0x93, sn.data()), READER_NO_TAG);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(sn, (std::array<uint8_t, 4>{}));
}

// Three cards 11 22 33 44, 11 26 33 44 and 11 A6 33 44: the first round
// collides at bit 11, the second at bit 16 (the 5th bit it receives).
TEST_F(Cards, AnticollisionFollowsTheOnesBitByBit) {
    std::array<uint8_t, 4> sn{};
    ss::write(0x0D, 0x00);
    exchange(0x0C, {0x93, 0x20}, collision({0x11, 0x26, 0xB3, 0x44, 0x80}));
    ss::read(0x0E, 0x8B);  // ValuesAfterColl, CollPos 11
    // 11 bits: 0x11 and 110, sent as 3 bits of the last byte, received
    // from bit 3 of the first byte on.
    ss::write(0x0D, 0x33);
    exchange(0x0C, {0x93, 0x33, 0x11, 0x06}, collision({0xA7, 0x33, 0x44, 0xC0}), 0x33);
    ss::read(0x0E, 0x85);  // 5th bit received: serial bit 16
    ss::write(0x0D, 0x00);
    exchange(0x0C, {0x93, 0x40, 0x11, 0xA6}, card({0x33, 0x44, 0xC0}), 0x00);
    ss::write(0x0D, 0x00);  // whole bytes again for the select
    EXPECT_EQ(PcdAnticoll(0x93, sn.data()), READER_OK);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(sn, (std::array<uint8_t, 4>{0x11, 0xA6, 0x33, 0x44}));

    // The same field, where the last round gets a partial byte back: the
    // bits below RxAlign in it are not the card's.
    ss::begin();
    sn.fill(0);
    ss::write(0x0D, 0x00);
    exchange(0x0C, {0x93, 0x20}, collision({0x11, 0x26, 0xB3, 0x44, 0x80}));
    ss::read(0x0E, 0x0B);
    ss::write(0x0D, 0x33);
    exchange(0x0C, {0x93, 0x33, 0x11, 0x06}, card({0xA7, 0x33, 0x44, 0xC0}), 0x33);
    ss::write(0x0D, 0x00);
    EXPECT_EQ(PcdAnticoll(0x93, sn.data()), READER_OK);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(sn, (std::array<uint8_t, 4>{0x11, 0xA6, 0x33, 0x44}));
}

TEST_F(Cards, AnticollisionOfCardsDifferingInTheLastBit) {
    std::array<uint8_t, 4> sn{};
    ss::write(0x0D, 0x00);
    exchange(0x0C, {0x95, 0x20}, collision({0x01, 0x02, 0x03, 0x84, 0x84}));
    ss::read(0x0E, 0x00);  // bit 32
    ss::write(0x0D, 0x00);
    exchange(0x0C, {0x95, 0x60, 0x01, 0x02, 0x03, 0x84}, card({0x84}));
    ss::write(0x0D, 0x00);
    EXPECT_EQ(PcdAnticoll(0x95, sn.data()), READER_OK);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(sn, (std::array<uint8_t, 4>{0x01, 0x02, 0x03, 0x84}));
}

TEST_F(Cards, AnticollisionGivesUpAfter32Exchanges) {
    std::array<uint8_t, 4> sn{0xEE, 0xEE, 0xEE, 0xEE};
    // Collisions reported one bit further each time, on an all-ones serial.
    ss::write(0x0D, 0x00);
    exchange(0x0C, {0x93, 0x20}, collision({0xFF, 0xFF, 0xFF, 0xFF, 0x00}));
    for (uint8_t known = 1; known < 32; known++) {
        ss::read(0x0E, 0x01);
        uint8_t align = known % 8;
        ss::write(0x0D, static_cast<uint8_t>(align << 4 | align));
        Bytes tx{0x93, static_cast<uint8_t>(0x20 + ((known / 8) << 4) + align)};
        for (int i = 0; i < (known - 1) / 8 + 1; i++)
            tx.push_back(i < known / 8 ? 0xFF : static_cast<uint8_t>(0xFF >> (8 - align)));
        exchange(0x0C, tx, collision({0xFF, 0xFF, 0xFF, 0xFF, 0x00}), static_cast<uint8_t>(align << 4 | align));
    }
    ss::write(0x0D, 0x00);
    EXPECT_EQ(PcdAnticoll(0x93, sn.data()), READER_COLLISION);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(sn, (std::array<uint8_t, 4>{0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST_F(Cards, AnticollisionRejectsACollisionOutsideTheSerial) {
    std::array<uint8_t, 4> sn{};
    ss::write(0x0D, 0x00);
    exchange(0x0C, {0x93, 0x20}, collision({0x11, 0x26, 0xB3, 0x44, 0x80}));
    ss::read(0x0E, 0x1E);  // bit 30
    ss::write(0x0D, 0x66);
    exchange(0x0C, {0x93, 0x56, 0x11, 0x26, 0xB3, 0x24}, collision({0x44, 0x80}), 0x66);
    ss::read(0x0E, 0x04);  // 30 + 4 is past the serial
    ss::write(0x0D, 0x00);
    EXPECT_EQ(PcdAnticoll(0x93, sn.data()), READER_ERROR);
    EXPECT_TRUE(ss::done());
}

void select_frame(uint8_t sel, const Bytes& sn, const Answer& a) {
    Bytes frame{sel, 0x70, sn[0], sn[1], sn[2], sn[3], static_cast<uint8_t>(sn[0] ^ sn[1] ^ sn[2] ^ sn[3])};
    crc(frame);
    ss::clear_bits(0x08, 0x09, 0x08);
    exchange(0x0C, with_crc(frame), a);
}

TEST_F(Cards, SelectSendsSerialBccAndCrcAndWantsThreeBytes) {
    const uint8_t sn[4] = {0x11, 0x22, 0x33, 0x44};
    uint8_t sak = 0xEE;
    EXPECT_EQ(with_crc({0x93, 0x70, 0x11, 0x22, 0x33, 0x44, 0x44}).size(), 9u);
    select_frame(0x93, {0x11, 0x22, 0x33, 0x44}, card(with_crc({0x08})));
    EXPECT_EQ(PcdSelect(0x93, sn, &sak), READER_OK);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(sak, 0x08);

    for (auto& a : {card({0x08, 0xB6}), card(with_crc({0x08, 0x00})), no_card(), collision(with_crc({0x08}))}) {
        ss::begin();
        sak = 0xEE;
        select_frame(0x93, {0x11, 0x22, 0x33, 0x44}, a);
        EXPECT_EQ(PcdSelect(0x93, sn, &sak), READER_ERROR);
        EXPECT_TRUE(ss::done());
        EXPECT_EQ(sak, 0xEE);
    }
}

TEST_F(Cards, AuthenticationNeedsCrypto1On) {
    const uint8_t key[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE};
    const uint8_t sn[4] = {0x11, 0x22, 0x33, 0x44};
    const Bytes frame{0x60, 0x07, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0x11, 0x22, 0x33, 0x44};
    Answer idle;
    idle.polls = {0x00, 0x14};
    exchange(0x0E, frame, idle);
    ss::read(0x08, 0x09);
    EXPECT_EQ(PcdAuthState(0x60, 0x07, key, sn), READER_OK);
    EXPECT_TRUE(ss::done());

    ss::begin();
    exchange(0x0E, frame, no_card());
    ss::read(0x08, 0x01);
    EXPECT_EQ(PcdAuthState(0x60, 0x07, key, sn), READER_ERROR);
    EXPECT_TRUE(ss::done());

    ss::begin();
    Answer failed = idle;
    failed.error = 0x01;
    exchange(0x0E, frame, failed);  // no Status2Reg read after a failed exchange
    EXPECT_EQ(PcdAuthState(0x60, 0x07, key, sn), READER_ERROR);
    EXPECT_TRUE(ss::done());
}

TEST_F(Cards, ReadChecksLengthAndCrc) {
    Bytes block;
    for (uint8_t i = 0; i < 16; i++) block.push_back(i);
    std::array<uint8_t, 16> data;

    Bytes bad = with_crc(block);
    bad[17] ^= 0x01;
    data.fill(0xEE);
    crc({0x30, 0x04});
    exchange(0x0C, with_crc({0x30, 0x04}), card(bad));
    crc(block);
    EXPECT_EQ(PcdRead(0x04, data.data()), READER_CRC_ERROR);
    EXPECT_TRUE(ss::done());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), block.begin()));

    ss::begin();
    data.fill(0xEE);
    crc({0x30, 0x04});
    exchange(0x0C, with_crc({0x30, 0x04}), card(block));
    crc(block);  // the CRC is computed after a short answer too
    EXPECT_EQ(PcdRead(0x04, data.data()), READER_ERROR);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(data[0], 0xEE);

    ss::begin();
    crc({0x30, 0x04});
    exchange(0x0C, with_crc({0x30, 0x04}), card(with_crc(block)));
    crc(block);
    EXPECT_EQ(PcdRead(0x04, data.data()), READER_OK);
    EXPECT_TRUE(ss::done());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), block.begin()));
}

TEST_F(Cards, WriteIsRefusedWithoutAck) {
    std::array<uint8_t, 16> data{};
    for (auto& a : {card({0x04}, 4), card({0x0A}, 0), card({0x1A, 0x00}, 4), no_card()}) {
        ss::begin();
        crc({0xA0, 0x05});
        exchange(0x0C, with_crc({0xA0, 0x05}), a);  // and nothing after it
        EXPECT_EQ(PcdWrite(0x05, data.data()), READER_ERROR);
        EXPECT_TRUE(ss::done());
    }

    ss::begin();
    Bytes block(16, 0x5A);
    std::copy(block.begin(), block.end(), data.begin());
    crc({0xA0, 0x05});
    exchange(0x0C, with_crc({0xA0, 0x05}), card({0xFA}, 4));
    crc(block);
    exchange(0x0C, with_crc(block), card({0x0A}, 4));
    EXPECT_EQ(PcdWrite(0x05, data.data()), READER_OK);
    EXPECT_TRUE(ss::done());
}

TEST_F(Cards, HaltFrameAndCodePassedThrough) {
    EXPECT_EQ(with_crc({0x50, 0x00}), (Bytes{0x50, 0x00, 0x57, 0xCD}));
    crc({0x50, 0x00});
    exchange(0x0C, {0x50, 0x00, 0x57, 0xCD}, no_card());
    EXPECT_EQ(PcdHalt(), READER_NO_TAG);
    EXPECT_TRUE(ss::done());
}

void level(uint8_t sel, const Bytes& answer, const Answer& select_answer) {
    ss::write(0x0D, 0x00);
    exchange(0x0C, {sel, 0x20}, card(answer));
    select_frame(sel, answer, select_answer);
}

Bytes with_bcc(Bytes b) {
    b.push_back(static_cast<uint8_t>(b[0] ^ b[1] ^ b[2] ^ b[3]));
    return b;
}

// The SAK of each level decides whether another follows; the cascade tag
// must then lead the level.
TEST_F(Cards, SelectTagSnWalksTheCascadeLevelsTheSakAnnounces) {
    struct Level {
        Bytes uid;  // the level's 4 bytes, BCC added
        uint8_t sak;
    };
    struct Case {
        const char* what;
        std::vector<Level> levels;  // as the card answers them, in order
        uint8_t status;
        Bytes serial;  // on READER_OK
    };
    const Case cases[] = {
        {"4-byte", {{{0x11, 0x22, 0x33, 0x44}, 0x08}}, READER_OK, {0x11, 0x22, 0x33, 0x44}},
        {"4-byte UID-writable card starting with the cascade tag", {{{0x88, 0xA1, 0xB2, 0xC3}, 0x08}}, READER_OK,
         {0x88, 0xA1, 0xB2, 0xC3}},
        {"7-byte", {{{0x88, 0x04, 0xA1, 0xB2}, 0x04}, {{0xC3, 0xD4, 0xE5, 0xF6}, 0x00}}, READER_OK,
         {0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}},
        {"7-byte whose second level starts with 0x88", {{{0x88, 0x04, 0xA1, 0xB2}, 0x04}, {{0x88, 0xD4, 0xE5, 0xF6}, 0x00}},
         READER_OK, {0x04, 0xA1, 0xB2, 0x88, 0xD4, 0xE5, 0xF6}},
        {"10-byte",
         {{{0x88, 0xA1, 0xA2, 0xA3}, 0x04}, {{0x88, 0xB1, 0xB2, 0xB3}, 0x24}, {{0x88, 0xC2, 0xC3, 0xC4}, 0x08}},
         READER_OK, {0xA1, 0xA2, 0xA3, 0xB1, 0xB2, 0xB3, 0x88, 0xC2, 0xC3, 0xC4}},
        {"incomplete without the cascade tag", {{{0x11, 0x22, 0x33, 0x44}, 0x0C}}, READER_ERROR, {}},
        {"incomplete after the third level",
         {{{0x88, 0xA1, 0xA2, 0xA3}, 0x04}, {{0x88, 0xB1, 0xB2, 0xB3}, 0x04}, {{0xC1, 0xC2, 0xC3, 0xC4}, 0x04}},
         READER_ERROR, {}},
    };
    const uint8_t sel[3] = {0x93, 0x95, 0x97};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ss::begin();
        std::array<uint8_t, 10> sn{};
        uint8_t len = 99;
        for (size_t i = 0; i < c.levels.size(); i++)
            level(sel[i], with_bcc(c.levels[i].uid), card(with_crc({c.levels[i].sak})));
        EXPECT_EQ(select_tag_sn(sn.data(), &len), c.status);
        EXPECT_TRUE(ss::done()) << "one anticollision and select per level, no more";
        for (size_t i = 0; i < c.levels.size(); i++) EXPECT_EQ(sak_levels[i], c.levels[i].sak) << "level " << i + 1;
        if (c.status != READER_OK) {
            EXPECT_EQ(len, 99);
            continue;
        }
        EXPECT_EQ(len, c.serial.size());
        EXPECT_EQ(Bytes(sn.begin(), sn.begin() + len), c.serial);
    }
}

TEST_F(Cards, SelectTagSnFailsWithTheLevelThatFails) {
    std::array<uint8_t, 10> sn{};
    uint8_t len = 0;

    // A failed level-2 select: the length stays, the level-1 bytes are kept.
    ss::begin();
    sn.fill(0);
    len = 99;
    level(0x93, with_bcc({0x88, 0xA1, 0xA2, 0xA3}), card(with_crc({0x04})));
    level(0x95, with_bcc({0xB1, 0xB2, 0xB3, 0xB4}), no_card());
    EXPECT_EQ(select_tag_sn(sn.data(), &len), READER_ERROR);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(len, 99);
    EXPECT_EQ(sn[0], 0xA1);
    EXPECT_EQ(sn[2], 0xA3);

    // A failed anticollision: no select is sent.
    ss::begin();
    ss::write(0x0D, 0x00);
    exchange(0x0C, {0x93, 0x20}, no_card());
    EXPECT_EQ(select_tag_sn(sn.data(), &len), READER_ERROR);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(len, 99);
}

}  // namespace
