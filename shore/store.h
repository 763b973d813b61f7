// The rental book: boats, cards, time sold, sessions, kill orders and the
// check-in log, on SQLite or PostgreSQL (DATABASE=). Every operation is one
// transaction; one that throws SqlError has changed nothing. The rest of
// the program never sees which database it has.
#pragma once

#include "decision.h"
#include "sql.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace shore {

struct CheckinRequest {
    std::string card;  // lower-case hex, 0 to 20 digits
    int64_t boat = 0;
    CheckinKind kind = CheckinKind::card;
    bool kind_given = false;  // the terminal says which kind it sends
};

struct Boat {
    int64_t number = 0;
    std::string name;
    std::string kind;  // "checkin" or "tracker"
    bool lockout = false;
    std::optional<bool> sends_kind;  // unknown until its first check-in
    std::optional<int64_t> last_checkin_at;
};

struct Session {
    int64_t id = 0;
    int64_t boat = 0;
    std::string card;
    int64_t started_at = 0;
    int64_t paid_end = 0;
    std::optional<int64_t> ended_at;
    std::string end_reason;  // empty while open
};

struct Sale {
    int64_t id = 0;
    std::string card;
    int64_t seconds = 0;
    std::optional<int64_t> boat;
    int64_t valid_from = 0;
    std::optional<int64_t> valid_until;
    int64_t sold_at = 0;
    std::optional<int64_t> session;
};

struct Kill {
    int64_t id = 0;
    int64_t boat = 0;
    int64_t ordered_at = 0;
    std::optional<int64_t> answered_at;
};

// One boat as staff see it.
struct BoatStatus {
    Boat boat;
    std::optional<Session> session;  // open now
    std::optional<Kill> kill;        // pending
};

// The book refuses a staff order (unknown boat, a number taken); the
// message says why, for the staff.
class Refusal : public std::runtime_error {
public:
    explicit Refusal(const std::string& what) : std::runtime_error(what) {}
};

// End reasons of a session.
inline constexpr const char* kEndPaid = "paid end";
inline constexpr const char* kEndStaff = "staff";
inline constexpr const char* kEndKill = "kill";

class Store {
public:
    // `connect` opens one more link to the database; at most `links` are open.
    Store(std::function<std::unique_ptr<SqlConnection>()> connect, size_t links);

    // The decision for one check-in, committed with its log line; the answer.
    std::string checkin(const CheckinRequest& req, int64_t now_ms);

    // Staff. The checks of the input's form are the caller's; what only the
    // book can tell (an unknown boat) throws Refusal and changes nothing.
    void add_boat(const Boat& b);
    std::vector<Boat> boats();
    void set_lockout(int64_t boat, bool on);
    Sale sell(const Sale& s, int64_t now);  // the sale as recorded, id set
    // The open session's paid end becomes now; the session as ended.
    Session end_session(int64_t boat, int64_t now);
    // A kill order for the boat; its open session ends now. False: one
    // was pending already.
    bool kill(int64_t boat, int64_t now);
    // False: no kill order was pending.
    bool release(int64_t boat, int64_t now);
    std::vector<BoatStatus> status(int64_t now);
    std::vector<Session> sessions(std::optional<int64_t> boat, int64_t now);
    std::vector<Sale> sales();

    // Runs `work` in one write transaction on a link of the pool, rolled
    // back when it throws; for features that add their own tables.
    void transact(Durability durability, const std::function<void(SqlConnection&)>& work);
    // Runs `work` on a link outside any transaction (reads).
    void read(const std::function<void(SqlConnection&)>& work);

private:
    std::string checkin_at(const CheckinRequest& req, int64_t now_ms, Durability durability);
    std::unique_ptr<SqlConnection> take();
    void give_back(std::unique_ptr<SqlConnection> c);

    std::function<std::unique_ptr<SqlConnection>()> connect_;
    size_t links_;
    size_t open_ = 0;
    std::mutex mutex_;
    std::condition_variable idle_cv_;
    std::vector<std::unique_ptr<SqlConnection>> idle_;
};

// The store for a DATABASE= value ("sqlite:PATH", "postgresql://...",
// "postgres://..."), its schema brought up to date. Throws SqlError when
// the database cannot be opened, and std::invalid_argument for a value
// that names no database.
std::unique_ptr<Store> open_store(const std::string& database);

}  // namespace shore
