// The simulated board's state: one fixed-layout record in a file that every
// process maps shared, so a program, the control tool and the tests see and
// change the same board live. The layout is plain data; a process-shared,
// robust mutex guards it.
#pragma once

#include <pthread.h>
#include <cstdint>
#include <string>

namespace boatsim {

constexpr uint32_t kStateMagic = 0x54414f42;  // "BOAT"
constexpr uint32_t kStateVersion = 2;

// Used when BOATSIM_STATE is not set.
constexpr const char* kDefaultStatePath = "/tmp/boatsim/board.state";

enum class Profile : uint8_t { none = 0, checkin = 1, tracker = 2, tagreader = 3 };

constexpr int kGpioCount = 54;
constexpr int kEventCapacity = 4096;
constexpr int kMaxCards = 8;
constexpr int kAdcChannels = 8;
constexpr uint8_t kNoPin = 255;

struct GpioPin {
    uint8_t fsel;   // BCM2835_GPIO_FSEL_* value
    uint8_t level;  // 0 or 1
};

// One bcm2835_gpio_write/set/clr call, in call order.
struct GpioEvent {
    uint64_t seq;   // 1, 2, 3 ... over the life of the state file
    uint64_t t_ns;  // CLOCK_MONOTONIC
    uint8_t pin;
    uint8_t level;
};

struct SpiState {
    uint8_t begun;
    uint8_t bit_order;  // BCM2835_SPI_BIT_ORDER_*
    uint8_t mode;       // BCM2835_SPI_MODE*
    uint8_t cs;         // BCM2835_SPI_CS*
    uint8_t cs_polarity;
    uint16_t divider;
    uint64_t transfers;  // one per transfern/transfernb call
    uint64_t bytes;
};

// ISO/IEC 14443-3 type A card states; the starred states are entered
// from HALT through WUPA.
enum class CardState : uint8_t { idle = 0, ready, active, halt, ready_star, active_star };

// MIFARE Classic 1K card in (or out of) the RF field.
struct Card {
    uint8_t in_field;   // slot in use: the card is in the field
    uint8_t uid_len;    // 4, 7 or 10
    uint8_t uid[10];
    uint8_t atqa[2];    // in the order the card sends them
    uint8_t sak;        // final SAK; the cascade bit is added while incomplete
    uint8_t state;      // CardState
    uint8_t level;      // cascade levels selected so far (card model's use)
    uint8_t auth_sector;  // sector authenticated, 0xFF none (card model's use)
    uint8_t write_block;  // block awaiting the data of a WRITE, 0xFF none
    uint8_t auth_key;     // 0x60 key A, 0x61 key B: key of the authentication (card model's use)
    uint8_t pad[3];
    uint8_t blocks[64][16];
};

// MFRC522 chip registers and FIFO. Owned by the chip model; in the shared
// record because the chip, like a real one, outlives the program using it.
struct Mfrc522 {
    uint8_t reg[64];
    uint8_t fifo[64];
    uint8_t fifo_len;
    uint8_t fifo_read;
    uint8_t crc_busy;     // register accesses until a running CalcCRC shows its result
    uint8_t pad[3];
    uint16_t crc_result;  // that result, until then
    uint64_t timer_deadline_ns;  // 0: timer not running
    uint64_t reserved[8];
};

struct BoardState {
    uint32_t magic;
    uint32_t version;
    uint32_t size;  // sizeof(BoardState) of the writer
    Profile profile;
    uint8_t signal_pin;  // kNoPin: the profile has none configured
    uint8_t pad[2];
    pthread_mutex_t lock;
    uint32_t faults;  // one bit per boatsim::Fault; see faults.h
    uint32_t pad2;

    GpioPin gpio[kGpioCount];
    uint64_t signal_pulses;  // rising edges written on signal_pin
    uint64_t event_seq;      // sequence number of the last event
    GpioEvent events[kEventCapacity];  // ring: event seq s is at (s-1) % capacity

    SpiState spi;
    Card cards[kMaxCards];
    Mfrc522 rc522;
    uint16_t adc[kAdcChannels];  // 10-bit converter inputs
};

// Maps the state file at `path` (shared, read-write). Returns nullptr and
// sets *err when it is missing, too short or not a board state.
BoardState* map_state(const char* path, std::string* err);

// Creates (or resets) the state file at `path` for `profile`, then maps it.
BoardState* create_state(const char* path, Profile profile, std::string* err);

void unmap_state(BoardState* s);

// Path from BOATSIM_STATE, else kDefaultStatePath.
const char* state_path_from_env();

const char* profile_name(Profile p);
Profile profile_from_name(const char* name);  // Profile::none when unknown

uint64_t monotonic_ns();

// Holds the board's mutex; recovers it when its last holder died.
class Lock {
public:
    explicit Lock(BoardState* s);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    BoardState* s_;
};

}  // namespace boatsim
