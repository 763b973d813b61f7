// MIFARE Classic 1K cards in the simulated RF field, after ISO/IEC 14443-3
// type A and the MIFARE Classic data sheet.
//
// Covered: the card states IDLE, READY, ACTIVE, HALT and READY*/ACTIVE*;
// REQA/WUPA short frames; bit-oriented anticollision (any NVB) and SELECT
// of cascade levels 1-3 with CT for 7- and 10-byte UIDs, BCC and CRC_A
// checked; SAK with the cascade bit while the UID is incomplete; HLTA;
// authentication (through card_authenticate, without Crypto1 on air);
// READ and the two-step WRITE with ACK/NAK, under the sector's access
// conditions; superposed answers of several cards with real collisions.
//
// Left out: Crypto1 on air (an AUTH frame sent over air goes unanswered),
// the value block commands (INCREMENT, DECREMENT, RESTORE, TRANSFER),
// parity bits (only a parity error is reported, see AirReply), and timing.
// Frames with a wrong CRC_A or of a wrong shape are transmission errors:
// never answered, and the card falls back to IDLE (HALT when woken by
// WUPA), as the standard's state machine says.
//
// The card faults of the board (faults.h) hold for every card in the
// field: answers with a wrong BCC, a parity error or a wrong CRC_A, and
// SELECT frames the cards never answer.
//
// UIDs are taken as given, also those ISO/IEC 14443-3 forbids (see
// uid_forbidden): UID-writable cards with such UIDs exist.
#include "air.h"
#include "faults.h"
#include "field.h"

#include <cstring>

namespace boatsim {

namespace {

constexpr uint8_t kMfAuthA = 0x60;
constexpr uint8_t kMfAuthB = 0x61;
constexpr uint8_t kMfRead = 0x30;
constexpr uint8_t kMfWrite = 0xA0;
constexpr uint8_t kAck = 0x0A;
constexpr uint8_t kNakInvalid = 0x04;  // operation not allowed
constexpr uint8_t kNone = 0xFF;

constexpr uint8_t kTransportAccess[4] = {0xFF, 0x07, 0x80, 0x69};

struct Answer {
    uint8_t data[20];
    uint16_t bits;
    bool anticollision;  // the rest of a cascade level: its last 8 bits are the BCC
    bool crc;            // ends in CRC_A
};

// The board's card faults, as they stand for one frame.
struct CardFaults {
    bool bad_bcc, parity, bad_crc, no_select;
};

CardState state_of(const Card& c) { return static_cast<CardState>(c.state); }

bool woken(const Card& c) {
    CardState st = state_of(c);
    return st == CardState::ready_star || st == CardState::active_star;
}

void forget_session(Card& c) {
    c.level = 0;
    c.auth_sector = kNone;
    c.auth_key = 0;
    c.write_block = kNone;
}

// A transmission error or an unexpected command.
void drop_out(Card& c) {
    c.state = static_cast<uint8_t>(woken(c) ? CardState::halt : CardState::idle);
    forget_session(c);
}

int cascade_levels(const Card& c) { return c.uid_len == 4 ? 1 : c.uid_len == 7 ? 2 : 3; }

// UID CLn of one cascade level: 4 bytes, then BCC.
void cascade_bytes(const Card& c, int level, uint8_t out[5]) {
    const bool last = level == cascade_levels(c) - 1;
    if (last) {
        memcpy(out, c.uid + 3 * level, 4);
    } else {
        out[0] = kCascadeTag;
        memcpy(out + 1, c.uid + 3 * level, 3);
    }
    out[4] = static_cast<uint8_t>(out[0] ^ out[1] ^ out[2] ^ out[3]);
}

int sel_level(uint8_t sel) { return sel == kSelCl1 ? 0 : sel == kSelCl2 ? 1 : sel == kSelCl3 ? 2 : -1; }

bool crc_ok(const uint8_t* f, size_t len) {
    if (len < 3) return false;
    uint16_t crc = crc_a(f, len - 2);
    return f[len - 2] == (crc & 0xFF) && f[len - 1] == (crc >> 8);
}

bool bit_at(const uint8_t* p, int i) { return (p[i / 8] >> (i % 8)) & 1; }

void set_bit(uint8_t* p, int i, bool v) {
    if (v)
        p[i / 8] = static_cast<uint8_t>(p[i / 8] | (1u << (i % 8)));
    else
        p[i / 8] = static_cast<uint8_t>(p[i / 8] & ~(1u << (i % 8)));
}

void answer_bytes(Answer& a, const uint8_t* p, size_t n) {
    memcpy(a.data, p, n);
    a.bits = static_cast<uint16_t>(n * 8);
}

void answer_with_crc(Answer& a, const uint8_t* p, size_t n) {
    memcpy(a.data, p, n);
    uint16_t crc = crc_a(p, n);
    a.data[n] = static_cast<uint8_t>(crc & 0xFF);
    a.data[n + 1] = static_cast<uint8_t>(crc >> 8);
    a.bits = static_cast<uint16_t>((n + 2) * 8);
    a.crc = true;
}

void flip_bit(uint8_t* p, int i) { p[i / 8] = static_cast<uint8_t>(p[i / 8] ^ (1u << (i % 8))); }

// What the faults do to an answer on its way; the card itself still knows
// its BCC and CRC_A. True when a byte arrives with a wrong parity bit.
bool spoil(const CardFaults& f, Answer& a) {
    if (f.bad_bcc && a.anticollision)
        for (int i = a.bits > 8 ? a.bits - 8 : 0; i < a.bits; i++) flip_bit(a.data, i);
    if (f.bad_crc && a.crc)
        for (int i = a.bits - 16; i < a.bits; i++) flip_bit(a.data, i);
    // One bit changed on air, so its byte's parity bit no longer fits; the
    // 4-bit ACK and NAK carry no parity.
    if (f.parity && a.bits >= 8) {
        flip_bit(a.data, 0);
        return true;
    }
    return false;
}

void answer_nibble(Answer& a, uint8_t v) {
    a.data[0] = v;
    a.bits = 4;
}

// --- Access conditions of the sector trailer ---------------------------

bool is_trailer(uint8_t block) { return block % 4 == 3; }

// Access bits C1 C2 C3 of block `b` (0-3) of the sector; false when the
// stored bits and their inverted copy disagree (the sector is blocked).
bool access_bits(const Card& c, uint8_t block, uint8_t* c123) {
    const uint8_t* t = c.blocks[block | 3];
    const int b = block % 4;
    const int c1 = (t[7] >> (4 + b)) & 1, c2 = (t[8] >> b) & 1, c3 = (t[8] >> (4 + b)) & 1;
    const int n1 = (t[6] >> b) & 1, n2 = (t[6] >> (4 + b)) & 1, n3 = (t[7] >> b) & 1;
    if (c1 == n1 || c2 == n2 || c3 == n3) return false;
    *c123 = static_cast<uint8_t>(c1 << 2 | c2 << 1 | c3);
    return true;
}

// Who may do something: bit 0 key A, bit 1 key B.
constexpr uint8_t A = 1, B = 2, AB = 3, NEVER = 0;

// Data blocks, indexed by C1C2C3: read, write.
constexpr uint8_t kDataRead[8] = {AB, AB, AB, B, AB, B, AB, NEVER};
constexpr uint8_t kDataWrite[8] = {AB, NEVER, NEVER, B, B, NEVER, B, NEVER};
// Sector trailer, indexed by C1C2C3.
constexpr uint8_t kKeyAWrite[8] = {A, A, NEVER, B, B, NEVER, NEVER, NEVER};
constexpr uint8_t kAccessRead[8] = {A, A, A, AB, AB, AB, AB, AB};
constexpr uint8_t kAccessWrite[8] = {NEVER, A, NEVER, B, NEVER, B, NEVER, NEVER};
constexpr uint8_t kKeyBRead[8] = {A, A, A, NEVER, NEVER, NEVER, NEVER, NEVER};
constexpr uint8_t kKeyBWrite[8] = {A, A, NEVER, B, B, NEVER, NEVER, NEVER};

// Key B that can be read cannot serve as a key: the data sheet's rule for
// the conditions where the trailer shows key B.
bool key_b_readable(const Card& c, uint8_t block) {
    uint8_t t = 0;
    return access_bits(c, static_cast<uint8_t>(block | 3), &t) && (kKeyBRead[t] & A);
}

bool allowed(const Card& c, uint8_t block, uint8_t who) {
    const uint8_t key = c.auth_key == kMfAuthB ? B : A;
    if (key == B && key_b_readable(c, block)) return false;
    return (who & key) != 0;
}

bool may_read(const Card& c, uint8_t block) {
    uint8_t t = 0;
    if (!access_bits(c, block, &t)) return false;
    return is_trailer(block) ? true : allowed(c, block, kDataRead[t]);
}

bool may_write(const Card& c, uint8_t block) {
    uint8_t t = 0;
    if (block == 0 || !access_bits(c, block, &t)) return false;  // block 0 is the manufacturer's
    if (!is_trailer(block)) return allowed(c, block, kDataWrite[t]);
    return allowed(c, block, kKeyAWrite[t]) || allowed(c, block, kAccessWrite[t]) || allowed(c, block, kKeyBWrite[t]);
}

// What a READ of the trailer shows: key A never, the rest as permitted.
void read_trailer(const Card& c, uint8_t block, uint8_t out[16]) {
    memset(out, 0, 16);
    uint8_t t = 0;
    if (!access_bits(c, block, &t)) return;
    if (allowed(c, block, kAccessRead[t])) memcpy(out + 6, c.blocks[block] + 6, 4);
    if (allowed(c, block, kKeyBRead[t])) memcpy(out + 10, c.blocks[block] + 10, 6);
}

void write_trailer(Card& c, uint8_t block, const uint8_t in[16]) {
    uint8_t t = 0;
    if (!access_bits(c, block, &t)) return;
    // Decide every part under the old conditions before changing any.
    const bool key_a = allowed(c, block, kKeyAWrite[t]);
    const bool access = allowed(c, block, kAccessWrite[t]);
    const bool key_b = allowed(c, block, kKeyBWrite[t]);
    if (key_a) memcpy(c.blocks[block], in, 6);
    if (access) memcpy(c.blocks[block] + 6, in + 6, 4);
    if (key_b) memcpy(c.blocks[block] + 10, in + 10, 6);
}

uint8_t sector_of(uint8_t block) { return static_cast<uint8_t>(block / 4); }

// --- One card's reaction to one frame -----------------------------------

// Anticollision or SELECT frame of the card's current cascade level.
bool on_select(Card& c, const uint8_t* tx, uint16_t bits, Answer& a, const CardFaults& f) {
    const int level = sel_level(tx[0]);
    const uint8_t nvb = tx[1];
    uint8_t cl[5];
    if (level >= 0 && level < cascade_levels(c)) cascade_bytes(c, level, cl);

    if (nvb == kNvbSelect) {
        // A card that never takes a SELECT behaves as if it had not
        // received it whole.
        if (bits != 72 || !crc_ok(tx, 9) || f.no_select) {
            drop_out(c);
            return false;
        }
        if (level != c.level || memcmp(tx + 2, cl, 5) != 0) return false;  // another card's
        uint8_t sak;
        if (c.level + 1 < cascade_levels(c)) {
            c.level++;
            sak = static_cast<uint8_t>(c.sak | kSakCascade);
        } else {
            c.state = static_cast<uint8_t>(woken(c) ? CardState::active_star : CardState::active);
            sak = static_cast<uint8_t>(c.sak & ~kSakCascade);
        }
        answer_with_crc(a, &sak, 1);
        return true;
    }

    // Anticollision: NVB counts the bits sent, SEL and NVB included.
    const int bytes = nvb >> 4, extra = nvb & 0x0F;
    const int sent = bytes * 8 + extra;
    if (bytes < 2 || extra > 7 || sent != bits || sent - 16 >= 40) {
        drop_out(c);
        return false;
    }
    const int known = sent - 16;
    if (level != c.level) return false;
    for (int i = 0; i < known; i++)
        if (bit_at(tx + 2, i) != bit_at(cl, i)) return false;  // not this card's UID: it keeps silent
    memset(a.data, 0, sizeof a.data);
    for (int i = known; i < 40; i++) set_bit(a.data, i - known, bit_at(cl, i));
    a.bits = static_cast<uint16_t>(40 - known);
    a.anticollision = true;
    return true;
}

bool on_active(Card& c, const uint8_t* tx, uint16_t bits, Answer& a) {
    if (bits % 8 != 0) {
        drop_out(c);
        return false;
    }
    const size_t len = bits / 8;

    if (c.write_block != kNone) {  // second step of a WRITE: the data
        const uint8_t block = c.write_block;
        c.write_block = kNone;
        if (len != 18 || !crc_ok(tx, 18)) {
            drop_out(c);
            return false;
        }
        if (is_trailer(block))
            write_trailer(c, block, tx);
        else
            memcpy(c.blocks[block], tx, 16);
        answer_nibble(a, kAck);
        return true;
    }

    if (len != 4 || !crc_ok(tx, 4)) {
        drop_out(c);
        return false;
    }
    const uint8_t cmd = tx[0], block = tx[1];
    if (cmd == kHlta && block == 0x00) {
        c.state = static_cast<uint8_t>(CardState::halt);
        forget_session(c);
        return false;
    }
    if (cmd == kMfAuthA || cmd == kMfAuthB) return false;  // needs Crypto1: see card_authenticate
    if (cmd != kMfRead && cmd != kMfWrite) {
        drop_out(c);
        return false;
    }
    const bool ok = block < 64 && c.auth_sector == sector_of(block) &&
                    (cmd == kMfRead ? may_read(c, block) : may_write(c, block));
    if (!ok) {
        // The card answers NAK and leaves the authenticated state.
        answer_nibble(a, kNakInvalid);
        drop_out(c);
        return true;
    }
    if (cmd == kMfRead) {
        uint8_t data[16];
        if (is_trailer(block))
            read_trailer(c, block, data);
        else
            memcpy(data, c.blocks[block], 16);
        answer_with_crc(a, data, 16);
    } else {
        c.write_block = block;
        answer_nibble(a, kAck);
    }
    return true;
}

// True when the card answers; the answer is in `a`.
bool card_frame(Card& c, const uint8_t* tx, uint16_t bits, Answer& a, const CardFaults& f) {
    const CardState st = state_of(c);
    if (bits == 7) {
        const uint8_t cmd = tx[0] & 0x7F;
        const bool wake = (cmd == kReqa && st == CardState::idle) ||
                          (cmd == kWupa && (st == CardState::idle || st == CardState::halt));
        if (wake) {
            c.state = static_cast<uint8_t>(st == CardState::halt ? CardState::ready_star : CardState::ready);
            forget_session(c);
            answer_bytes(a, c.atqa, 2);
            return true;
        }
        if (st != CardState::idle && st != CardState::halt) drop_out(c);
        return false;
    }
    switch (st) {
    case CardState::idle:
    case CardState::halt:
        return false;  // only REQA/WUPA wake them
    case CardState::ready:
    case CardState::ready_star:
        if (bits >= 16 && sel_level(tx[0]) >= 0) return on_select(c, tx, bits, a, f);
        drop_out(c);
        return false;
    case CardState::active:
    case CardState::active_star:
        return on_active(c, tx, bits, a);
    }
    return false;
}

void default_content(Card& c) {
    memset(c.blocks, 0, sizeof c.blocks);
    uint8_t* b0 = c.blocks[0];
    if (c.uid_len == 4) {
        memcpy(b0, c.uid, 4);
        b0[4] = static_cast<uint8_t>(c.uid[0] ^ c.uid[1] ^ c.uid[2] ^ c.uid[3]);
        b0[5] = c.sak;
        b0[6] = c.atqa[0];
        b0[7] = c.atqa[1];
    } else {
        memcpy(b0, c.uid, c.uid_len);
        b0[c.uid_len] = c.sak;
        b0[c.uid_len + 1] = c.atqa[0];
        b0[c.uid_len + 2] = c.atqa[1];
    }
    for (int i = c.uid_len == 4 ? 8 : c.uid_len + 3; i < 16; i++) b0[i] = static_cast<uint8_t>(0x60 + i);  // manufacturer data
    for (int t = 3; t < 64; t += 4) {
        memset(c.blocks[t], 0xFF, 6);
        memcpy(c.blocks[t] + 6, kTransportAccess, 4);
        memset(c.blocks[t] + 10, 0xFF, 6);
    }
}

bool same_uid(const Card& c, const uint8_t* uid, uint8_t len) {
    return c.uid_len == len && memcmp(c.uid, uid, len) == 0;
}

}  // namespace

uint16_t crc_a(const uint8_t* data, size_t len, uint16_t preset) {
    uint16_t crc = preset;
    for (size_t i = 0; i < len; i++) {
        uint8_t b = static_cast<uint8_t>(data[i] ^ (crc & 0xFF));
        b = static_cast<uint8_t>(b ^ (b << 4));
        crc = static_cast<uint16_t>((crc >> 8) ^ (b << 8) ^ (b << 3) ^ (b >> 4));
    }
    return crc;
}

void air_exchange(BoardState& s, const uint8_t* tx, uint16_t tx_bits, AirReply* out) {
    memset(out, 0, sizeof *out);
    if (tx_bits == 0) return;
    const CardFaults f{fault_active(s, Fault::card_bad_bcc), fault_active(s, Fault::card_parity),
                       fault_active(s, Fault::card_bad_crc), fault_active(s, Fault::card_no_select)};
    // A bit collides when some card sends 0 and another 1 in it.
    uint8_t zeros[sizeof out->data] = {};
    for (Card& c : s.cards) {
        if (!c.in_field) continue;
        Answer a {};
        if (!card_frame(c, tx, tx_bits, a, f) || a.bits == 0) continue;
        if (spoil(f, a)) out->parity_error = true;
        for (int i = 0; i < a.bits; i++) set_bit(bit_at(a.data, i) ? out->data : zeros, i, true);
        if (a.bits > out->bits) out->bits = a.bits;
    }
    for (int i = 0; i < out->bits; i++) {
        if (bit_at(out->data, i) && bit_at(zeros, i)) {
            out->collision = true;
            out->coll_pos = static_cast<uint16_t>(i + 1);
            break;
        }
    }
}

void air_field_off(BoardState& s) {
    for (Card& c : s.cards) {
        if (!c.in_field) continue;
        c.state = static_cast<uint8_t>(CardState::idle);
        forget_session(c);
    }
}

bool card_authenticate(BoardState& s, uint8_t cmd, uint8_t block, const uint8_t key[6], const uint8_t uid4[4]) {
    bool ok = false;
    for (Card& c : s.cards) {
        if (!c.in_field) continue;
        const CardState st = state_of(c);
        if (st != CardState::active && st != CardState::active_star) continue;
        c.write_block = kNone;
        // A wrong key or UID leaves reader and card with different Crypto1
        // states: the card drops out of the protocol.
        const uint8_t* trailer = c.blocks[(block | 3) & 63];
        const uint8_t* stored = cmd == kMfAuthA ? trailer : trailer + 10;
        if ((cmd != kMfAuthA && cmd != kMfAuthB) || block >= 64 || memcmp(c.uid + c.uid_len - 4, uid4, 4) != 0 ||
            memcmp(stored, key, 6) != 0) {
            drop_out(c);
            continue;
        }
        c.auth_sector = sector_of(block);
        c.auth_key = cmd;
        ok = true;
    }
    return ok;
}

int card_put(BoardState& s, const uint8_t* uid, uint8_t uid_len, const uint8_t* atqa, int sak) {
    if (!uid || (uid_len != 4 && uid_len != 7 && uid_len != 10) || sak > 0xFF) return -1;
    Lock lock(&s);
    for (const Card& c : s.cards)
        if (c.in_field && same_uid(c, uid, uid_len)) return -1;
    // A card that was here before keeps its memory; otherwise prefer a slot
    // never used, so other cards' memory survives as long as possible.
    int slot = -1;
    for (int i = 0; i < kMaxCards && slot < 0; i++)
        if (!s.cards[i].in_field && same_uid(s.cards[i], uid, uid_len)) slot = i;
    const bool returning = slot >= 0;
    for (int i = 0; i < kMaxCards && slot < 0; i++)
        if (!s.cards[i].in_field && s.cards[i].uid_len == 0) slot = i;
    for (int i = 0; i < kMaxCards && slot < 0; i++)
        if (!s.cards[i].in_field) slot = i;
    if (slot < 0) return -1;

    Card& c = s.cards[slot];
    static const uint8_t kDefaultAtqa[3][2] = {{0x04, 0x00}, {0x44, 0x00}, {0x84, 0x00}};
    const int size_class = uid_len == 4 ? 0 : uid_len == 7 ? 1 : 2;
    if (!returning) {
        memset(&c, 0, sizeof c);
        c.uid_len = uid_len;
        memcpy(c.uid, uid, uid_len);
    }
    memcpy(c.atqa, atqa ? atqa : kDefaultAtqa[size_class], 2);
    c.sak = static_cast<uint8_t>(sak >= 0 ? sak : (uid_len == 4 ? 0x08 : 0x00));
    if (!returning) default_content(c);
    c.state = static_cast<uint8_t>(CardState::idle);
    forget_session(c);
    c.in_field = 1;
    return slot;
}

// The first UID byte of a cascade level must not be the cascade tag:
// bytes 0, 3 of a 7-byte UID (level 2) and 6 of a 10-byte one (level 3).
bool uid_forbidden(const Card& c) {
    return (c.uid_len == 4 && c.uid[0] == kCascadeTag) || (c.uid_len == 7 && c.uid[3] == kCascadeTag) ||
           (c.uid_len == 10 && c.uid[6] == kCascadeTag);
}

bool card_take(BoardState& s, const uint8_t* uid, uint8_t uid_len) {
    if (!uid) return false;
    Lock lock(&s);
    for (Card& c : s.cards) {
        if (c.in_field && same_uid(c, uid, uid_len)) {
            c.in_field = 0;
            c.state = static_cast<uint8_t>(CardState::idle);
            forget_session(c);
            return true;
        }
    }
    return false;
}

void card_take_all(BoardState& s) {
    Lock lock(&s);
    for (Card& c : s.cards) {
        if (!c.in_field) continue;
        c.in_field = 0;
        c.state = static_cast<uint8_t>(CardState::idle);
        forget_session(c);
    }
}

}  // namespace boatsim
