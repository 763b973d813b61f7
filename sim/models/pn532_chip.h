// The PN532 behind the emulated reader: the host-link frames of its HSU
// (serial) interface and the command set a host uses in initiator mode at
// 106 kbit/s type A, with the cards of the simulated board's field.
#pragma once

#include "board_state.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace boatsim {

constexpr uint8_t kTfiHost = 0xD4;
constexpr uint8_t kTfiChip = 0xD5;
constexpr size_t kMaxFrameData = 264;  // TFI + data of an extended frame

extern const uint8_t kPn532Ack[6];
extern const uint8_t kPn532Nack[6];
extern const uint8_t kPn532ErrorFrame[8];  // application-level (syntax) error

// Builds an information frame around TFI + data (normal frame, or extended
// frame when longer than 254 bytes). Returns the frame length.
size_t pn532_frame(uint8_t tfi, const uint8_t* data, size_t len, uint8_t* out, size_t cap);

// Splits the byte stream from the host into frames. Wake-up bytes (0x55),
// preamble zeros and garbage between frames are skipped; a frame with a bad
// length or data checksum is dropped and scanning resumes right after its
// start code, so a good frame hidden inside it is still found.
class Pn532Deframer {
public:
    enum class Kind { none, info, ack, nack };
    struct Event {
        Kind kind = Kind::none;
        uint8_t tfi = 0;
        const uint8_t* data = nullptr;  // after TFI; valid until the next feed/next
        size_t len = 0;
    };

    void feed(const uint8_t* p, size_t n);
    // Next complete event from what was fed; Kind::none when more bytes are needed.
    Event next();

    // A frame has begun but is not complete yet.
    bool partial() const { return len_ >= 2 && buf_[0] == 0x00 && buf_[1] == 0xFF; }
    // Gives up the frame begun: the rest of it never came, so its header
    // was noise. Scanning resumes after its start code.
    void resync() {
        if (partial()) {
            bad_frames_++;
            drop(2);
        }
    }

    // Counters for what was skipped, so the caller can react.
    uint64_t wakeups() const { return wakeups_; }
    uint64_t bad_frames() const { return bad_frames_; }

private:
    void drop(size_t n);
    std::array<uint8_t, 2048> buf_ {};
    size_t len_ = 0;
    std::array<uint8_t, kMaxFrameData> frame_ {};
    uint64_t wakeups_ = 0;
    uint64_t bad_frames_ = 0;
};

// One answer of the chip: a response frame's data (command code + 1 first),
// or the error frame.
struct Pn532Reply {
    bool error_frame = false;
    size_t len = 0;
    std::array<uint8_t, kMaxFrameData> data {};
};

// Time one passive activation attempt takes when no card answers; the chip
// makes 1 + MxRtyPassiveActivation of them (RFConfiguration item 5).
// The user manual gives no figure. An attempt is a request frame (~0.1 ms
// at 106 kbit/s), the wait for an answer that does not come and the
// firmware's work between attempts; 5 ms, the order of the power-up time
// ISO/IEC 14443-3 grants a card in a fresh field, keeps an empty-field poll
// in the milliseconds a real reader takes (15 ms with libnfc's finite
// select: one try, two retries) and far inside the 300 ms libnfc waits.
constexpr uint64_t kActivationAttemptNs = 5'000'000;

class Pn532Chip {
public:
    explicit Pn532Chip(BoardState* board);

    enum class Result { reply, pending };

    // Runs the command in `cmd` (command code first, TFI removed) at time
    // `now_ns`. Result::reply fills `out`; Result::pending means the chip is
    // still working until deadline_ns() (activation retries, receive time-outs).
    Result command(const uint8_t* cmd, size_t len, uint64_t now_ns, Pn532Reply* out);
    // 0 when nothing is pending.
    uint64_t deadline_ns() const { return pending_ != Pending::none ? deadline_ns_ : 0; }
    // Call at or after deadline_ns(); may answer or stay pending.
    Result tick(uint64_t now_ns, Pn532Reply* out);
    // The host aborted the running command (ACK from the host).
    void abort() { pending_ = Pending::none; }
    // Power-on state (the host reopened the line after a reset of the chip).
    void reset();

private:
    enum class Pending { none, list_passive, auto_poll, late_reply };
    struct Target {
        uint8_t uid[10];
        uint8_t uid_len;
        uint8_t atqa[2];  // as sent on air
        uint8_t sak;
        uint8_t ats[32];
        uint8_t ats_len;
    };

    // Passive type A activation through the air interface.
    bool activate_a(bool wake_halted, const uint8_t* want_uid, size_t want_len, Target* t);
    bool anticollide_level(uint8_t sel, uint8_t uid_cl[5]);
    bool select_level(uint8_t sel, const uint8_t uid_cl[5], uint8_t* sak);
    void halt_active();
    void send_hlta();
    bool reselect(int tg);
    // Sends bytes (+CRC_A when crc_tx) and receives; returns a PN532 status.
    uint8_t transceive(const uint8_t* tx, size_t len, uint8_t tx_last_bits, bool crc_tx, bool crc_rx,
                       uint8_t* rx, size_t* rx_len, uint8_t* rx_last_bits);

    // One activation pass of InListPassiveTarget / InAutoPoll; true when it answered.
    bool try_list(Pn532Reply* out);
    bool try_auto_poll(Pn532Reply* out);
    void list_reply(Pn532Reply* out, int found);
    size_t put_target_a(uint8_t* p, int tg, const Target& t);

    uint64_t receive_timeout_ns() const;
    Result answer_after_timeout(const Pn532Reply& reply, uint64_t now);

    void cmd_diagnose(const uint8_t* c, size_t n, Pn532Reply* out);
    Result cmd_in_list_passive(const uint8_t* c, size_t n, uint64_t now, Pn532Reply* out);
    Result cmd_in_auto_poll(const uint8_t* c, size_t n, uint64_t now, Pn532Reply* out);
    Result cmd_data_exchange(const uint8_t* c, size_t n, uint64_t now, Pn532Reply* out);
    Result cmd_communicate_thru(const uint8_t* c, size_t n, uint64_t now, Pn532Reply* out);

    BoardState* board_;
    std::array<uint8_t, 65536> reg_ {};  // XRAM/SFR space seen through Read/WriteRegister
    uint8_t sam_mode_ = 1;
    uint8_t params_ = 0;
    bool rf_on_ = false;
    uint8_t rf_timeouts_[3] = {0x00, 0x0B, 0x0A};  // RFU, ATR_RES, non-DEP receive
    uint8_t max_rty_com_ = 0;
    uint8_t max_rty_[3] = {0xFF, 0x01, 0xFF};  // ATR, PSL, passive activation
    uint8_t gpio_p3_ = 0xFF, gpio_p7_ = 0xFF;
    uint8_t last_error_ = 0;

    Target targets_[2] {};
    int n_targets_ = 0;
    int active_tg_ = 0;  // 1-based; 0 none selected

    Pending pending_ = Pending::none;
    uint64_t deadline_ns_ = 0;
    // InListPassiveTarget / InAutoPoll in progress
    uint8_t list_max_tg_ = 1;
    uint8_t list_brty_ = 0;
    uint8_t list_uid_[10] {};
    size_t list_uid_len_ = 0;
    bool list_forever_ = false;
    uint32_t list_tries_left_ = 0;
    uint8_t poll_types_[15] {};
    size_t poll_ntypes_ = 0;
    uint64_t poll_period_ns_ = 0;
    Pn532Reply late_ {};
};

}  // namespace boatsim
