// NXP MFRC522 reader chip behind SPI0 CS0, modelled from its data sheet at
// the register level: what a driver writes and reads over SPI is what the
// real chip would take and return.
//
// Covered: the SPI address byte and multi-byte sequences (reads of several
// addresses, writes of several bytes to one address); every register with
// its reset value and read-only/write-only bits; the 64-byte FIFO with
// FlushBuffer, FIFOLevelReg, WaterLevelReg alerts and BufferOvfl; ComIrqReg
// and DivIrqReg with Set1/Set2; the commands Idle, CalcCRC (CRC_A with the
// ModeReg CRCPreset), Transmit, Transceive (StartSend, TxLastBits, RxAlign,
// RxLastBits, TxCRCEn, RxCRCEn checking only), MFAuthent (key checked by the
// card model; MFCrypto1On) and SoftReset; ErrorReg CollErr, ProtocolErr,
// BufferOvfl, CRCErr; CollReg CollPos/CollPosNotValid/ValuesAfterColl; the
// timer (TAuto, TAutoRestart, TStartNow/TStopNow, TPrescalEven, TCounterVal)
// on the monotonic clock, evaluated whenever the chip is accessed; the
// antenna drivers TxControlReg Tx1RFEn/Tx2RFEn (both off: no field);
// ParityErr for an answer the card model marks as received with a parity
// error. The board's faults (faults.h): held in reset, off the bus (MISO
// 0x00 or 0xFF), drivers switched off by the thermal protection (TempErr).
//
// Left out: analog settings (gains, thresholds, modulation: stored only),
// Mem and GenerateRandomID (finish at once), Receive without a sender,
// baud rates other than 106 kBd, generating parity bits, the test
// registers, power-down, MSBFirst, ModemState beyond idle/busy, and Crypto1
// on air (see air.h). Card answers arrive at once: they show on the first
// read after StartSend. The CRC coprocessor takes a little time, counted
// in register accesses rather than microseconds so that a driver that does
// not wait for CRCIRq fails the same way on any machine.
//
// CollPos counts from the first bit received in the frame (RxAlign not
// included), as the card model reports it; collided bits read as 1.
#include "air.h"
#include "devices.h"
#include "mfrc522_regs.h"

#include <cstring>

namespace boatsim {

using namespace ::mfrc522;

namespace {

constexpr uint8_t kResetValues[64] = {
    0x00, 0x20, 0x80, 0x00, 0x14, 0x00, 0x00, 0x21, 0x00, 0x00, 0x00, 0x08, 0x10, 0x00, 0xA0, 0x00,  // 0x00
    0x00, 0x3F, 0x00, 0x00, 0x80, 0x00, 0x10, 0x84, 0x84, 0x4D, 0x00, 0x00, 0x62, 0x00, 0x00, 0xEB,  // 0x10
    0x00, 0xFF, 0xFF, 0x00, 0x26, 0x00, 0x48, 0x88, 0x20, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0x20
    0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x40, 0x92, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 0x30
};

bool reserved_reg(uint8_t a) {
    switch (a) {
    case 0x00: case 0x0F: case 0x10: case 0x1A: case 0x1B: case 0x1E: case 0x20:
    case 0x23: case 0x25: case 0x30: case 0x3C: case 0x3D: case 0x3E: case 0x3F:
        return true;
    default:
        return false;
    }
}

uint8_t command(const Mfrc522& c) { return c.reg[CommandReg] & 0x0F; }

uint16_t crc_preset(const Mfrc522& c) {
    static constexpr uint16_t kPresets[4] = {0x0000, 0x6363, 0xA671, 0xFFFF};
    return kPresets[c.reg[ModeReg] & 0x03];
}

// --- Timer ---------------------------------------------------------------

constexpr uint64_t kClockHz = 13560000;

uint64_t timer_divider(const Mfrc522& c) {
    const uint64_t prescaler = static_cast<uint64_t>(c.reg[TModeReg] & 0x0F) << 8 | c.reg[TPrescalerReg];
    return (c.reg[DemodReg] & TPrescalEven) ? 2 * prescaler + 2 : 2 * prescaler + 1;
}

uint64_t timer_period_ns(const Mfrc522& c) {
    const uint64_t reload = static_cast<uint64_t>(c.reg[TReloadRegH]) << 8 | c.reg[TReloadRegL];
    return timer_divider(c) * (reload + 1) * 1000000000ull / kClockHz;
}

void timer_start(Mfrc522& c) { c.timer_deadline_ns = monotonic_ns() + timer_period_ns(c); }

void timer_stop(Mfrc522& c) {
    if (!c.timer_deadline_ns) return;
    const uint64_t now = monotonic_ns();
    const uint64_t left = c.timer_deadline_ns > now ? c.timer_deadline_ns - now : 0;
    const uint64_t ticks = left * kClockHz / 1000000000ull / timer_divider(c);
    c.reg[TCounterValRegH] = static_cast<uint8_t>(ticks >> 8);
    c.reg[TCounterValRegL] = static_cast<uint8_t>(ticks);
    c.timer_deadline_ns = 0;
}

void timer_update(Mfrc522& c) {
    if (!c.timer_deadline_ns) return;
    const uint64_t now = monotonic_ns();
    if (now < c.timer_deadline_ns) return;
    c.reg[ComIrqReg] |= TimerIRq;
    if (c.reg[TModeReg] & TAutoRestart) {
        const uint64_t period = timer_period_ns(c);
        c.timer_deadline_ns += period * ((now - c.timer_deadline_ns) / period + 1);
    } else {
        c.timer_deadline_ns = 0;
        c.reg[TCounterValRegH] = c.reg[TCounterValRegL] = 0;
    }
}

uint16_t timer_counter(const Mfrc522& c) {
    if (!c.timer_deadline_ns) return static_cast<uint16_t>(c.reg[TCounterValRegH] << 8 | c.reg[TCounterValRegL]);
    const uint64_t now = monotonic_ns();
    const uint64_t left = c.timer_deadline_ns > now ? c.timer_deadline_ns - now : 0;
    return static_cast<uint16_t>(left * kClockHz / 1000000000ull / timer_divider(c));
}

// --- FIFO ----------------------------------------------------------------

bool lo_alert(const Mfrc522& c) { return c.fifo_len <= c.reg[WaterLevelReg]; }
bool hi_alert(const Mfrc522& c) { return kFifoSize - c.fifo_len <= c.reg[WaterLevelReg]; }

void set_error(Mfrc522& c, uint8_t bits) {
    c.reg[ErrorReg] |= bits;
    c.reg[ComIrqReg] |= ErrIRq;
}

// Alert interrupts latch when the FIFO crosses the water level.
template <typename F>
void fifo_change(Mfrc522& c, F change) {
    const bool lo = lo_alert(c), hi = hi_alert(c);
    change();
    if (!lo && lo_alert(c)) c.reg[ComIrqReg] |= LoAlertIRq;
    if (!hi && hi_alert(c)) c.reg[ComIrqReg] |= HiAlertIRq;
}

void fifo_flush(Mfrc522& c) {
    fifo_change(c, [&] {
        c.fifo_len = 0;
        c.fifo_read = 0;
    });
    c.reg[ErrorReg] &= static_cast<uint8_t>(~BufferOvfl);
}

void fifo_push(Mfrc522& c, uint8_t b) {
    if (c.fifo_len >= kFifoSize) {
        set_error(c, BufferOvfl);
        return;
    }
    fifo_change(c, [&] {
        c.fifo[(c.fifo_read + c.fifo_len) % kFifoSize] = b;
        c.fifo_len++;
    });
}

uint8_t fifo_pop(Mfrc522& c) {
    if (c.fifo_len == 0) return 0;
    uint8_t b = 0;
    fifo_change(c, [&] {
        b = c.fifo[c.fifo_read];
        c.fifo_read = static_cast<uint8_t>((c.fifo_read + 1) % kFifoSize);
        c.fifo_len--;
        if (c.fifo_len == 0) c.fifo_read = 0;  // an emptied FIFO starts over at its first cell
    });
    return b;
}

// --- Commands ------------------------------------------------------------

// A calculation's result and CRCIRq show from the third register access
// after its start (or after its last byte): the two accesses right after
// it still find CRCResultReg as it was and CRCIRq as it was.
constexpr uint8_t kCrcAccesses = 3;

void crc_feed(Mfrc522& c, const uint8_t* p, size_t n) {
    c.crc_result = crc_a(p, n, c.crc_result);
    c.crc_busy = kCrcAccesses;
}

// Before each register access: a running calculation may finish.
void crc_tick(Mfrc522& c) {
    if (!c.crc_busy || --c.crc_busy) return;
    c.reg[CRCResultRegH] = static_cast<uint8_t>(c.crc_result >> 8);
    c.reg[CRCResultRegL] = static_cast<uint8_t>(c.crc_result);
    c.reg[DivIrqReg] |= CRCIRq;
}

// The coprocessor takes the FIFO's bytes, and later ones as they arrive.
void calc_crc_start(Mfrc522& c) {
    c.crc_result = crc_preset(c);
    uint8_t data[kFifoSize];
    size_t n = 0;
    while (c.fifo_len) data[n++] = fifo_pop(c);
    crc_feed(c, data, n);
}

void finish(Mfrc522& c) {
    c.reg[CommandReg] &= 0xF0;  // Idle, keeping RcvOff and PowerDown
    c.reg[ComIrqReg] |= IdleIRq;
}

bool field_on(const Mfrc522& c) { return (c.reg[TxControlReg] & 0x03) != 0; }

// Receiver start-up clears the error flags of the previous reception.
void receiver_start(Mfrc522& c) {
    c.reg[ErrorReg] &= static_cast<uint8_t>(~(CollErr | CRCErr | ParityErr | ProtocolErr));
    c.reg[CollReg] = static_cast<uint8_t>((c.reg[CollReg] & ValuesAfterColl) | CollPosNotValid);
}

// Sends the FIFO's content; true when some card answered into `reply`.
bool transmit(BoardState& s, AirReply& reply) {
    Mfrc522& c = s.rc522;
    memset(&reply, 0, sizeof reply);
    uint8_t frame[kFifoSize + 2];
    const uint8_t n = c.fifo_len;
    if (n == 0) return false;
    const uint8_t last_bits = c.reg[BitFramingReg] & 0x07;
    for (uint8_t i = 0; i < n; i++) frame[i] = fifo_pop(c);
    uint16_t bits = static_cast<uint16_t>(last_bits ? (n - 1) * 8 + last_bits : n * 8);
    if ((c.reg[TxModeReg] & TxCRCEn) && last_bits == 0) {
        const uint16_t crc = crc_a(frame, n, crc_preset(c));
        frame[n] = static_cast<uint8_t>(crc);
        frame[n + 1] = static_cast<uint8_t>(crc >> 8);
        bits = static_cast<uint16_t>(bits + 16);
    }
    receiver_start(c);
    c.reg[ComIrqReg] |= TxIRq;
    if (field_on(c)) air_exchange(s, frame, bits, &reply);
    const bool heard = reply.bits > 0 && !(c.reg[CommandReg] & 0x20);  // RcvOff
    // TAuto: the timer runs from the end of the transmission until the
    // first bit comes back.
    if (c.reg[TModeReg] & TAuto) {
        if (heard)
            timer_stop(c);
        else
            timer_start(c);
    }
    return heard;
}

void receive_into_fifo(Mfrc522& c, const AirReply& reply) {
    const uint8_t align = (c.reg[BitFramingReg] >> 4) & 0x07;
    uint8_t buf[sizeof reply.data + 1] = {};
    for (int i = 0; i < reply.bits; i++) {
        const int at = align + i;
        if ((reply.data[i / 8] >> (i % 8)) & 1) buf[at / 8] = static_cast<uint8_t>(buf[at / 8] | (1u << (at % 8)));
    }
    if (reply.collision) {
        set_error(c, CollErr);
        uint8_t coll = static_cast<uint8_t>(c.reg[CollReg] & ValuesAfterColl);
        if (reply.coll_pos <= 32)
            coll = static_cast<uint8_t>(coll | (reply.coll_pos & 0x1F));
        else
            coll |= CollPosNotValid;
        c.reg[CollReg] = coll;
        if (!(c.reg[CollReg] & ValuesAfterColl)) {
            for (int i = reply.coll_pos; i < reply.bits; i++) {  // bits after the collided one
                const int at = align + i;
                buf[at / 8] = static_cast<uint8_t>(buf[at / 8] & ~(1u << (at % 8)));
            }
        }
    }
    const int total = align + reply.bits;
    const int bytes = (total + 7) / 8;
    for (int i = 0; i < bytes; i++) fifo_push(c, buf[i]);
    c.reg[ControlReg] = static_cast<uint8_t>((c.reg[ControlReg] & ~0x07) | (total % 8));
    if (reply.parity_error) set_error(c, ParityErr);
    if ((c.reg[RxModeReg] & RxCRCEn) && total % 8 == 0 && bytes >= 3) {
        const uint16_t crc = crc_a(buf, static_cast<size_t>(bytes - 2), crc_preset(c));
        if (buf[bytes - 2] != static_cast<uint8_t>(crc) || buf[bytes - 1] != static_cast<uint8_t>(crc >> 8))
            set_error(c, CRCErr);
    }
    c.reg[ComIrqReg] |= RxIRq;
}

void transceive(BoardState& s) {
    AirReply reply;
    if (transmit(s, reply)) receive_into_fifo(s.rc522, reply);
}

// The FIFO holds: auth command, block address, 6 key bytes, 4 UID bytes.
void mf_authent(BoardState& s) {
    Mfrc522& c = s.rc522;
    receiver_start(c);
    if (c.fifo_len != 12) {
        while (c.fifo_len) fifo_pop(c);
        set_error(c, ProtocolErr);
        finish(c);
        return;
    }
    uint8_t f[12];
    for (uint8_t& b : f) b = fifo_pop(c);
    c.reg[ComIrqReg] |= TxIRq;
    if (field_on(c) && !(c.reg[CommandReg] & 0x20) && card_authenticate(s, f[0], f[1], f + 2, f + 8)) {
        c.reg[Status2Reg] |= MFCrypto1On;
        if (c.reg[TModeReg] & TAuto) timer_stop(c);
        finish(c);
        return;
    }
    // The card never completes the handshake: the command waits on, and
    // only the timer (when TAuto runs it) ends the wait.
    if (c.reg[TModeReg] & TAuto) timer_start(c);
}

void power_on(BoardState& s) {
    Mfrc522& c = s.rc522;
    const bool had_field = field_on(c);
    memset(&c, 0, sizeof c);
    memcpy(c.reg, kResetValues, sizeof c.reg);
    // Still too hot: the sensor reports it again at once.
    if (fault_active(s, Fault::rc522_antenna_off)) set_error(c, TempErr);
    if (had_field) air_field_off(s);
}

void start_command(BoardState& s, uint8_t v) {
    Mfrc522& c = s.rc522;
    const uint8_t cmd = v & 0x0F;
    if (cmd == NoCmdChange) {
        c.reg[CommandReg] = static_cast<uint8_t>((c.reg[CommandReg] & 0x0F) | (v & 0x30));
        return;
    }
    c.reg[CommandReg] = static_cast<uint8_t>((v & 0x30) | cmd);
    c.crc_busy = 0;  // a new command ends an unfinished calculation, result lost
    switch (cmd) {
    case Idle:
        break;
    case CalcCRC:
        calc_crc_start(c);
        break;
    case Transmit: {
        AirReply ignored;
        transmit(s, ignored);
        finish(c);
        break;
    }
    case Receive:
        break;  // nothing sends to the reader unasked
    case Transceive:
        if (c.reg[BitFramingReg] & StartSend) transceive(s);
        break;
    case MFAuthent:
        mf_authent(s);
        break;
    case SoftReset:
        power_on(s);
        break;
    default:  // Mem, GenerateRandomID and unknown codes end at once
        finish(c);
        break;
    }
}

// --- Register access -----------------------------------------------------

uint8_t read_reg(BoardState& s, uint8_t a) {
    Mfrc522& c = s.rc522;
    crc_tick(c);
    if (reserved_reg(a)) return 0;
    switch (a) {
    case ComIrqReg:
    case DivIrqReg:
        return c.reg[a] & 0x7F;
    case Status1Reg: {
        const uint16_t crc = static_cast<uint16_t>(c.reg[CRCResultRegH] << 8 | c.reg[CRCResultRegL]);
        const bool irq = (c.reg[ComIrqReg] & c.reg[ComIEnReg] & 0x7F) || (c.reg[DivIrqReg] & c.reg[DivIEnReg] & 0x14);
        return static_cast<uint8_t>((crc == 0 ? CRCOk : 0) | (c.crc_busy ? 0 : CRCReady) | (irq ? IRq : 0) |
                                    (c.timer_deadline_ns ? TRunning : 0) | (hi_alert(c) ? HiAlert : 0) |
                                    (lo_alert(c) ? LoAlert : 0));
    }
    case Status2Reg:
        return static_cast<uint8_t>((c.reg[Status2Reg] & 0xC8) | (command(c) == Idle ? 0 : 1));
    case FIFODataReg:
        return fifo_pop(c);
    case FIFOLevelReg:
        return c.fifo_len;
    case ControlReg:
        return static_cast<uint8_t>(c.reg[ControlReg] & 0x17);
    case BitFramingReg:
        return c.reg[BitFramingReg];
    case TCounterValRegH:
        return static_cast<uint8_t>(timer_counter(c) >> 8);
    case TCounterValRegL:
        return static_cast<uint8_t>(timer_counter(c));
    default:
        return c.reg[a];
    }
}

void write_reg(BoardState& s, uint8_t a, uint8_t v) {
    Mfrc522& c = s.rc522;
    crc_tick(c);
    if (reserved_reg(a)) return;
    switch (a) {
    case CommandReg:
        start_command(s, v);
        break;
    case ComIrqReg:
        if (v & Set1)
            c.reg[a] |= v & 0x7F;
        else
            c.reg[a] &= static_cast<uint8_t>(~(v & 0x7F));
        break;
    case DivIrqReg:
        if (v & Set2)
            c.reg[a] |= v & 0x14;
        else
            c.reg[a] &= static_cast<uint8_t>(~(v & 0x14));
        break;
    case ErrorReg:
    case Status1Reg:
    case CRCResultRegH:
    case CRCResultRegL:
    case TCounterValRegH:
    case TCounterValRegL:
    case VersionReg:
        break;  // read-only
    case Status2Reg:
        // MFCrypto1On is set only by MFAuthent; software can clear it.
        c.reg[a] = static_cast<uint8_t>((v & 0xC0) | (c.reg[a] & v & MFCrypto1On));
        break;
    case FIFODataReg:
        if (command(c) == CalcCRC)
            crc_feed(c, &v, 1);
        else
            fifo_push(c, v);
        break;
    case FIFOLevelReg:
        if (v & FlushBuffer) fifo_flush(c);
        break;
    case WaterLevelReg:
        c.reg[a] = v & 0x3F;
        break;
    case ControlReg:
        if (v & TStopNow) timer_stop(c);
        if (v & TStartNow) timer_start(c);
        break;
    case BitFramingReg:
        c.reg[a] = v;
        if ((v & StartSend) && command(c) == Transceive) transceive(s);
        break;
    case CollReg:
        c.reg[a] = static_cast<uint8_t>((c.reg[a] & 0x7F) | (v & ValuesAfterColl));
        break;
    case TxControlReg: {
        const bool was_on = field_on(c);
        c.reg[a] = v;
        // An overheated chip keeps its drivers off whatever is written.
        if (fault_active(s, Fault::rc522_antenna_off)) c.reg[a] &= static_cast<uint8_t>(~0x03);
        if (was_on && !field_on(c)) air_field_off(s);
        break;
    }
    default:
        c.reg[a] = v;
        break;
    }
}

}  // namespace

void mfrc522_power_on(BoardState& s) { power_on(s); }

void mfrc522_fault(BoardState& s, Fault f, bool on) {
    Mfrc522& c = s.rc522;
    switch (f) {
    case Fault::rc522_reset:
        if (on) power_on(s);
        break;
    case Fault::rc522_antenna_off:
        // The thermal protection switches the drivers off and flags TempErr;
        // cooled down, the flag goes and the drivers stay off until
        // software switches them on.
        if (on) {
            const bool was_on = field_on(c);
            c.reg[TxControlReg] &= static_cast<uint8_t>(~0x03);
            set_error(c, TempErr);
            if (was_on) air_field_off(s);
        } else {
            c.reg[ErrorReg] &= static_cast<uint8_t>(~TempErr);
        }
        break;
    default:
        break;  // off the bus: seen at each access
    }
}

// One chip-select assertion. A first byte with bit 7 set starts a read
// sequence: every byte but the last is an address, and each address's
// value comes back during the next byte. Otherwise the first byte is the
// address written and every later byte is written to it in turn.
void mfrc522_spi(BoardState& s, const uint8_t* tx, uint8_t* rx, uint32_t len) {
    if (fault_active(s, Fault::rc522_absent_low) || fault_active(s, Fault::rc522_absent_high)) {
        // Nothing drives MISO: a pull-down or pull-up decides what is read.
        memset(rx, fault_active(s, Fault::rc522_absent_high) ? 0xFF : 0x00, len);
        return;
    }
    // A floating reset line: whatever was written before is gone again.
    if (fault_active(s, Fault::rc522_reset)) power_on(s);
    timer_update(s.rc522);
    rx[0] = 0;
    if (tx[0] & 0x80) {
        for (uint32_t i = 1; i < len; i++) rx[i] = read_reg(s, (tx[i - 1] >> 1) & 0x3F);
    } else {
        const uint8_t addr = (tx[0] >> 1) & 0x3F;
        for (uint32_t i = 1; i < len; i++) {
            write_reg(s, addr, tx[i]);
            rx[i] = 0;
        }
    }
}

}  // namespace boatsim
