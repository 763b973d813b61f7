#include "decision.h"

#include <algorithm>

namespace shore {

namespace {

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Whole seconds from now_ms to end, rounded down.
int64_t seconds_left(int64_t end, int64_t now_ms) { return floor_div(end * 1000 - now_ms, 1000); }

std::string grant(int64_t seconds) {
    return "OK 0 " + std::to_string(std::min(seconds, kMaxGrantSeconds));
}

bool open_at(const SessionState& s, int64_t now_ms) { return seconds_left(s.paid_end, now_ms) > 0; }

}  // namespace

bool sale_usable(const SaleState& sale, int64_t boat, int64_t now) {
    if (sale.boat && *sale.boat != boat) return false;
    if (now < sale.valid_from) return false;
    if (sale.valid_until && now >= *sale.valid_until) return false;
    return sale.seconds > 0;
}

bool decision_needs_card(const BoatState& boat, CheckinKind kind, int64_t now_ms) {
    if (!boat.known || boat.kill_pending || kind == CheckinKind::periodic || boat.lockout) return false;
    return !(boat.session && open_at(*boat.session, now_ms));
}

Decision decide(const BoatState& boat, const CardState& card, CheckinKind kind, int64_t now_ms) {
    Decision d;
    if (!boat.known) {
        d.answer = "BAD unknown boat";
        return d;
    }
    if (boat.kill_pending) {
        d.answer = "KILL";
        d.mark_kill_answered = !boat.kill_answered;
        return d;
    }
    // Whoever checks in on a running boat keeps it running on its paid time:
    // a refusal would stop the paying customer.
    if (boat.session && open_at(*boat.session, now_ms)) {
        d.answer = grant(seconds_left(boat.session->paid_end, now_ms));
        d.session = boat.session->id;
        return d;
    }
    if (boat.session) d.close_at_paid_end.push_back(*boat.session);
    // The last customer's card, sold time again, must not start a boat at the dock.
    if (kind == CheckinKind::periodic) {
        d.answer = "BAD no time";
        return d;
    }
    if (boat.lockout) {
        d.answer = "BAD lockout";
        return d;
    }
    if (!card.known) {
        d.answer = "BAD unknown card";
        return d;
    }
    if (card.session) {
        if (open_at(*card.session, now_ms)) {
            d.answer = "BAD in use on boat " + std::to_string(card.session->boat);
            return d;
        }
        if (!boat.session || boat.session->id != card.session->id) d.close_at_paid_end.push_back(*card.session);
    }
    // Every usable sale adds up into the one session: a card holds one
    // balance, used as a whole at the tap.
    const int64_t now = floor_div(now_ms, 1000);
    NewSession s;
    int64_t total = 0;
    for (const SaleState& sale : card.unused_sales) {
        if (!sale_usable(sale, boat.number, now)) continue;
        s.sales.push_back(sale.id);
        total += sale.seconds;
    }
    if (total <= 0) {
        d.answer = "BAD no time";
        return d;
    }
    // The session starts at the next whole second, so the grant is all the
    // time charged and the paid end is never before the terminal's end.
    s.started_at = floor_div(now_ms + 999, 1000);
    s.paid_end = s.started_at + total;
    d.answer = grant(seconds_left(s.paid_end, now_ms));
    d.start = std::move(s);
    return d;
}

}  // namespace shore
