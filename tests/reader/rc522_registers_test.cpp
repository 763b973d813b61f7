// The MFRC522 driver's register traffic, checked access by access against
// a scripted chip.
#include "chip_script.h"
#include "rc522.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

using namespace chipscript;
namespace ss = spiscript;

namespace {

// PcdReset's traffic: soft reset, antenna off and on (TxControlReg read
// as `tx_control` first), then the configuration in its order.
void expect_reset(uint8_t tx_control) {
    ss::write(0x01, 0x0F);
    ss::pause_us(10000);
    ss::clear_bits(0x14, tx_control, 0x03);
    ss::pause_us(10000);
    ss::set_bits(0x14, 0x80, 0x03);
    for (auto [reg, value] : std::array<std::pair<uint8_t, uint8_t>, 10>{
             {{0x2A, 0x8D}, {0x2B, 0x3E}, {0x2D, 0x1E}, {0x2C, 0x00}, {0x15, 0x40}, {0x11, 0x3D}, {0x18, 0x84},
              {0x26, 0x68}, {0x27, 0xFF}, {0x28, 0x2F}}})
        ss::write(reg, value);
}

class Registers : public ::testing::Test {
protected:
    void SetUp() override {
        ss::begin();
        debug = 0;
    }
    void TearDown() override { debug = 0; }
};

TEST_F(Registers, ReadAndWriteAreOneTwoByteTransferEach) {
    ss::read(0x04, 0x5A);
    ss::write(0x01, 0x0F);
    ss::read(0x3F, 0x11);
    ss::set_address_echo(0xC3);  // what the chip clocks out with the address
    EXPECT_EQ(ReadRawRC(ComIrqReg), 0x5A);
    WriteRawRC(CommandReg, 0x0F);
    EXPECT_EQ(ReadRawRC(0x3F), 0x11);
    ASSERT_TRUE(ss::done());
    const auto& raw = ss::raw();
    ASSERT_EQ(raw.size(), 3u);
    EXPECT_EQ(raw[0], (std::vector<uint8_t>{0x88, 0x00}));
    EXPECT_EQ(raw[1], (std::vector<uint8_t>{0x02, 0x0F}));
    EXPECT_EQ(raw[2][0], 0xFE);
}

TEST_F(Registers, BitMasksAlwaysWriteBack) {
    ss::set_bits(0x14, 0x83, 0x03);    // already set: written all the same
    ss::clear_bits(0x14, 0x80, 0x03);  // already clear
    ss::clear_bits(0x04, 0xFF, 0x80);
    SetBitMask(TxControlReg, 0x03);
    ClearBitMask(TxControlReg, 0x03);
    ClearBitMask(ComIrqReg, 0x80);
    EXPECT_TRUE(ss::done());
}

TEST_F(Registers, ResetWritesTheConfigurationInOrder) {
    expect_reset(0x83);
    EXPECT_EQ(PcdReset(), READER_OK);
    EXPECT_TRUE(ss::done());
}

TEST_F(Registers, InitIsResetThenAntennaOnWhichFindsTheDriversOnThenTheVersion) {
    // 0x00 and 0xFF are what MISO shows with no chip on the bus.
    for (uint8_t version : {0x91, 0x92, 0x00, 0xFF, 0x12}) {
        ss::begin();
        Rc522Version = 0x55;
        expect_reset(0x80);
        ss::read(0x14, 0x83);  // no write: both drivers are on
        ss::read(0x37, version);
        InitRc522();
        EXPECT_TRUE(ss::done());
        EXPECT_EQ(Rc522Version, version);
        EXPECT_EQ(rc522_version_known(version), version == 0x91 || version == 0x92) << int(version);
    }
}

TEST_F(Registers, SetUpCheckReadsTimerModeAndAntennaDrivers) {
    struct Case {
        uint8_t tmode, tx_control;
        bool read_tx_control;
        uint8_t status;
    };
    for (const Case& c : {Case{0x8D, 0x83, true, READER_OK},
                          Case{0x00, 0x80, false, READER_ERROR},   // back at its reset values
                          Case{0xFF, 0xFF, false, READER_ERROR},   // MISO high: no chip
                          Case{0x8D, 0x80, true, READER_ERROR},    // drivers switched off
                          Case{0x8D, 0x81, true, READER_ERROR}}) {
        ss::begin();
        ss::read(0x2A, c.tmode);
        if (c.read_tx_control) ss::read(0x14, c.tx_control);
        EXPECT_EQ(PcdCheckSetup(), c.status) << int(c.tmode) << " " << int(c.tx_control);
        EXPECT_TRUE(ss::done());
    }
}

TEST_F(Registers, AntennaOnWritesOnlyWhenBothDriversAreOff) {
    for (uint8_t v : {0x01, 0x02, 0x03, 0x81}) {
        ss::begin();
        ss::read(0x14, v);
        PcdAntennaOn();
        EXPECT_TRUE(ss::done()) << "TxControlReg " << int(v);
    }
    ss::begin();
    ss::read(0x14, 0x80);
    ss::set_bits(0x14, 0x80, 0x03);
    PcdAntennaOn();
    EXPECT_TRUE(ss::done());

    ss::begin();
    ss::clear_bits(0x14, 0x80, 0x03);  // off unconditionally
    PcdAntennaOff();
    EXPECT_TRUE(ss::done());
}

TEST_F(Registers, CrcIsReadLowByteFirstEvenWhenTheChipNeverFinishes) {
    ss::write(0x05, 0x04);  // a plain write: Set2 clear clears CRCIRq
    ss::write(0x01, 0x00);
    ss::set_bits(0x0A, 0x02, 0x80);
    ss::write(0x09, 0x50);
    ss::write(0x09, 0x00);
    ss::write(0x01, 0x03);
    for (int i = 0; i < 254; i++) ss::read(0x05, 0x00);
    ss::read(0x05, 0x04);  // the 255th read is the last and not looked at
    ss::read(0x22, 0x57);
    ss::read(0x21, 0xCD);
    const uint8_t frame[2] = {0x50, 0x00};
    uint8_t out[2] = {};
    CalulateCRC(frame, 2, out);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(out[0], 0x57);
    EXPECT_EQ(out[1], 0xCD);

    ss::begin();
    crc({0x30, 0x00});  // finishing at once: one DivIrqReg read
    const uint8_t read0[2] = {0x30, 0x00};
    CalulateCRC(read0, 2, out);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(out[0], 0x02);
    EXPECT_EQ(out[1], 0xA8);
}

// An answer buffer with room behind the 18 bytes that must stay untouched.
struct AnswerBuf {
    std::array<uint8_t, 24> b;
    AnswerBuf() { b.fill(0xEE); }
    uint8_t* data() { return b.data(); }
};

TEST_F(Registers, TransceiveSequenceAndTwoByteAnswer) {
    AnswerBuf buf;
    buf.b[0] = 0x26;
    uint8_t bits = 0xAA;
    exchange(0x0C, {0x26}, card({0x04, 0x00}), 0x07);
    EXPECT_EQ(PcdComMF522(Transceive, buf.data(), 1, buf.data(), &bits), READER_OK);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(bits, 16);
    EXPECT_EQ(buf.b[0], 0x04);
    EXPECT_EQ(buf.b[1], 0x00);
    EXPECT_EQ(buf.b[2], 0xEE);
}

TEST_F(Registers, AuthentSequenceReadsNoFifoAndClearsStartSend) {
    AnswerBuf buf;
    uint8_t bits = 0xAA;
    const std::vector<uint8_t> frame{0x60, 0x04, 1, 2, 3, 4, 5, 6, 0x11, 0x22, 0x33, 0x44};
    Answer idle;
    idle.polls = {0x00, 0x00, 0x14};
    exchange(0x0E, frame, idle);
    EXPECT_EQ(PcdComMF522(MFAuthent, frame.data(), 12, buf.data(), &bits), READER_OK);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(bits, 0xAA);
    EXPECT_EQ(buf.b[0], 0xEE);

    // An expired timer is no "no card" for authentication.
    ss::begin();
    exchange(0x0E, frame, no_card());
    EXPECT_EQ(PcdComMF522(MFAuthent, frame.data(), 12, buf.data(), &bits), READER_OK);
    EXPECT_TRUE(ss::done());

    // Other commands wait for the timer only.
    ss::begin();
    Answer other;
    other.polls = {0x30, 0x10, 0x01};
    exchange(0x03, {}, other);
    EXPECT_EQ(PcdComMF522(CalcCRC, frame.data(), 0, buf.data(), &bits), READER_OK);
    EXPECT_TRUE(ss::done());
}

TEST_F(Registers, CompletionFirstSeenOnThe150thPollIsATimeOut) {
    debug = 1;
    AnswerBuf buf;
    uint8_t bits = 0xAA;
    Answer late;
    late.polls.assign(149, 0x00);
    late.polls.push_back(0x31);  // RxIRq, IdleIRq, TimerIRq: too late
    late.error = 0x08;
    exchange(0x0C, {0x93, 0x20}, late);
    ::testing::internal::CaptureStderr();
    uint8_t tx[2] = {0x93, 0x20};
    EXPECT_EQ(PcdComMF522(Transceive, tx, 2, buf.data(), &bits), READER_ERROR);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(ss::done()) << "no ErrorReg read after a time-out";
    EXPECT_EQ(bits, 0xAA);
    EXPECT_EQ(buf.b[0], 0xEE);

    // On the 149th poll it still counts.
    ss::begin();
    Answer in_time;
    in_time.polls.assign(148, 0x00);
    in_time.polls.push_back(0x30);
    in_time.fifo = {0x08, 0xB6, 0xDD};
    exchange(0x0C, {0x93, 0x20}, in_time);
    EXPECT_EQ(PcdComMF522(Transceive, tx, 2, buf.data(), &bits), READER_OK);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(bits, 24);
}

TEST_F(Registers, ErrorBitsDecideTheStatus) {
    AnswerBuf buf;
    uint8_t bits = 0xAA;
    uint8_t tx[2] = {0x93, 0x20};

    // BufferOvfl and CollErr: a collision; the FIFO is not read.
    Answer both = collision({0x11, 0x22});
    both.error = 0x18;
    exchange(0x0C, {0x93, 0x20}, both);
    EXPECT_EQ(PcdComMF522(Transceive, tx, 2, buf.data(), &bits), READER_COLLISION);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(bits, 0xAA);

    // ProtocolErr alone: an error, nothing stored.
    ss::begin();
    Answer proto = card({0x11});
    proto.error = 0x01;
    exchange(0x0C, {0x93, 0x20}, proto);
    EXPECT_EQ(PcdComMF522(Transceive, tx, 2, buf.data(), &bits), READER_ERROR);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(bits, 0xAA);
    EXPECT_EQ(buf.b[0], 0xEE);

    // ParityErr alone: a byte came spoiled, nothing stored.
    ss::begin();
    Answer parity = card({0x11, 0x22});
    parity.error = 0x02;
    exchange(0x0C, {0x93, 0x20}, parity);
    EXPECT_EQ(PcdComMF522(Transceive, tx, 2, buf.data(), &bits), READER_ERROR);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(bits, 0xAA);
    EXPECT_EQ(buf.b[0], 0xEE);

    // With CollErr the collided bits have no valid parity: a collision,
    // whose bits the anticollision needs.
    ss::begin();
    Answer coll_parity = collision({0x11, 0x22, 0x33, 0x44, 0x55});
    coll_parity.error = 0x0A;
    exchange(0x0C, {0x93, 0x20}, coll_parity);
    EXPECT_EQ(PcdComMF522(Transceive, tx, 2, buf.data(), &bits), READER_COLLISION);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(bits, 40);

    // Bits that are not examined: CRC, temperature, write errors.
    ss::begin();
    Answer other = card({0x11, 0x22});
    other.error = 0xE4;
    exchange(0x0C, {0x93, 0x20}, other);
    EXPECT_EQ(PcdComMF522(Transceive, tx, 2, buf.data(), &bits), READER_OK);
    EXPECT_TRUE(ss::done());

    // CollErr alone keeps what arrived.
    ss::begin();
    exchange(0x0C, {0x93, 0x20}, collision({0x11, 0x22, 0x33, 0x44, 0x55}));
    EXPECT_EQ(PcdComMF522(Transceive, tx, 2, buf.data(), &bits), READER_COLLISION);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(bits, 40);
    EXPECT_EQ(buf.b[4], 0x55);
}

TEST_F(Registers, TimerGivesNoTagForTransceiveAndStillReadsTheFifo) {
    AnswerBuf buf;
    uint8_t bits = 0xAA;
    uint8_t tx[4] = {0x50, 0x00, 0x57, 0xCD};
    exchange(0x0C, {0x50, 0x00, 0x57, 0xCD}, no_card());
    EXPECT_EQ(PcdComMF522(Transceive, tx, 4, buf.data(), &bits), READER_NO_TAG);
    EXPECT_TRUE(ss::done());
    EXPECT_EQ(bits, 0);
    EXPECT_EQ(buf.b[0], 0x00);  // the one byte read from the empty FIFO
}

TEST_F(Registers, BitCountsFollowFifoLevelAndRxLastBits) {
    uint8_t tx[1] = {0x26};
    struct Case {
        Answer a;
        uint8_t bits;
        size_t stored;
    };
    Bytes twenty;
    for (uint8_t i = 0; i < 20; i++) twenty.push_back(static_cast<uint8_t>(0x40 + i));
    for (auto& c : {Case{card({0x04, 0x00}), 16, 2}, Case{card({0x0A}, 4), 4, 1}, Case{card({}), 0, 1},
                    Case{card(twenty), 160, 18}}) {
        ss::begin();
        AnswerBuf buf;
        uint8_t bits = 0xAA;
        exchange(0x0C, {0x26}, c.a, 0x07);
        EXPECT_EQ(PcdComMF522(Transceive, tx, 1, buf.data(), &bits), READER_OK);
        EXPECT_TRUE(ss::done());
        EXPECT_EQ(bits, c.bits);
        for (size_t i = 0; i < c.stored && i < c.a.fifo.size(); i++) EXPECT_EQ(buf.b[i], c.a.fifo[i]) << i;
        EXPECT_EQ(buf.b[c.stored], 0xEE) << "stored past " << c.stored;
    }
}

TEST_F(Registers, CollisionMessageOnlyInDebugMode) {
    uint8_t tx[1] = {0x26};
    uint8_t bits;
    AnswerBuf buf;
    for (uint8_t d : {0, 1, 7}) {
        ss::begin();
        debug = d;
        exchange(0x0C, {0x26}, collision({0x44, 0x00}), 0x07);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(PcdComMF522(Transceive, tx, 1, buf.data(), &bits), READER_COLLISION);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), d ? "COllision \n" : "") << "debug " << int(d);
        EXPECT_TRUE(ss::done());
    }
}

}  // namespace
