// The check-in exchange shared by boat_checkin and boat_tracker: one HTTP
// GET per check-in, the answer buffer, the session times and the outputs
// each answer drives. What differs between the terminals (messages around
// the transfer, serial text case, periodic threshold) comes from *Terminal,
// so a tracker sets `Terminal = &kTrackerTerminal;` before anything else.
//
// Link the library `terminal` (it brings terminal_hw and libcurl).
// Call checkin_buffers_init() once at start-up, before read_boat_id().
#pragma once

#include "request.h"
#include "terminal.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <limits>

constexpr size_t kInBuffSize = 512;   // answer text, always NUL-terminated
constexpr size_t kLastRFIDSize = 64;  // serial text of the last card

// Program-wide check-in globals.
extern char* InBuff;
extern int InBuffPointer;  // bytes of the current answer collected so far
extern int Days;
extern int Seconds;
extern time_t StartTime;      // wall clock at the last grant, for the messages
extern time_t EndTime;        // StartTime + Seconds, or the last time_t can hold
extern time_t StartMonotonic; // terminal_monotonic() at the last grant

// Loop state the exchange reads and changes; the main loops own its meaning.
extern int Active;        // 1 while a granted session runs
extern int LastCheckin;   // idle count towards the periodic check-in
extern char* LastRFID;    // kLastRFIDSize bytes
extern char* Buff;        // kBuffSize bytes
extern const char* URL;   // base URL, terminal_settings' by default
extern int BoatID;

// With a check-in interval (CHECKIN_INTERVAL=) the periodic check-in comes
// once that much time has passed since the last check-in attempt, on
// terminal_clock_ns, and each request says which kind of check-in it is.
// 0: the loop's count decides (Terminal->periodic_after), and the requests
// are as without the setting.
extern int64_t CheckinIntervalNs;
extern int64_t LastCheckinNs;  // terminal_clock_ns() at the last check-in attempt

// Clocks and sleep of everything in the terminals. Tests replace them to
// drive sessions and pauses without waiting; programs leave them alone.
// terminal_time is the wall clock of the messages; sessions are timed on
// terminal_monotonic (seconds since boot, which no clock step moves);
// terminal_usleep is terminal_pause, cut short by a stop signal.
extern time_t (*terminal_time)(time_t*);
extern time_t (*terminal_monotonic)();
extern int (*terminal_usleep)(useconds_t);

// The default of terminal_monotonic: CLOCK_BOOTTIME in whole seconds.
time_t monotonic_seconds();

// Allocates LastRFID, Buff and InBuff once, each holding the empty text.
void checkin_buffers_init();

// Reads the boat number from `path` (boatid.txt in the working directory):
// its first bytes into Buff, scanned with "%d". 0 when missing or not a
// number.
int read_boat_id(const char* path = "boatid.txt");

// Start-up common to both terminals: buffers, boat number from boatid.txt
// ("I Am Boat %d"), the check-in interval of the settings counted from now,
// the client certificate and key, then HW_init at 5 MHz with `gpio` as
// signal pin. 0 when the hardware is ready; 1 when a client file cannot be
// read (before the board is touched) or HW_init failed.
uint8_t terminal_startup(uint8_t gpio);

// Reads the settings' client certificate and key (none when empty) for
// every later exchange; a file that cannot be read is reported on stderr
// and to syslog (daemon, error): 1 then, else 0.
int client_credentials_startup();

// Serial text of a UID: two hex digits per byte in Terminal's case,
// NUL-terminated; cut to fit `size`.
void format_serial(const uint8_t* sn, uint8_t sn_len, char* out, size_t size);

// libcurl write function: appends the chunk to InBuff, keeping the first
// kInBuffSize - 1 bytes of the whole body. Always takes the whole chunk.
size_t write_callback(char* ptr, size_t size, size_t nmemb, void* userdata);

// What an answer text is. Leading white space and UTF-8 byte-order marks
// are skipped; then "KILL..." is a kill and "BAD..." a refusal. A grant is
// two characters of any kind followed by either only white space (no
// numbers: the last Days and Seconds stay) or exactly days and seconds as
// "%d %d" scans them: each an optional sign and digits within int's range,
// separated by white space, with nothing but white space after. Anything
// else is no answer, and the exchange has failed.
enum class AnswerKind { kill, bad, grant, invalid };
struct Answer {
    AnswerKind kind;
    bool numbers;  // a grant carrying days and seconds
    int days;
    int seconds;
};
Answer classify_answer(const char* text);

// start + seconds, or the nearest value T can hold: a grant that would
// reach past the end of time_t (2038 where it has 32 bits) runs until then
// rather than wrapping round to a session that has already ended.
template <typename T>
constexpr T session_end(T start, int seconds) {
    static_assert(std::numeric_limits<T>::is_signed && sizeof(T) >= sizeof(int), "a signed time type");
    if (seconds > 0 && start > std::numeric_limits<T>::max() - seconds) return std::numeric_limits<T>::max();
    if (seconds < 0 && start < std::numeric_limits<T>::min() - seconds) return std::numeric_limits<T>::min();
    return static_cast<T>(start + seconds);
}

// A card was read: check it in with its serial text, signal the outcome on
// the LED and apply the answer. Blocks for the transfer (at most ~30 s),
// during which the paid time is watched (paid_time_watch) and a stop
// signal ends the transfer at once.
void card_checkin(const char* serial);

// Repeats the last check-in with LastRFID ("Performing Check In").
void periodic_checkin();

// The periodic check-in is due: LastCheckin above the loop's count, or with
// a check-in interval that much time since the last attempt.
bool periodic_checkin_due();

// The loops' expiry step: a running session ends (SetOff, then StopBoat)
// once more monotonic time has passed since its grant than EndTime -
// StartTime; without a session the LED goes off.
void session_expiry_step();

// The relay-only part of the expiry, for waits in which the loop cannot
// run (a check-in transfer, the tracker's peers): once the paid time has
// run out the boat stops and the session ends; the LED stays as it is
// until the loop's next expiry step. Cheap enough to call very often.
void paid_time_watch();
