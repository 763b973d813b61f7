// The emulated PN532: frames from the host, its commands, and card
// activation over the simulated field.
#include "pn532_chip.h"

#include "air.h"

#include <cstring>

namespace boatsim {

const uint8_t kPn532Ack[6] = {0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00};
const uint8_t kPn532Nack[6] = {0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00};
const uint8_t kPn532ErrorFrame[8] = {0x00, 0x00, 0xFF, 0x01, 0xFF, 0x7F, 0x81, 0x00};

size_t pn532_frame(uint8_t tfi, const uint8_t* data, size_t len, uint8_t* out, size_t cap) {
    size_t total = len + 1;  // TFI counts in LEN
    size_t need = total <= 254 ? total + 7 : total + 10;
    if (total > kMaxFrameData || need > cap) return 0;
    size_t i = 0;
    out[i++] = 0x00;
    out[i++] = 0x00;
    out[i++] = 0xFF;
    if (total <= 254) {
        out[i++] = static_cast<uint8_t>(total);
        out[i++] = static_cast<uint8_t>(0x100 - total);
    } else {
        out[i++] = 0xFF;
        out[i++] = 0xFF;
        out[i++] = static_cast<uint8_t>(total >> 8);
        out[i++] = static_cast<uint8_t>(total);
        out[i++] = static_cast<uint8_t>(0x100 - ((total >> 8) + total));
    }
    uint8_t sum = tfi;
    out[i++] = tfi;
    for (size_t k = 0; k < len; k++) {
        out[i++] = data[k];
        sum = static_cast<uint8_t>(sum + data[k]);
    }
    out[i++] = static_cast<uint8_t>(0x100 - sum);
    out[i++] = 0x00;
    return i;
}

// ---------------------------------------------------------------- framing

void Pn532Deframer::feed(const uint8_t* p, size_t n) {
    while (n > 0) {
        if (len_ == buf_.size()) drop(1);  // garbage that never forms a frame
        size_t k = buf_.size() - len_;
        if (k > n) k = n;
        memcpy(buf_.data() + len_, p, k);
        len_ += k;
        p += k;
        n -= k;
    }
}

void Pn532Deframer::drop(size_t n) {
    if (n > len_) n = len_;
    memmove(buf_.data(), buf_.data() + n, len_ - n);
    len_ -= n;
}

Pn532Deframer::Event Pn532Deframer::next() {
    Event ev;
    for (;;) {
        // Find the start code 00 FF; whatever precedes it is preamble or noise.
        size_t s = 0;
        while (s + 1 < len_ && !(buf_[s] == 0x00 && buf_[s + 1] == 0xFF)) {
            if (buf_[s] == 0x55) wakeups_++;
            s++;
        }
        if (s + 1 >= len_) {
            // Keep a trailing 00 that may begin a start code.
            size_t keep = (len_ > 0 && buf_[len_ - 1] == 0x00) ? 1 : 0;
            if (len_ > 0 && buf_[len_ - 1] == 0x55) wakeups_++;
            drop(len_ - keep);
            return ev;
        }
        drop(s);
        // buf_[0..1] = 00 FF
        if (len_ < 4) return ev;
        uint8_t l = buf_[2], lcs = buf_[3];
        if (l == 0x00 && lcs == 0xFF) {
            drop(4);
            ev.kind = Kind::ack;
            return ev;
        }
        if (l == 0xFF && lcs == 0x00) {
            drop(4);
            ev.kind = Kind::nack;
            return ev;
        }
        size_t hdr, total;
        if (l == 0xFF && lcs == 0xFF) {  // extended frame: 00 FF FF FF LENM LENL LCS
            if (len_ < 7) return ev;
            total = (static_cast<size_t>(buf_[4]) << 8) | buf_[5];
            if (static_cast<uint8_t>(buf_[4] + buf_[5] + buf_[6]) != 0 || total == 0 || total > kMaxFrameData) {
                bad_frames_++;
                drop(2);
                continue;
            }
            hdr = 7;
        } else {
            if (static_cast<uint8_t>(l + lcs) != 0 || l == 0) {
                bad_frames_++;
                drop(2);
                continue;
            }
            total = l;
            hdr = 4;
        }
        if (len_ < hdr + total + 1) return ev;  // postamble is not waited for
        uint8_t sum = 0;
        for (size_t i = 0; i < total + 1; i++) sum = static_cast<uint8_t>(sum + buf_[hdr + i]);
        if (sum != 0) {
            bad_frames_++;
            drop(2);
            continue;
        }
        ev.kind = Kind::info;
        ev.tfi = buf_[hdr];
        ev.len = total - 1;
        memcpy(frame_.data(), buf_.data() + hdr + 1, ev.len);
        ev.data = frame_.data();
        drop(hdr + total + 1);
        return ev;
    }
}

// ---------------------------------------------------------------- chip

namespace {

// CIU registers as the PN532 maps them into its XRAM.
constexpr uint16_t kCiuTxMode = 0x6302;
constexpr uint16_t kCiuRxMode = 0x6303;
constexpr uint16_t kCiuTxControl = 0x6304;
constexpr uint16_t kCiuControl = 0x633C;
constexpr uint16_t kCiuBitFraming = 0x633D;
constexpr uint16_t kCiuColl = 0x633E;

// Status codes of the user manual's error table.
constexpr uint8_t kStTimeout = 0x01;
constexpr uint8_t kStCrc = 0x02;
constexpr uint8_t kStCollision = 0x06;
constexpr uint8_t kStBufferSize = 0x07;
constexpr uint8_t kStMifare = 0x14;
constexpr uint8_t kStContext = 0x27;


bool get_bit(const uint8_t* p, unsigned i) { return (p[i / 8] >> (i % 8)) & 1; }
void set_bit(uint8_t* p, unsigned i, bool v) {
    if (v)
        p[i / 8] = static_cast<uint8_t>(p[i / 8] | (1u << (i % 8)));
    else
        p[i / 8] = static_cast<uint8_t>(p[i / 8] & ~(1u << (i % 8)));
}

void append_crc(uint8_t* p, size_t len) {
    uint16_t c = crc_a(p, len);
    p[len] = static_cast<uint8_t>(c);
    p[len + 1] = static_cast<uint8_t>(c >> 8);
}

bool crc_ok(const uint8_t* p, size_t len) {
    if (len < 3) return false;
    uint16_t c = crc_a(p, len - 2);
    return p[len - 2] == static_cast<uint8_t>(c) && p[len - 1] == static_cast<uint8_t>(c >> 8);
}

void reply_code(Pn532Reply* out, uint8_t cmd) {
    out->error_frame = false;
    out->data[0] = static_cast<uint8_t>(cmd + 1);
    out->len = 1;
}

void push(Pn532Reply* out, uint8_t b) {
    if (out->len < out->data.size()) out->data[out->len++] = b;
}

Pn532Chip::Result syntax_error(Pn532Reply* out) {
    out->error_frame = true;
    out->len = 0;
    return Pn532Chip::Result::reply;
}

}  // namespace

Pn532Chip::Pn532Chip(BoardState* board) : board_(board) { reset(); }

void Pn532Chip::reset() {
    reg_.fill(0);
    // CIU power-on values of the registers a host reads back and modifies.
    reg_[0x6301] = 0x3B;  // Mode
    reg_[kCiuTxMode] = 0x80;
    reg_[kCiuRxMode] = 0x80;
    reg_[kCiuTxControl] = 0x80;
    reg_[0x6306] = 0x10;  // TxSel
    reg_[0x6307] = 0x84;  // RxSel
    reg_[0x6308] = 0x84;  // RxThreshold
    reg_[0x6309] = 0x4D;  // Demod
    reg_[0x630C] = 0x62;  // MifNFC
    reg_[0x633B] = 0x08;  // WaterLevel
    reg_[kCiuControl] = 0x10;  // initiator
    reg_[kCiuColl] = 0x80;
    sam_mode_ = 1;
    params_ = 0;
    rf_on_ = false;
    rf_timeouts_[0] = 0x00;
    rf_timeouts_[1] = 0x0B;
    rf_timeouts_[2] = 0x0A;
    max_rty_com_ = 0;
    max_rty_[0] = 0xFF;
    max_rty_[1] = 0x01;
    max_rty_[2] = 0xFF;
    gpio_p3_ = 0xFF;
    gpio_p7_ = 0xFF;
    last_error_ = 0;
    n_targets_ = 0;
    active_tg_ = 0;
    pending_ = Pending::none;
}

// RFConfiguration item 2: 0 none, else 100 us * 2^(v-1) (0x0A = 51.2 ms).
uint64_t Pn532Chip::receive_timeout_ns() const {
    uint8_t v = rf_timeouts_[2];
    if (v == 0) return 0;
    if (v > 0x10) v = 0x10;
    return 100'000ull << (v - 1);
}

// ------------------------------------------------------------ air side

uint8_t Pn532Chip::transceive(const uint8_t* tx, size_t len, uint8_t tx_last_bits, bool crc_tx, bool crc_rx,
                              uint8_t* rx, size_t* rx_len, uint8_t* rx_last_bits) {
    uint8_t frame[64 + 2];
    *rx_len = 0;
    *rx_last_bits = 0;
    if (len == 0 || len + 2 > sizeof(frame)) return kStBufferSize;
    memcpy(frame, tx, len);
    size_t n = len;
    uint16_t bits;
    if (crc_tx) {
        append_crc(frame, len);
        n += 2;
        bits = static_cast<uint16_t>(n * 8);
    } else {
        bits = static_cast<uint16_t>(n * 8 - (tx_last_bits ? 8 - tx_last_bits : 0));
    }
    AirReply r {};
    air_exchange(*board_, frame, bits, &r);
    if (r.bits == 0) return kStTimeout;
    size_t bytes = (r.bits + 7u) / 8u;
    if (bytes > sizeof(r.data)) bytes = sizeof(r.data);
    if (r.collision) {
        reg_[kCiuColl] = static_cast<uint8_t>(r.coll_pos <= 32 ? (r.coll_pos & 0x1F) : 0x20);
        memcpy(rx, r.data, bytes);
        *rx_len = bytes;
        *rx_last_bits = static_cast<uint8_t>(r.bits % 8);
        return kStCollision;
    }
    reg_[kCiuColl] = 0xA0;
    if (crc_rx && r.bits >= 8) {
        if (r.bits % 8 != 0 || !crc_ok(r.data, bytes)) return kStCrc;
        bytes -= 2;
    }
    memcpy(rx, r.data, bytes);
    *rx_len = bytes;
    *rx_last_bits = static_cast<uint8_t>(r.bits % 8);
    return 0;
}

// One cascade level's anticollision loop (ISO/IEC 14443-3, 6.4.3): where
// cards disagree, take the branch with bit value 1 and go on.
bool Pn532Chip::anticollide_level(uint8_t sel, uint8_t uid_cl[5]) {
    unsigned known = 0;
    memset(uid_cl, 0, 5);
    for (int round = 0; round < 41; round++) {
        uint8_t tx[7];
        tx[0] = sel;
        tx[1] = static_cast<uint8_t>(((2 + known / 8) << 4) | (known % 8));
        size_t nbytes = (known + 7) / 8;
        memcpy(tx + 2, uid_cl, nbytes);
        AirReply r {};
        air_exchange(*board_, tx, static_cast<uint16_t>(16 + known), &r);
        if (r.bits == 0) return false;
        unsigned valid = r.collision ? r.coll_pos - 1u : r.bits;
        if (known + valid > 40) return false;
        for (unsigned i = 0; i < valid; i++) set_bit(uid_cl, known + i, get_bit(r.data, i));
        known += valid;
        if (!r.collision) break;
        if (known >= 40) return false;
        set_bit(uid_cl, known, true);
        known++;
        if (known == 40) break;
    }
    if (known != 40) return false;
    return (uid_cl[0] ^ uid_cl[1] ^ uid_cl[2] ^ uid_cl[3]) == uid_cl[4];
}

bool Pn532Chip::select_level(uint8_t sel, const uint8_t uid_cl[5], uint8_t* sak) {
    uint8_t tx[9] = {sel, kNvbSelect};
    memcpy(tx + 2, uid_cl, 5);
    append_crc(tx, 7);
    AirReply r {};
    air_exchange(*board_, tx, 72, &r);
    if (r.bits != 24 || r.collision || !crc_ok(r.data, 3)) return false;
    *sak = r.data[0];
    return true;
}

// REQA, then WUPA when no card in the IDLE state answered, and the cascade
// levels. REQA first lets a host single out the cards one by one by halting
// each it has seen; WUPA then finds a card that stays on the reader on every
// poll, halted or not. With `want_uid` the levels are selected directly
// with that UID, as the host asked for a known card.
bool Pn532Chip::activate_a(bool wake_halted, const uint8_t* want_uid, size_t want_len, Target* t) {
    uint8_t req = want_uid ? kWupa : kReqa;
    AirReply r {};
    air_exchange(*board_, &req, 7, &r);
    if (r.bits == 0 && wake_halted && req != kWupa) {
        req = kWupa;
        air_exchange(*board_, &req, 7, &r);
    }
    if (r.bits != 16) return false;
    memset(t, 0, sizeof(*t));
    t->atqa[0] = r.data[0];
    t->atqa[1] = r.data[1];
    static constexpr uint8_t kSel[3] = {kSelCl1, kSelCl2, kSelCl3};
    size_t used = 0;
    for (int level = 0; level < 3; level++) {
        uint8_t uid_cl[5];
        if (want_uid) {
            size_t left = want_len - used;
            if (left > 4) {
                uid_cl[0] = kCascadeTag;
                memcpy(uid_cl + 1, want_uid + used, 3);
            } else {
                memcpy(uid_cl, want_uid + used, 4);
            }
            uid_cl[4] = static_cast<uint8_t>(uid_cl[0] ^ uid_cl[1] ^ uid_cl[2] ^ uid_cl[3]);
        } else if (!anticollide_level(kSel[level], uid_cl)) {
            return false;
        }
        uint8_t sak = 0;
        if (!select_level(kSel[level], uid_cl, &sak)) return false;
        if (sak & kSakCascade) {  // UID not complete: CT + 3 bytes
            if (uid_cl[0] != kCascadeTag || level == 2) return false;
            memcpy(t->uid + t->uid_len, uid_cl + 1, 3);
            t->uid_len = static_cast<uint8_t>(t->uid_len + 3);
            used += 3;
            continue;
        }
        memcpy(t->uid + t->uid_len, uid_cl, 4);
        t->uid_len = static_cast<uint8_t>(t->uid_len + 4);
        t->sak = sak;
        if (want_uid && (t->uid_len != want_len || memcmp(t->uid, want_uid, want_len) != 0)) return false;
        if ((sak & 0x20) && (params_ & 0x10)) {  // fAutomaticRATS: the chip fetches the ATS itself
            uint8_t rats[4] = {0xE0, 0x50};
            append_crc(rats, 2);
            AirReply a {};
            air_exchange(*board_, rats, 32, &a);
            size_t n = a.bits / 8;
            if (!a.collision && a.bits % 8 == 0 && crc_ok(a.data, n) && n - 2 <= sizeof(t->ats)) {
                memcpy(t->ats, a.data, n - 2);
                t->ats_len = static_cast<uint8_t>(n - 2);
            }
        }
        return true;
    }
    return false;
}

// HLTA to the card in the field that is selected; it does not answer.
void Pn532Chip::send_hlta() {
    uint8_t hlta[4] = {kHlta, 0x00};
    append_crc(hlta, 2);
    AirReply r {};
    air_exchange(*board_, hlta, 32, &r);
}

void Pn532Chip::halt_active() {
    if (active_tg_ == 0) return;
    send_hlta();
    active_tg_ = 0;
}

bool Pn532Chip::reselect(int tg) {
    if (tg < 1 || tg > n_targets_) return false;
    if (active_tg_ == tg) return true;
    halt_active();
    Target t {};
    const Target& want = targets_[tg - 1];
    if (!activate_a(true, want.uid, want.uid_len, &t)) return false;
    active_tg_ = tg;
    return true;
}

// ------------------------------------------------------------ commands

size_t Pn532Chip::put_target_a(uint8_t* p, int tg, const Target& t) {
    size_t i = 0;
    p[i++] = static_cast<uint8_t>(tg);
    // SENS_RES as the manual's examples show it: the second byte on air first.
    p[i++] = t.atqa[1];
    p[i++] = t.atqa[0];
    p[i++] = t.sak;
    p[i++] = t.uid_len;
    memcpy(p + i, t.uid, t.uid_len);
    i += t.uid_len;
    if (t.ats_len) {
        memcpy(p + i, t.ats, t.ats_len);  // the ATS starts with its own length byte
        i += t.ats_len;
    }
    return i;
}

void Pn532Chip::list_reply(Pn532Reply* out, int found) {
    reply_code(out, 0x4A);
    push(out, static_cast<uint8_t>(found));
    for (int k = 0; k < found; k++) out->len += put_target_a(out->data.data() + out->len, k + 1, targets_[k]);
}

bool Pn532Chip::try_list(Pn532Reply* out) {
    Lock lock(board_);
    halt_active();
    n_targets_ = 0;
    if (list_brty_ != 0) return false;  // no cards of the other modulations exist here
    rf_on_ = true;
    const uint8_t* want = list_uid_len_ ? list_uid_ : nullptr;
    if (!activate_a(true, want, list_uid_len_, &targets_[0])) return false;
    n_targets_ = 1;
    active_tg_ = 1;
    if (list_max_tg_ >= 2 && !want) {
        // The first card is halted so that only another one answers REQA.
        halt_active();
        if (activate_a(false, nullptr, 0, &targets_[1])) {
            n_targets_ = 2;
            active_tg_ = 2;
        }
    }
    list_reply(out, n_targets_);
    return true;
}

bool Pn532Chip::try_auto_poll(Pn532Reply* out) {
    Lock lock(board_);
    halt_active();
    n_targets_ = 0;
    rf_on_ = true;
    for (size_t k = 0; k < poll_ntypes_; k++) {
        uint8_t type = poll_types_[k];
        if (type != 0x00 && type != 0x10 && type != 0x20) continue;
        Target t {};
        if (!activate_a(true, nullptr, 0, &t)) continue;
        bool iso4 = (t.sak & 0x20) != 0;
        if (type == 0x20 && !iso4) {
            send_hlta();
            continue;
        }
        targets_[0] = t;
        n_targets_ = 1;
        active_tg_ = 1;
        reply_code(out, 0x60);
        push(out, 1);
        push(out, iso4 ? 0x20 : 0x10);
        uint8_t data[64];
        size_t n = put_target_a(data, 1, t);
        push(out, static_cast<uint8_t>(n));
        for (size_t i = 0; i < n; i++) push(out, data[i]);
        return true;
    }
    return false;
}

void Pn532Chip::cmd_diagnose(const uint8_t* c, size_t n, Pn532Reply* out) {
    reply_code(out, c[0]);
    uint8_t test = n > 1 ? c[1] : 0xFF;
    switch (test) {
    case 0x00:  // communication line: echo the test number and the payload
        for (size_t i = 1; i < n; i++) push(out, c[i]);
        break;
    case 0x01:  // ROM
    case 0x02:  // RAM
    case 0x07:  // antenna self test
        push(out, 0x00);
        break;
    case 0x06: {  // attention request: is the selected target still in the field?
        // Asked on air, not of the bookkeeping: a card taken away stays
        // "selected" here until something talks to it. The target is
        // halted and woken again by its UID, which leaves it selected when
        // it answers.
        Lock lock(board_);
        int tg = active_tg_;
        halt_active();
        push(out, tg && reselect(tg) ? 0x00 : kStTimeout);
        break;
    }
    default:
        syntax_error(out);
        break;
    }
}

Pn532Chip::Result Pn532Chip::cmd_in_list_passive(const uint8_t* c, size_t n, uint64_t now, Pn532Reply* out) {
    if (n < 3 || c[1] < 1 || c[1] > 2 || c[2] > 4) return syntax_error(out);
    list_max_tg_ = c[1];
    list_brty_ = c[2];
    list_uid_len_ = 0;
    if (list_brty_ == 0 && n > 3) {
        size_t ul = n - 3;
        if (ul != 4 && ul != 7 && ul != 10) return syntax_error(out);
        memcpy(list_uid_, c + 3, ul);
        list_uid_len_ = ul;
    }
    // MxRtyPassiveActivation: 0xFF retries until a card comes or the host
    // aborts; otherwise one attempt plus that many retries.
    list_forever_ = max_rty_[2] == 0xFF;
    list_tries_left_ = static_cast<uint32_t>(max_rty_[2]) + 1;
    if (try_list(out)) return Result::reply;
    list_tries_left_--;
    pending_ = Pending::list_passive;
    deadline_ns_ = now + kActivationAttemptNs;
    return Result::pending;
}

Pn532Chip::Result Pn532Chip::cmd_in_auto_poll(const uint8_t* c, size_t n, uint64_t now, Pn532Reply* out) {
    if (n < 4 || n - 3 > sizeof(poll_types_) || c[1] == 0 || c[2] < 1 || c[2] > 0x0F) return syntax_error(out);
    list_forever_ = c[1] == 0xFF;
    list_tries_left_ = c[1];
    poll_period_ns_ = static_cast<uint64_t>(c[2]) * 150'000'000ull;
    poll_ntypes_ = n - 3;
    memcpy(poll_types_, c + 3, poll_ntypes_);
    if (try_auto_poll(out)) return Result::reply;
    list_tries_left_--;
    pending_ = Pending::auto_poll;
    deadline_ns_ = now + poll_period_ns_;
    return Result::pending;
}

Pn532Chip::Result Pn532Chip::tick(uint64_t now, Pn532Reply* out) {
    switch (pending_) {
    case Pending::none:
        return Result::pending;
    case Pending::late_reply:
        *out = late_;
        pending_ = Pending::none;
        return Result::reply;
    case Pending::list_passive:
    case Pending::auto_poll: {
        bool list = pending_ == Pending::list_passive;
        if (!list_forever_ && list_tries_left_ == 0) {
            pending_ = Pending::none;
            if (list) {
                list_reply(out, 0);
            } else {
                reply_code(out, 0x60);
                push(out, 0);
            }
            return Result::reply;
        }
        if (list ? try_list(out) : try_auto_poll(out)) {
            pending_ = Pending::none;
            return Result::reply;
        }
        if (!list_forever_) list_tries_left_--;
        uint64_t step = list ? kActivationAttemptNs : poll_period_ns_;
        deadline_ns_ += step;
        if (deadline_ns_ < now) deadline_ns_ = now + step;  // the host kept us waiting
        return Result::pending;
    }
    }
    return Result::pending;
}

// A timed-out exchange is reported only once the host's receive time-out
// has passed, as the chip would.
Pn532Chip::Result Pn532Chip::answer_after_timeout(const Pn532Reply& reply, uint64_t now) {
    late_ = reply;
    pending_ = Pending::late_reply;
    deadline_ns_ = now + receive_timeout_ns();
    return Result::pending;
}

Pn532Chip::Result Pn532Chip::cmd_data_exchange(const uint8_t* c, size_t n, uint64_t now, Pn532Reply* out) {
    if (n < 3) return syntax_error(out);
    int tg = c[1] & 0x3F;
    const uint8_t* d = c + 2;
    size_t dl = n - 2;
    reply_code(out, c[0]);
    Lock lock(board_);
    if (tg < 1 || tg > n_targets_) {
        push(out, kStContext);
        return Result::reply;
    }
    uint8_t rx[64];
    size_t rl = 0;
    uint8_t rbits = 0;
    uint8_t st;
    if (!reselect(tg)) {
        st = kStTimeout;
    } else if ((d[0] == 0x60 || d[0] == 0x61) && dl == 12) {
        // MIFARE authentication: block, key, the UID's last four bytes. The
        // Crypto1 exchange is the chip's business, not the host's.
        st = card_authenticate(*board_, d[0], d[1], d + 2, d + 8) ? 0 : kStMifare;
    } else if (d[0] == 0xA0 && dl == 18) {
        // MIFARE WRITE: command and data are two frames, each acknowledged with 4 bits.
        st = transceive(d, 2, 0, true, false, rx, &rl, &rbits);
        if (st == 0 && !(rbits == 4 && (rx[0] & 0x0F) == 0x0A)) st = kStMifare;
        if (st == 0) st = transceive(d + 2, 16, 0, true, false, rx, &rl, &rbits);
        if (st == 0 && !(rbits == 4 && (rx[0] & 0x0F) == 0x0A)) st = kStMifare;
        rl = 0;
    } else {
        st = transceive(d, dl, 0, true, true, rx, &rl, &rbits);
        if (st == 0 && rbits == 4) {  // ACK/NAK of a MIFARE command
            st = (rx[0] & 0x0F) == 0x0A ? 0 : kStMifare;
            rl = 0;
        }
    }
    last_error_ = st;
    push(out, st);
    if (st == 0)
        for (size_t i = 0; i < rl; i++) push(out, rx[i]);
    if (st == kStTimeout && receive_timeout_ns() > 0) {
        return answer_after_timeout(*out, now);
    }
    return Result::reply;
}

Pn532Chip::Result Pn532Chip::cmd_communicate_thru(const uint8_t* c, size_t n, uint64_t now, Pn532Reply* out) {
    reply_code(out, c[0]);
    if (n < 2) {
        // Nothing to send: only listen, as for a tag that talks first.
        push(out, kStTimeout);
        return answer_after_timeout(*out, now);
    }
    Lock lock(board_);
    rf_on_ = true;
    uint8_t rx[64];
    size_t rl = 0;
    uint8_t rbits = 0;
    bool crc_tx = reg_[kCiuTxMode] & 0x80;
    bool crc_rx = reg_[kCiuRxMode] & 0x80;
    uint8_t st = transceive(c + 1, n - 1, reg_[kCiuBitFraming] & 0x07, crc_tx, crc_rx, rx, &rl, &rbits);
    // The host reads the valid bits of the last byte back from the CIU.
    reg_[kCiuControl] = static_cast<uint8_t>((reg_[kCiuControl] & ~0x07) | rbits);
    last_error_ = st;
    push(out, st);
    if (st == 0 || st == kStCollision)
        for (size_t i = 0; i < rl; i++) push(out, rx[i]);
    if (st == kStTimeout && receive_timeout_ns() > 0) {
        return answer_after_timeout(*out, now);
    }
    return Result::reply;
}

Pn532Chip::Result Pn532Chip::command(const uint8_t* c, size_t n, uint64_t now, Pn532Reply* out) {
    pending_ = Pending::none;  // a new command ends whatever ran
    out->error_frame = false;
    out->len = 0;
    if (n == 0) return syntax_error(out);
    uint8_t code = c[0];
    switch (code) {
    case 0x00:  // Diagnose
        cmd_diagnose(c, n, out);
        return Result::reply;
    case 0x02:  // GetFirmwareVersion: PN532, firmware 1.6, ISO 14443 A and B, ISO 18092
        reply_code(out, code);
        push(out, 0x32);
        push(out, 0x01);
        push(out, 0x06);
        push(out, 0x07);
        return Result::reply;
    case 0x04: {  // GetGeneralStatus
        reply_code(out, code);
        push(out, last_error_);
        push(out, 0x00);  // no external field
        push(out, static_cast<uint8_t>(n_targets_));
        for (int k = 0; k < n_targets_; k++) {
            push(out, static_cast<uint8_t>(k + 1));
            push(out, 0x00);  // 106 kbit/s both ways
            push(out, 0x00);
            push(out, 0x00);  // type A / MIFARE
        }
        push(out, 0x00);  // SAM status
        return Result::reply;
    }
    case 0x06:  // ReadRegister: list of 16-bit addresses
        if (n < 3 || (n - 1) % 2 != 0) return syntax_error(out);
        reply_code(out, code);
        for (size_t i = 1; i + 1 < n; i += 2) push(out, reg_[static_cast<uint16_t>((c[i] << 8) | c[i + 1])]);
        return Result::reply;
    case 0x08:  // WriteRegister: address, value triples
        if (n < 4 || (n - 1) % 3 != 0) return syntax_error(out);
        for (size_t i = 1; i + 2 < n; i += 3) reg_[static_cast<uint16_t>((c[i] << 8) | c[i + 1])] = c[i + 2];
        reply_code(out, code);
        return Result::reply;
    case 0x0C:  // ReadGPIO
        reply_code(out, code);
        push(out, gpio_p3_);
        push(out, gpio_p7_);
        push(out, 0x00);  // I0/I1: HSU
        return Result::reply;
    case 0x0E:  // WriteGPIO: bit 7 set = value valid
        if (n < 3) return syntax_error(out);
        if (c[1] & 0x80) gpio_p3_ = c[1] & 0x3F;
        if (c[2] & 0x80) gpio_p7_ = c[2] & 0x06;
        reply_code(out, code);
        return Result::reply;
    case 0x10:  // SetSerialBaudRate: meaningless on a pseudo-terminal
        if (n < 2 || c[1] > 0x08) return syntax_error(out);
        reply_code(out, code);
        return Result::reply;
    case 0x12:  // SetParameters
        if (n < 2) return syntax_error(out);
        params_ = c[1];
        reply_code(out, code);
        return Result::reply;
    case 0x14:  // SAMConfiguration
        if (n < 2 || c[1] < 1 || c[1] > 4) return syntax_error(out);
        sam_mode_ = c[1];
        reply_code(out, code);
        return Result::reply;
    case 0x16: {  // PowerDown: the field goes off, targets are lost
        if (n < 2) return syntax_error(out);
        Lock lock(board_);
        halt_active();
        air_field_off(*board_);
        n_targets_ = 0;
        rf_on_ = false;
        reply_code(out, code);
        push(out, 0x00);
        return Result::reply;
    }
    case 0x32: {  // RFConfiguration
        if (n < 3) return syntax_error(out);
        const uint8_t* d = c + 2;
        size_t dl = n - 2;
        switch (c[1]) {
        case 0x01:
            rf_on_ = d[0] & 0x01;  // bit 1 is the automatic RF collision avoidance
            reg_[kCiuTxControl] = static_cast<uint8_t>((reg_[kCiuTxControl] & ~0x03) | (rf_on_ ? 0x03 : 0x00));
            if (!rf_on_) {
                Lock lock(board_);
                air_field_off(*board_);
                active_tg_ = 0;
                n_targets_ = 0;
            }
            break;
        case 0x02:
            if (dl < 3) return syntax_error(out);
            memcpy(rf_timeouts_, d, 3);
            break;
        case 0x04:
            max_rty_com_ = d[0];
            break;
        case 0x05:
            if (dl < 3) return syntax_error(out);
            memcpy(max_rty_, d, 3);
            break;
        default:  // analog settings: accepted, no effect on the simulated air
            break;
        }
        reply_code(out, code);
        return Result::reply;
    }
    case 0x40:  // InDataExchange
        return cmd_data_exchange(c, n, now, out);
    case 0x42:  // InCommunicateThru
        return cmd_communicate_thru(c, n, now, out);
    case 0x44:    // InDeselect
    case 0x52: {  // InRelease
        if (n < 2) return syntax_error(out);
        int tg = c[1];
        reply_code(out, code);
        Lock lock(board_);
        if (tg != 0 && tg > n_targets_) {
            push(out, kStContext);
            return Result::reply;
        }
        if (tg == 0 || tg == active_tg_) halt_active();
        if (code == 0x52) {
            if (tg == 0 || n_targets_ == 1) {
                n_targets_ = 0;
            } else if (tg == 1) {
                targets_[0] = targets_[1];
                n_targets_ = 1;
                if (active_tg_ == 2) active_tg_ = 1;
            } else {
                n_targets_ = 1;
            }
        }
        push(out, 0x00);
        return Result::reply;
    }
    case 0x54: {  // InSelect
        if (n < 2) return syntax_error(out);
        reply_code(out, code);
        Lock lock(board_);
        int tg = c[1];
        push(out, tg < 1 || tg > n_targets_ ? kStContext : reselect(tg) ? 0x00 : kStTimeout);
        return Result::reply;
    }
    case 0x4A:  // InListPassiveTarget
        return cmd_in_list_passive(c, n, now, out);
    case 0x60:  // InAutoPoll
        return cmd_in_auto_poll(c, n, now, out);
    default:  // target mode and the DEP/PSL commands are not emulated
        return syntax_error(out);
    }
}

}  // namespace boatsim
