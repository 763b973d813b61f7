// The rental book's transactions, the same SQL on every database. Locks are
// taken in one order everywhere (boat, then card, then the rows below
// them), so two transactions never wait for each other in a circle. A row
// is locked by a statement of its own and read after it by others: on
// PostgreSQL each statement sees what was committed when it began, so a
// read in the locking statement could miss what the lock's last holder
// committed while this one waited.
#include "store.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace shore {

int64_t SqlValue::integer() const { return null ? 0 : std::strtoll(text.c_str(), nullptr, 10); }

namespace {

std::optional<int64_t> opt_int(const SqlValue& v) {
    if (v.null) return std::nullopt;
    return v.integer();
}

SqlParam opt_param(const std::optional<int64_t>& v) {
    if (!v) return nullptr;
    return *v;
}

constexpr const char* kSessionColumns = "id, boat, card, started_at, paid_end, ended_at, end_reason";

Session session_of(const SqlRow& r) {
    Session s;
    s.id = r[0].integer();
    s.boat = r[1].integer();
    s.card = r[2].text;
    s.started_at = r[3].integer();
    s.paid_end = r[4].integer();
    s.ended_at = opt_int(r[5]);
    s.end_reason = r[6].text;
    return s;
}

SessionState state_of(const Session& s) { return SessionState{s.id, s.boat, s.card, s.started_at, s.paid_end}; }

// A session whose paid end has passed but that no transaction has closed yet
// is shown as it will be closed.
Session as_seen(Session s, int64_t now) {
    if (!s.ended_at && s.paid_end <= now) {
        s.ended_at = s.paid_end;
        s.end_reason = kEndPaid;
    }
    return s;
}

constexpr const char* kBoatColumns = "number, name, kind, lockout, sends_kind, last_checkin_at";

Boat boat_of(const SqlRow& r) {
    Boat b;
    b.number = r[0].integer();
    b.name = r[1].text;
    b.kind = r[2].text;
    b.lockout = r[3].integer() != 0;
    if (!r[4].null) b.sends_kind = r[4].integer() != 0;
    b.last_checkin_at = opt_int(r[5]);
    return b;
}

constexpr const char* kSaleColumns = "id, card, seconds, boat, valid_from, valid_until, sold_at, session";

Sale sale_of(const SqlRow& r) {
    Sale s;
    s.id = r[0].integer();
    s.card = r[1].text;
    s.seconds = r[2].integer();
    s.boat = opt_int(r[3]);
    s.valid_from = r[4].integer();
    s.valid_until = opt_int(r[5]);
    s.sold_at = r[6].integer();
    s.session = opt_int(r[7]);
    return s;
}

std::optional<Session> unclosed_session(SqlConnection& db, const char* column, const SqlParam& key) {
    auto rows = db.query(std::string("SELECT ") + kSessionColumns + " FROM sessions WHERE " + column +
                             " = $1 AND ended_at IS NULL" + db.lock_rows(),
                         {key});
    if (rows.empty()) return std::nullopt;
    return session_of(rows[0]);
}

// Locks the boat's row; false when there is no such boat.
bool lock_boat(SqlConnection& db, int64_t boat) {
    return !db.query(std::string("SELECT number FROM boats WHERE number = $1") + db.lock_rows(), {boat}).empty();
}

void lock_known_boat(SqlConnection& db, int64_t boat) {
    if (!lock_boat(db, boat)) throw Refusal("unknown boat " + std::to_string(boat));
}

void close_session(SqlConnection& db, int64_t id, int64_t ended_at, const char* reason) {
    db.query("UPDATE sessions SET ended_at = $1, end_reason = $2 WHERE id = $3 AND ended_at IS NULL",
             {ended_at, reason, id});
}

BoatState boat_state(SqlConnection& db, int64_t number) {
    BoatState b;
    b.number = number;
    auto rows = db.query(std::string("SELECT lockout FROM boats WHERE number = $1") + db.lock_rows(), {number});
    if (rows.empty()) return b;
    b.known = true;
    b.lockout = rows[0][0].integer() != 0;
    auto kills = db.query("SELECT answered_at FROM kills WHERE boat = $1 AND released_at IS NULL", {number});
    if (!kills.empty()) {
        b.kill_pending = true;
        b.kill_answered = !kills[0][0].null;
    }
    if (auto s = unclosed_session(db, "boat", number)) b.session = state_of(*s);
    return b;
}

CardState card_state(SqlConnection& db, const std::string& serial) {
    CardState c;
    c.serial = serial;
    if (serial.empty()) return c;
    if (db.query(std::string("SELECT serial FROM cards WHERE serial = $1") + db.lock_rows(), {serial}).empty()) return c;
    c.known = true;
    if (auto s = unclosed_session(db, "card", serial)) c.session = state_of(*s);
    auto rows = db.query(
        "SELECT id, seconds, boat, valid_from, valid_until FROM sales WHERE card = $1 AND session IS NULL ORDER BY id",
        {serial});
    for (const SqlRow& r : rows) c.unused_sales.push_back(SaleState{r[0].integer(), r[1].integer(), opt_int(r[2]),
                                                                   r[3].integer(), opt_int(r[4])});
    return c;
}

const char* kind_text(const CheckinRequest& req) {
    if (!req.kind_given) return "none";
    return req.kind == CheckinKind::periodic ? "periodic" : "card";
}

}  // namespace

Store::Store(std::function<std::unique_ptr<SqlConnection>()> connect, size_t links)
    : connect_(std::move(connect)), links_(links == 0 ? 1 : links) {}

std::unique_ptr<SqlConnection> Store::take() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_cv_.wait(lock, [this] { return !idle_.empty() || open_ < links_; });
    if (!idle_.empty()) {
        auto c = std::move(idle_.back());
        idle_.pop_back();
        return c;
    }
    open_++;
    lock.unlock();
    try {
        return connect_();
    } catch (...) {
        lock.lock();
        open_--;
        idle_cv_.notify_one();
        throw;
    }
}

void Store::give_back(std::unique_ptr<SqlConnection> c) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (c->broken()) {
        open_--;  // a new link is made on demand
    } else {
        idle_.push_back(std::move(c));
    }
    idle_cv_.notify_one();
}

void Store::transact(Durability durability, const std::function<void(SqlConnection&)>& work) {
    std::unique_ptr<SqlConnection> c;
    // A link that went stale while idle (the database restarted) fails at
    // its first statement, before anything was sent that could commit: the
    // next link is tried, at most every link once and a new one.
    for (size_t tries = 0;; tries++) {
        c = take();
        try {
            c->begin(durability);
            break;
        } catch (const SqlError&) {
            const bool stale = c->broken();
            give_back(std::move(c));
            if (!stale || tries >= links_) throw;
        }
    }
    try {
        work(*c);
        c->commit();
    } catch (...) {
        c->rollback();
        give_back(std::move(c));
        throw;
    }
    give_back(std::move(c));
}

void Store::read(const std::function<void(SqlConnection&)>& work) {
    auto c = take();
    try {
        work(*c);
    } catch (...) {
        give_back(std::move(c));
        throw;
    }
    give_back(std::move(c));
}

namespace {

// Thrown out of a relaxed transaction whose decision charges, where the
// database cannot harden it: rolled back, and decided again at full.
struct StartOverAtFull {};

}  // namespace

std::string Store::checkin(const CheckinRequest& req, int64_t now_ms) {
    // Most check-ins charge nothing (re-grants, refusals): their commit is
    // cheap; one that charges is committed with full durability.
    for (Durability durability : {Durability::relaxed, Durability::full}) {
        try {
            return checkin_at(req, now_ms, durability);
        } catch (const StartOverAtFull&) {
        }
    }
    throw SqlError("a charging check-in could not be made durable");
}

std::string Store::checkin_at(const CheckinRequest& req, int64_t now_ms, Durability durability) {
    std::string answer;
    const int64_t now = now_ms / 1000;
    transact(durability, [&](SqlConnection& db) {
        const BoatState boat = boat_state(db, req.boat);
        const CardState card =
            decision_needs_card(boat, req.kind, now_ms) ? card_state(db, req.card) : CardState{};
        Decision d = decide(boat, card, req.kind, now_ms);
        if (d.moves_money() && !db.harden()) throw StartOverAtFull{};
        for (const SessionState& s : d.close_at_paid_end) close_session(db, s.id, s.paid_end, kEndPaid);
        if (d.mark_kill_answered) {
            db.query("UPDATE kills SET answered_at = $1 WHERE boat = $2 AND released_at IS NULL AND answered_at IS NULL",
                     {now, req.boat});
        }
        if (d.start) {
            auto rows = db.query(
                "INSERT INTO sessions (boat, card, started_at, paid_end) VALUES ($1, $2, $3, $4) RETURNING id",
                {req.boat, req.card, d.start->started_at, d.start->paid_end});
            d.session = rows.at(0)[0].integer();
            for (int64_t sale : d.start->sales) {
                if (db.query("UPDATE sales SET session = $1 WHERE id = $2 AND session IS NULL RETURNING id",
                             {*d.session, sale})
                        .empty()) {
                    throw SqlError("sale " + std::to_string(sale) + " was charged meanwhile");
                }
            }
        }
        if (boat.known) {
            db.query("UPDATE boats SET last_checkin_at = $1, sends_kind = $2 WHERE number = $3",
                     {now, req.kind_given ? 1 : 0, req.boat});
        }
        db.query("INSERT INTO checkins (at, boat, card, kind, answer, session) VALUES ($1, $2, $3, $4, $5, $6)",
                 {now, req.boat, req.card, kind_text(req), d.answer, opt_param(d.session)});
        answer = d.answer;
    });
    return answer;
}

void Store::add_boat(const Boat& b) {
    transact(Durability::full, [&](SqlConnection& db) {
        if (lock_boat(db, b.number)) throw Refusal("boat " + std::to_string(b.number) + " exists already");
        db.query("INSERT INTO boats (number, name, kind, lockout) VALUES ($1, $2, $3, 0)", {b.number, b.name, b.kind});
    });
}

std::vector<Boat> Store::boats() {
    std::vector<Boat> out;
    read([&](SqlConnection& db) {
        for (const SqlRow& r : db.query(std::string("SELECT ") + kBoatColumns + " FROM boats ORDER BY number"))
            out.push_back(boat_of(r));
    });
    return out;
}

void Store::set_lockout(int64_t boat, bool on) {
    transact(Durability::full, [&](SqlConnection& db) {
        lock_known_boat(db, boat);
        db.query("UPDATE boats SET lockout = $1 WHERE number = $2", {on ? 1 : 0, boat});
    });
}

Sale Store::sell(const Sale& s, int64_t now) {
    Sale out = s;
    out.sold_at = now;
    transact(Durability::full, [&](SqlConnection& db) {
        if (s.boat) lock_known_boat(db, *s.boat);
        db.query("INSERT INTO cards (serial) VALUES ($1) ON CONFLICT (serial) DO NOTHING", {s.card});
        auto rows = db.query(
            "INSERT INTO sales (card, seconds, boat, valid_from, valid_until, sold_at) VALUES ($1, $2, $3, $4, $5, $6) "
            "RETURNING id",
            {s.card, s.seconds, opt_param(s.boat), s.valid_from, opt_param(s.valid_until), now});
        out.id = rows.at(0)[0].integer();
    });
    return out;
}

Session Store::end_session(int64_t boat, int64_t now) {
    Session out;
    transact(Durability::full, [&](SqlConnection& db) {
        lock_known_boat(db, boat);
        auto s = unclosed_session(db, "boat", boat);
        if (!s || s->paid_end <= now) throw Refusal("boat " + std::to_string(boat) + " has no open session");
        // A session starts on a whole second, perhaps just after now.
        const int64_t end = std::max(now, s->started_at);
        db.query("UPDATE sessions SET paid_end = $1, ended_at = $1, end_reason = $2 WHERE id = $3",
                 {end, kEndStaff, s->id});
        out = *s;
        out.paid_end = end;
        out.ended_at = end;
        out.end_reason = kEndStaff;
    });
    return out;
}

bool Store::kill(int64_t boat, int64_t now) {
    bool ordered = false;
    transact(Durability::full, [&](SqlConnection& db) {
        lock_known_boat(db, boat);
        if (!db.query("SELECT id FROM kills WHERE boat = $1 AND released_at IS NULL", {boat}).empty()) return;
        db.query("INSERT INTO kills (boat, ordered_at) VALUES ($1, $2)", {boat, now});
        if (auto s = unclosed_session(db, "boat", boat)) {
            if (s->paid_end > now) {
                close_session(db, s->id, std::max(now, s->started_at), kEndKill);
            } else {
                close_session(db, s->id, s->paid_end, kEndPaid);
            }
        }
        ordered = true;
    });
    return ordered;
}

bool Store::release(int64_t boat, int64_t now) {
    bool released = false;
    transact(Durability::full, [&](SqlConnection& db) {
        lock_known_boat(db, boat);
        released = !db.query("UPDATE kills SET released_at = $1 WHERE boat = $2 AND released_at IS NULL RETURNING id",
                             {now, boat})
                        .empty();
    });
    return released;
}

std::vector<BoatStatus> Store::status(int64_t now) {
    std::vector<BoatStatus> out;
    read([&](SqlConnection& db) {
        for (const SqlRow& r : db.query(std::string("SELECT ") + kBoatColumns + " FROM boats ORDER BY number"))
            out.push_back(BoatStatus{boat_of(r), std::nullopt, std::nullopt});
        for (const SqlRow& r : db.query(std::string("SELECT ") + kSessionColumns +
                                        " FROM sessions WHERE ended_at IS NULL AND paid_end > $1",
                                        {now})) {
            Session s = session_of(r);
            for (BoatStatus& b : out)
                if (b.boat.number == s.boat) b.session = s;
        }
        for (const SqlRow& r :
             db.query("SELECT id, boat, ordered_at, answered_at FROM kills WHERE released_at IS NULL")) {
            Kill k{r[0].integer(), r[1].integer(), r[2].integer(), opt_int(r[3])};
            for (BoatStatus& b : out)
                if (b.boat.number == k.boat) b.kill = k;
        }
    });
    return out;
}

std::vector<Session> Store::sessions(std::optional<int64_t> boat, int64_t now) {
    std::vector<Session> out;
    read([&](SqlConnection& db) {
        const std::string sql = std::string("SELECT ") + kSessionColumns + " FROM sessions";
        auto rows = boat ? db.query(sql + " WHERE boat = $1 ORDER BY id", {*boat}) : db.query(sql + " ORDER BY id");
        for (const SqlRow& r : rows) out.push_back(as_seen(session_of(r), now));
    });
    return out;
}

std::vector<Sale> Store::sales() {
    std::vector<Sale> out;
    read([&](SqlConnection& db) {
        for (const SqlRow& r : db.query(std::string("SELECT ") + kSaleColumns + " FROM sales ORDER BY id"))
            out.push_back(sale_of(r));
    });
    return out;
}

void migrate(SqlConnection& db, const std::vector<Migration>& steps) {
    for (const Migration& m : steps) {
        db.begin(Durability::full);
        try {
            // Two programs starting on one database take turns.
            if (*db.schema_lock()) db.query(db.schema_lock());
            db.query("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
            auto rows = db.query("SELECT max(version) FROM schema_version");
            const int64_t have = rows.empty() ? 0 : rows[0][0].integer();
            if (m.version > have) {
                std::string sql = m.sql;
                size_t start = 0;
                while (start < sql.size()) {
                    size_t end = sql.find(";\n", start);
                    if (end == std::string::npos) end = sql.size();
                    std::string stmt = sql.substr(start, end - start);
                    if (stmt.find_first_not_of(" \n\t") != std::string::npos) db.query(stmt);
                    start = end + 2;
                }
                db.query("INSERT INTO schema_version (version) VALUES ($1)", {m.version});
            }
            db.commit();
        } catch (...) {
            db.rollback();
            throw;
        }
    }
}

std::unique_ptr<Store> open_store(const std::string& database) {
    std::function<std::unique_ptr<SqlConnection>()> connect;
    const std::vector<Migration>* steps = nullptr;
    size_t links = 1;
    if (database.rfind("sqlite:", 0) == 0) {
        const std::string path = database.substr(7);
        if (path.empty()) throw std::invalid_argument("DATABASE=sqlite: needs a file");
        connect = [path] { return sqlite_connect(path); };
        steps = &sqlite_migrations();
        // SQLite writes one transaction at a time anyway: one link, and the
        // threads take turns at it instead of at the file lock.
        links = 1;
    } else if (database.rfind("postgresql://", 0) == 0 || database.rfind("postgres://", 0) == 0) {
        connect = [database] { return pg_connect(database); };
        steps = &pg_migrations();
        links = 16;
    } else {
        throw std::invalid_argument("DATABASE= must be sqlite:PATH or a postgresql:// URI, not \"" + database + "\"");
    }
    auto first = connect();
    migrate(*first, *steps);
    auto store = std::make_unique<Store>(connect, links);
    return store;
}

}  // namespace shore
