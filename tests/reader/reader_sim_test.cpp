// The reader stack against the simulated MFRC522 and cards in its field.
#include "board_state.h"
#include "faults.h"
#include "field.h"
#include "rc522.h"
#include "temp_board.h"

#include <bcm2835.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <vector>

// The driver's pauses, with a hook the tests use to change the field while
// an exchange is running. They still sleep: the chip's timer runs on time.
static std::function<void()> g_on_pause;

extern "C" int usleep(useconds_t us) noexcept {
    if (g_on_pause) g_on_pause();
    timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    return nanosleep(&ts, nullptr);
}

namespace {

using testsupport::hex_bytes;

std::string hex(const uint8_t* p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

class Sim : public ::testing::Test {
protected:
    testsupport::TempBoard board{boatsim::Profile::checkin};

    void SetUp() override {
        debug = 0;
        g_on_pause = nullptr;
        setenv("BOATSIM_STATE", board.path().c_str(), 1);
        ASSERT_EQ(bcm2835_init(), 1);
        // The SPI set-up of the programs' hardware initialisation.
        ASSERT_EQ(bcm2835_spi_begin(), 1);
        bcm2835_spi_setBitOrder(BCM2835_SPI_BIT_ORDER_MSBFIRST);
        bcm2835_spi_setDataMode(BCM2835_SPI_MODE0);
        bcm2835_spi_setClockDivider(50);
        bcm2835_spi_chipSelect(BCM2835_SPI_CS0);
        bcm2835_spi_setChipSelectPolarity(BCM2835_SPI_CS0, LOW);
        InitRc522();
    }

    void TearDown() override {
        g_on_pause = nullptr;
        bcm2835_close();
    }

    uint64_t transfers() {
        boatsim::Lock lock(&board.state());
        return board.state().spi.transfers;
    }

    boatsim::Card* card(const std::string& uid_hex) {
        auto uid = hex_bytes(uid_hex);
        for (auto& c : board.state().cards)
            if (c.in_field && c.uid_len == uid.size() && std::equal(uid.begin(), uid.end(), c.uid)) return &c;
        return nullptr;
    }

    // Selects the one card in the field and authenticates the sector of
    // `block` with the transport key A.
    void select_and_authenticate(uint8_t block) {
        uint8_t sn[10];
        uint8_t len = 0;
        uint16_t type;
        ASSERT_EQ(find_tag(&type), READER_OK);
        ASSERT_EQ(select_tag_sn(sn, &len), READER_OK);
        const uint8_t key[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        ASSERT_EQ(PcdAuthState(MF_AUTH_KEY_A, block, key, sn), READER_OK);
    }

    // find_tag and select_tag_sn of one card: its serial text, or "" with
    // the failing step's code in *code.
    std::string read_one(uint8_t* code = nullptr, uint16_t* type = nullptr) {
        uint16_t t = 0;
        uint8_t st = find_tag(&t);
        if (type) *type = t;
        if (code) *code = st;
        if (st != READER_OK && st != READER_COLLISION) return "";
        uint8_t sn[10] = {};
        uint8_t len = 0;
        st = select_tag_sn(sn, &len);
        if (code) *code = st;
        if (st != READER_OK) return "";
        return hex(sn, len);
    }

    // read_one, a second time when the first finds no card: a card that a
    // failed step left READY lets one REQA pass.
    std::string read_soon() {
        std::string uid = read_one();
        return uid.empty() ? read_one() : uid;
    }
};

TEST_F(Sim, ReadsUidsOfAllThreeSizesInOrder) {
    struct Case {
        std::string uid;
        uint16_t type;
    };
    for (const Case& c : {Case{"c1d2e3f4", 0x0400}, Case{"04a1b2c3d4e5f6", 0x4400},
                          Case{"02718281828459045235", 0x8400}, Case{"fe881234", 0x0400},
                          Case{"88a1b2c3", 0x0400}}) {  // a UID-writable card's 0x88 is a UID byte
        board.put_card(c.uid);
        uint16_t type = 0;
        uint8_t code = 0xFF;
        EXPECT_EQ(read_one(&code, &type), c.uid) << "code " << int(code);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(PcdHalt(), READER_NO_TAG) << "a halted card does not answer";
        board.take_card(c.uid);
    }
}

TEST_F(Sim, HaltedCardStaysSilentUntilItComesBack) {
    uint16_t type;
    EXPECT_EQ(find_tag(&type), READER_NO_TAG);
    board.put_card("5ab3c4d7");
    EXPECT_EQ(read_one(), "5ab3c4d7");
    PcdHalt();
    EXPECT_EQ(find_tag(&type), READER_NO_TAG);
    EXPECT_EQ(find_tag(&type), READER_NO_TAG);
    board.take_card("5ab3c4d7");
    EXPECT_EQ(find_tag(&type), READER_NO_TAG);
    board.put_card("5ab3c4d7");
    EXPECT_EQ(read_one(), "5ab3c4d7");
}

// Every card of the field singled out once, by halting each one read.
void single_out_all(const std::function<std::string(uint8_t*)>& read, const std::vector<std::string>& uids) {
    std::set<std::string> want(uids.begin(), uids.end()), got;
    for (size_t i = 0; i < uids.size(); i++) {
        uint8_t code = 0xFF;
        std::string uid = read(&code);
        ASSERT_FALSE(uid.empty()) << "card " << i << ": code " << int(code);
        EXPECT_TRUE(want.count(uid)) << "read " << uid << ", not in the field";
        EXPECT_TRUE(got.insert(uid).second) << uid << " read twice";
        PcdHalt();
    }
    uint16_t type;
    EXPECT_EQ(find_tag(&type), READER_NO_TAG);
}

TEST_F(Sim, SinglesOutSeveralCardsInTheField) {
    const std::vector<std::vector<std::string>> fields{
        {"10223344", "11223344"},                    // the very first bit
        {"11223344", "11263344"},                    // the middle: bit 11
        {"112233c4", "11223344"},                    // the last bit of the level
        {"11223344", "11263344", "11a63344"},        // a second collision in the next round
        {"01020304", "81020304", "41020304"},        // first byte, three ways
        {"a1b2c3d4", "a1b2c3d5", "a1b2c3d6"},        // the last byte
        {"04a1b2c3d4e5f6", "04a1b2c3d4e5f7"},        // the same first level
        {"04a1b2c3d4e5f6", "1a2b3c4d", "0271828182845904ab35"},  // all three sizes
    };
    for (const auto& uids : fields) {
        SCOPED_TRACE(::testing::PrintToString(uids));
        for (const auto& u : uids) board.put_card(u);
        single_out_all([this](uint8_t* code) { return read_one(code); }, uids);
        for (const auto& u : uids) board.take_card(u);
    }
}

TEST_F(Sim, CollisionMessageInDebugMode) {
    board.put_card("10223344");
    board.put_card("11223344");
    debug = 1;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(read_one().empty());
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.substr(0, 11), "COllision \n");
}

TEST_F(Sim, ReadAndWriteABlockAfterAuthentication) {
    board.put_card("c1d2e3f4");
    uint8_t sn[10];
    uint8_t len = 0;
    uint16_t type;
    ASSERT_EQ(find_tag(&type), READER_OK);
    ASSERT_EQ(select_tag_sn(sn, &len), READER_OK);

    const uint8_t wrong[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE};
    EXPECT_EQ(PcdAuthState(MF_AUTH_KEY_A, 4, wrong, sn), READER_ERROR);
    // A failed authentication drops the card out of the session: it has
    // to be found and selected again.
    ASSERT_NO_FATAL_FAILURE(select_and_authenticate(4));
    uint8_t data[16];
    ASSERT_EQ(PcdRead(4, data), READER_OK);
    EXPECT_EQ(hex(data, 16), std::string(32, '0'));

    uint8_t block[16];
    for (int i = 0; i < 16; i++) block[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(PcdWrite(5, block), READER_OK);
    ASSERT_EQ(PcdRead(5, data), READER_OK);
    EXPECT_EQ(hex(data, 16), "000102030405060708090a0b0c0d0e0f");
    EXPECT_EQ(hex(card("c1d2e3f4")->blocks[5], 16), "000102030405060708090a0b0c0d0e0f");

    // Outside the authenticated sector the card refuses.
    EXPECT_EQ(PcdWrite(8, block), READER_ERROR);
}

TEST_F(Sim, ReadTagStrTexts) {
    char text[33];
    EXPECT_EQ(read_tag_str(4, text), READER_ERROR);
    EXPECT_STREQ(text, "Unknown error");

    board.put_card("c1d2e3f4");
    ASSERT_NO_FATAL_FAILURE(select_and_authenticate(4));
    uint8_t block[16];
    for (int i = 0; i < 16; i++) block[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(PcdWrite(6, block), READER_OK);

    EXPECT_EQ(read_tag_str(6, text), READER_OK);
    EXPECT_STREQ(text, "000102030405060708090a0b0c0d0e0f");

    // A bit of the data flipped on its way: the card's CRC_A no longer fits.
    auto& chip = board.state().rc522;
    bool flipped = false;
    g_on_pause = [&] {
        boatsim::Lock lock(&board.state());
        if (!flipped && chip.fifo_len == 18 && chip.fifo_read == 0) {
            chip.fifo[3] ^= 0x10;
            flipped = true;
        }
    };
    EXPECT_EQ(read_tag_str(6, text), READER_CRC_ERROR);
    g_on_pause = nullptr;
    EXPECT_TRUE(flipped);
    EXPECT_STREQ(text, "CRC Error");
}

TEST_F(Sim, CardTakenAwayMidSelection) {
    board.put_card("04a1b2c3d4e5f6");
    boatsim::Card* c = card("04a1b2c3d4e5f6");
    ASSERT_NE(c, nullptr);
    bool taken = false;
    // Once the first cascade level is selected, the card leaves the field.
    const auto uid = hex_bytes("04a1b2c3d4e5f6");
    g_on_pause = [&] {
        if (taken) return;
        {
            boatsim::Lock lock(&board.state());
            if (c->level < 1) return;
        }
        taken = boatsim::card_take(board.state(), uid.data(), 7);
    };
    uint8_t code = 0xFF;
    EXPECT_EQ(read_one(&code), "");
    g_on_pause = nullptr;
    EXPECT_TRUE(taken);
    EXPECT_EQ(code, READER_ERROR);

    // Taken away between the request and the selection.
    board.put_card("c1d2e3f4");
    uint16_t type;
    ASSERT_EQ(find_tag(&type), READER_OK);
    board.take_card("c1d2e3f4");
    uint8_t sn[10];
    uint8_t len = 77;
    EXPECT_EQ(select_tag_sn(sn, &len), READER_ERROR);
    EXPECT_EQ(len, 77);
}

TEST_F(Sim, CrcCalculationsInARowEachWaitForTheirOwnResult) {
    // The chip's coprocessor needs a few register accesses; a calculation
    // that took the last one's CRCIRq for its own would read the last result.
    struct Case {
        std::vector<uint8_t> data;
        std::string crc;
    };
    for (int round = 0; round < 2; round++) {
        for (const Case& c : {Case{{0x50, 0x00}, "57cd"}, Case{{0x30, 0x00}, "02a8"}, Case{{0x30, 0x04}, "26ee"}}) {
            uint8_t crc[2] = {};
            CalulateCRC(c.data.data(), static_cast<uint8_t>(c.data.size()), crc);
            EXPECT_EQ(hex(crc, 2), c.crc) << hex(c.data.data(), c.data.size());
        }
    }
}

TEST_F(Sim, InitKeepsTheVersionTheChipAnswers) {
    struct Case {
        boatsim::Fault fault;
        bool set;
        uint8_t version;
    };
    for (const Case& c : {Case{boatsim::Fault::rc522_absent_low, false, 0x92},
                          Case{boatsim::Fault::rc522_absent_low, true, 0x00},
                          Case{boatsim::Fault::rc522_absent_high, true, 0xFF},
                          Case{boatsim::Fault::rc522_reset, true, 0x92}}) {  // answers, at its reset values
        boatsim::fault_set(board.state(), c.fault, c.set);
        InitRc522();
        EXPECT_EQ(Rc522Version, c.version) << boatsim::fault_name(c.fault) << " " << c.set;
        boatsim::fault_set(board.state(), c.fault, false);
    }
}

// Each card fault as the reader stack meets it.
TEST_F(Sim, CardFaultsAreRefused) {
    struct Case {
        boatsim::Fault fault;
        uint8_t find;  // find_tag's code when the card answers; select_tag_sn then fails
    };
    board.put_card("c1d2e3f4");
    for (const Case& c : {Case{boatsim::Fault::card_parity, READER_ERROR},  // the ATQA comes spoiled
                          Case{boatsim::Fault::card_bad_bcc, READER_OK},
                          Case{boatsim::Fault::card_no_select, READER_OK}}) {
        SCOPED_TRACE(boatsim::fault_name(c.fault));
        boatsim::fault_set(board.state(), c.fault, true);
        int answered = 0;
        // A card a failed step left READY ignores the next REQA and is IDLE again.
        for (int i = 0; i < 4; i++) {
            uint16_t type = 0;
            uint8_t code = find_tag(&type);
            if (code == READER_NO_TAG) continue;
            answered++;
            EXPECT_EQ(code, c.find);
            if (c.fault == boatsim::Fault::card_parity) {
                EXPECT_TRUE(ReadRawRC(ErrorReg) & 0x02) << "ParityErr";
            }
            uint8_t sn[10];
            uint8_t len = 77;
            if (code == READER_OK) {
                EXPECT_EQ(select_tag_sn(sn, &len), READER_ERROR);
            }
            EXPECT_EQ(len, 77);
        }
        EXPECT_GE(answered, 2);
        boatsim::fault_set(board.state(), c.fault, false);
        EXPECT_EQ(read_soon(), "c1d2e3f4");
        PcdHalt();
        board.take_card("c1d2e3f4");
        board.put_card("c1d2e3f4");
    }

    // A wrong CRC_A of the SAK goes unnoticed (it is not checked); a block
    // read notices it.
    boatsim::fault_set(board.state(), boatsim::Fault::card_bad_crc, true);
    ASSERT_NO_FATAL_FAILURE(select_and_authenticate(4));
    char text[33];
    EXPECT_EQ(read_tag_str(4, text), READER_CRC_ERROR);
    boatsim::fault_set(board.state(), boatsim::Fault::card_bad_crc, false);
    EXPECT_EQ(read_tag_str(4, text), READER_OK);
}

// The watch as the programs' loops call it, against the chip's faults:
// the check costs two register reads a blink cycle, a chip that lost its
// set-up is set up again, and one that cannot be is reported once, and
// again once it is back.
TEST_F(Sim, WatchSetsTheChipUpAgainAndReportsOnce) {
    // Into step with the watch: its check is the call that touches the chip.
    for (int i = 0; i < 2 * kWatchPasses; i++) {
        uint64_t t = transfers();
        watch_reader();
        if (transfers() != t) break;
    }
    auto cycle = [&](uint64_t* cost = nullptr) {
        uint64_t t = transfers();
        for (int i = 1; i < kWatchPasses; i++) EXPECT_EQ(watch_reader(), 0) << "pass " << i;
        EXPECT_EQ(transfers(), t) << "the chip is left alone between checks";
        uint8_t events = watch_reader();
        if (cost) *cost = transfers() - t;
        return events;
    };
    auto reads_the_card = [&] {
        std::string uid = read_soon();
        PcdHalt();
        board.take_card("c1d2e3f4");
        board.put_card("c1d2e3f4");
        return uid == "c1d2e3f4";
    };
    board.put_card("c1d2e3f4");
    uint64_t cost = 0;
    EXPECT_EQ(cycle(&cost), 0);
    EXPECT_EQ(cost, 2u);

    using boatsim::Fault;
    for (Fault f : {Fault::rc522_reset, Fault::rc522_absent_low, Fault::rc522_absent_high, Fault::rc522_antenna_off}) {
        SCOPED_TRACE(boatsim::fault_name(f));
        boatsim::fault_set(board.state(), f, true);
        EXPECT_EQ(cycle(), WATCH_RESET | WATCH_LOST);
        EXPECT_EQ(cycle(), 0) << "still lost: no new message";
        boatsim::fault_set(board.state(), f, false);
        EXPECT_EQ(cycle(), WATCH_BACK);
        EXPECT_TRUE(reads_the_card());
        EXPECT_EQ(cycle(), 0);
    }

    // A reset that is over by the check: set up again at once, not lost.
    boatsim::fault_set(board.state(), Fault::rc522_reset, true);
    boatsim::fault_set(board.state(), Fault::rc522_reset, false);
    uint8_t code = 0xFF;
    EXPECT_EQ(read_one(&code), "");
    EXPECT_EQ(code, READER_ERROR) << "a chip at its reset values reads no card";
    EXPECT_EQ(cycle(), WATCH_RESET);
    EXPECT_TRUE(reads_the_card());
    EXPECT_EQ(cycle(&cost), 0);
    EXPECT_EQ(cost, 2u);
}

// SPI transfers of the programs' card reading, as the board counts them.
TEST_F(Sim, TransferCounts) {
    uint16_t type;
    uint64_t t0 = transfers();
    EXPECT_EQ(find_tag(&type), READER_NO_TAG);
    uint64_t idle = transfers() - t0;

    auto full_read = [&](const std::string& uid) {
        uint64_t t = transfers();
        EXPECT_EQ(read_one(), uid);
        PcdHalt();
        return transfers() - t;
    };
    board.put_card("c1d2e3f4");
    uint64_t four = full_read("c1d2e3f4");
    board.put_card("04a1b2c3d4e5f6");
    uint64_t seven = full_read("04a1b2c3d4e5f6");
    board.put_card("10223344");
    board.put_card("11263344");
    uint64_t t = transfers();
    EXPECT_FALSE(read_one().empty());
    PcdHalt();
    uint64_t two = transfers() - t;
    RecordProperty("idle_find_tag", std::to_string(idle));
    RecordProperty("read_4_byte", std::to_string(four));
    RecordProperty("read_7_byte", std::to_string(seven));
    RecordProperty("read_first_of_two", std::to_string(two));
    printf("SPI transfers: idle find_tag %llu, 4-byte read %llu, 7-byte read %llu, first of two cards %llu\n",
           static_cast<unsigned long long>(idle), static_cast<unsigned long long>(four),
           static_cast<unsigned long long>(seven), static_cast<unsigned long long>(two));
}

}  // namespace
