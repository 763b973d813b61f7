#include "rc522_fixture.h"

#include <bcm2835.h>

#include <cstdlib>

using namespace mfrc522;

void Rc522Test::SetUp() {
    // bcm2835_init maps the board named in the environment once per
    // process; each test maps its own and closes it again in TearDown.
    setenv("BOATSIM_STATE", board_.path().c_str(), 1);
    ASSERT_EQ(bcm2835_init(), 1);
    bcm2835_spi_begin();
    bcm2835_spi_setBitOrder(BCM2835_SPI_BIT_ORDER_MSBFIRST);
    bcm2835_spi_setDataMode(BCM2835_SPI_MODE0);
    bcm2835_spi_setClockDivider(50);
    bcm2835_spi_chipSelect(BCM2835_SPI_CS0);
    bcm2835_spi_setChipSelectPolarity(BCM2835_SPI_CS0, LOW);
    init_chip();
}

void Rc522Test::TearDown() { bcm2835_close(); }

uint8_t Rc522Test::rd(uint8_t reg) {
    char buf[2] = {static_cast<char>(((reg << 1) & 0x7E) | 0x80), 0};
    bcm2835_spi_transfern(buf, 2);
    return static_cast<uint8_t>(buf[1]);
}

void Rc522Test::wr(uint8_t reg, uint8_t value) {
    char buf[2] = {static_cast<char>((reg << 1) & 0x7E), static_cast<char>(value)};
    bcm2835_spi_transfern(buf, 2);
}

void Rc522Test::init_chip() {
    wr(CommandReg, SoftReset);
    wr(TModeReg, 0x8D);
    wr(TPrescalerReg, 0x3E);
    wr(TReloadRegL, 30);
    wr(TReloadRegH, 0);
    wr(TxASKReg, 0x40);
    wr(ModeReg, 0x3D);
    wr(TxControlReg, rd(TxControlReg) | 0x03);
}

Exchange Rc522Test::transceive(const std::vector<uint8_t>& frame, uint8_t framing) {
    Exchange ex;
    wr(CommandReg, Idle);
    wr(ComIrqReg, 0x7F);  // Set1 clear: clears every request bit
    wr(FIFOLevelReg, FlushBuffer);
    for (uint8_t b : frame) wr(FIFODataReg, b);
    wr(CommandReg, Transceive);
    wr(BitFramingReg, static_cast<uint8_t>(framing | StartSend));
    // The chip's timer ends an unanswered exchange after ~15 ms; the bound
    // only guards against a chip that never ends it.
    ex.timed_out = !testsupport::wait_until([&] { return ((ex.irq = rd(ComIrqReg)) & (RxIRq | TimerIRq)) != 0; }, 5000, 1);
    wr(BitFramingReg, framing);
    ex.error = rd(ErrorReg);
    ex.coll = rd(CollReg);
    const uint8_t n = rd(FIFOLevelReg);
    const uint8_t last = rd(ControlReg) & 0x07;
    ex.bits = last ? (n - 1) * 8 + last : n * 8;
    for (uint8_t i = 0; i < n; i++) ex.data.push_back(rd(FIFODataReg));
    return ex;
}

uint8_t Rc522Test::crc_by_chip(const std::vector<uint8_t>& data, uint8_t* low) {
    wr(CommandReg, Idle);
    wr(DivIrqReg, CRCIRq);  // Set2 clear
    wr(FIFOLevelReg, FlushBuffer);
    for (uint8_t b : data) wr(FIFODataReg, b);
    wr(CommandReg, CalcCRC);
    // The coprocessor takes a few register accesses.
    int polls = 0;
    while (!(rd(DivIrqReg) & CRCIRq) && ++polls < 10) {}
    EXPECT_LT(polls, 10) << "CRCIRq never came";
    *low = rd(CRCResultRegL);
    return rd(CRCResultRegH);
}

std::vector<uint8_t> Rc522Test::with_crc(std::vector<uint8_t> frame) {
    uint8_t low = 0;
    uint8_t high = crc_by_chip(frame, &low);
    frame.push_back(low);
    frame.push_back(high);
    return frame;
}

Exchange Rc522Test::select(uint8_t sel, const std::vector<uint8_t>& cl) {
    std::vector<uint8_t> f = {sel, 0x70};
    f.insert(f.end(), cl.begin(), cl.end());
    f.push_back(static_cast<uint8_t>(cl[0] ^ cl[1] ^ cl[2] ^ cl[3]));
    return transceive(with_crc(f));
}

void Rc522Test::activate(const std::vector<uint8_t>& uid) {
    ASSERT_TRUE(reqa().answered());
    Exchange ac = anticoll(0x93);
    ASSERT_EQ(ac.bits, 40);
    ASSERT_EQ(std::vector<uint8_t>(ac.data.begin(), ac.data.begin() + 4), uid);
    Exchange sel = select(0x93, uid);
    ASSERT_EQ(sel.bits, 24);
}

bool Rc522Test::authenticate(uint8_t cmd, uint8_t block, const std::vector<uint8_t>& key,
                             const std::vector<uint8_t>& uid4) {
    wr(CommandReg, Idle);
    wr(ComIrqReg, 0x7F);
    wr(FIFOLevelReg, FlushBuffer);
    std::vector<uint8_t> f = {cmd, block};
    f.insert(f.end(), key.begin(), key.end());
    f.insert(f.end(), uid4.begin(), uid4.end());
    for (uint8_t b : f) wr(FIFODataReg, b);
    wr(CommandReg, MFAuthent);
    uint8_t irq = 0;
    bool ended = testsupport::wait_until([&] { return ((irq = rd(ComIrqReg)) & (IdleIRq | TimerIRq)) != 0; }, 5000, 1);
    EXPECT_TRUE(ended);
    return (rd(Status2Reg) & MFCrypto1On) != 0;
}
