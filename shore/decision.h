// The rule of every check-in: from the state of the boat and the card, the
// kind of check-in and the time, the answer and the changes to the rental
// book. No I/O: the store reads the state and writes the changes inside
// one transaction; the table test drives this function alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace shore {

// A grant is never longer than this: the terminal adds the seconds to its
// clock in a signed 32-bit time_t, and the periodic check-in grants the rest.
inline constexpr int64_t kMaxGrantSeconds = 366LL * 24 * 3600;

enum class CheckinKind { card, periodic };

// A session not yet closed in the book. It is open while now < paid_end;
// after that it is closed by the next transaction that finds it.
struct SessionState {
    int64_t id = 0;
    int64_t boat = 0;
    std::string card;
    int64_t started_at = 0;
    int64_t paid_end = 0;
};

// Time sold on a card and not used yet.
struct SaleState {
    int64_t id = 0;
    int64_t seconds = 0;
    std::optional<int64_t> boat;  // none: any boat
    int64_t valid_from = 0;
    std::optional<int64_t> valid_until;  // none: no end
};

struct BoatState {
    bool known = false;
    int64_t number = 0;
    bool lockout = false;
    bool kill_pending = false;
    bool kill_answered = false;  // the pending order has had its first KILL
    std::optional<SessionState> session;  // the boat's unclosed session
};

struct CardState {
    bool known = false;  // sold to at least once
    std::string serial;  // lower-case hex
    std::optional<SessionState> session;  // the card's unclosed session, any boat
    std::vector<SaleState> unused_sales;
};

struct NewSession {
    int64_t started_at = 0;
    int64_t paid_end = 0;
    std::vector<int64_t> sales;  // used by it, each charged once
};

struct Decision {
    std::string answer;  // the body sent to the terminal
    std::vector<SessionState> close_at_paid_end;  // expired, to be closed
    std::optional<NewSession> start;
    bool mark_kill_answered = false;
    // The session the check-in is logged against: the boat's open one, or
    // the one started (the store fills in the new id).
    std::optional<int64_t> session;
    // Sales are charged: the commit must be durable before the answer.
    bool moves_money() const { return start.has_value(); }
};

// now_ms: milliseconds since the epoch. A grant is the whole seconds left
// before the paid end, rounded down, so a terminal never runs past it.
Decision decide(const BoatState& boat, const CardState& card, CheckinKind kind, int64_t now_ms);

// Whether decide() reads the card at all for this boat: not for a boat it
// refuses, kills or keeps running whatever the card, nor for a periodic
// check-in. The store then neither reads nor locks it.
bool decision_needs_card(const BoatState& boat, CheckinKind kind, int64_t now_ms);

// Whether a sale may start a session on `boat` at `now` (seconds).
bool sale_usable(const SaleState& sale, int64_t boat, int64_t now);

}  // namespace shore
