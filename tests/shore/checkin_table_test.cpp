// Every kind of check-in decision, boat state x card state x kind, on the
// real book: the answer, and which sales it charges. The same table runs on
// SQLite and on PostgreSQL.
#include "book.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

using shore::CheckinKind;
using shore::CheckinRequest;
using shore::Sale;
using shore::Store;

namespace {

constexpr int64_t T0 = 1800000000;  // the moment of each case's check-in, in seconds
constexpr int64_t kBoat = 1;
constexpr int64_t kOther = 2;
const std::string A = "0a0b0c0d";
const std::string B = "bbbbbbbb";

enum class Kind { card, periodic, none };

CheckinRequest request(int64_t boat, const std::string& card, Kind kind) {
    CheckinRequest r;
    r.boat = boat;
    r.card = card;
    r.kind = kind == Kind::periodic ? CheckinKind::periodic : CheckinKind::card;
    r.kind_given = kind != Kind::none;
    return r;
}

// The book before a case: what staff and earlier check-ins did.
struct Past {
    Store& store;
    void sell(const std::string& card, int64_t seconds, std::optional<int64_t> boat = std::nullopt,
              int64_t from = T0 - 1000, std::optional<int64_t> until = std::nullopt) {
        Sale s;
        s.card = card;
        s.seconds = seconds;
        s.boat = boat;
        s.valid_from = from;
        s.valid_until = until;
        store.sell(s, T0 - 1000);
    }
    // A card check-in `ago` seconds before T0 that must grant.
    void tap(int64_t boat, const std::string& card, int64_t ago) {
        ASSERT_EQ(store.checkin(request(boat, card, Kind::card), (T0 - ago) * 1000).rfind("OK 0 ", 0), 0u);
    }
};

struct Case {
    const char* name;
    std::function<void(Past&)> past;
    int64_t boat;
    std::string card;
    Kind kind;
    int64_t at_ms;  // after T0
    std::string answer;
    std::vector<int> charged;  // sales (in the order sold) charged by this check-in
};

const std::vector<Case>& cases() {
    static const std::vector<Case> table = {
        // Boats the book does not know.
        {"unknown boat", [](Past& p) { p.sell(A, 600); }, 9, A, Kind::card, 0, "BAD unknown boat", {}},
        // An idle boat and a card's time.
        {"idle, card with time: a session of all of it", [](Past& p) { p.sell(A, 600); }, kBoat, A, Kind::card, 0,
         "OK 0 600", {0}},
        {"idle, no Kind is a card check-in", [](Past& p) { p.sell(A, 600); }, kBoat, A, Kind::none, 0, "OK 0 600", {0}},
        {"idle, a periodic check-in never starts a session", [](Past& p) { p.sell(A, 600); }, kBoat, A,
         Kind::periodic, 0, "BAD no time", {}},
        {"idle, a part second is not sold twice", [](Past& p) { p.sell(A, 600); }, kBoat, A, Kind::card, 400,
         "OK 0 600", {0}},
        {"idle, unknown card", [](Past& p) { p.sell(A, 600); }, kBoat, B, Kind::card, 0, "BAD unknown card", {}},
        {"idle, no card at all", [](Past& p) { p.sell(A, 600); }, kBoat, "", Kind::card, 0, "BAD unknown card", {}},
        {"idle, time for this boat", [](Past& p) { p.sell(A, 300, kBoat); }, kBoat, A, Kind::card, 0, "OK 0 300", {0}},
        {"idle, time only for another boat", [](Past& p) { p.sell(A, 300, kOther); }, kBoat, A, Kind::card, 0,
         "BAD no time", {}},
        {"idle, sales add up; another boat's stays",
         [](Past& p) {
             p.sell(A, 300);
             p.sell(A, 200, kBoat);
             p.sell(A, 100, kOther);
         },
         kBoat, A, Kind::card, 0, "OK 0 500", {0, 1}},
        {"idle, time not valid yet", [](Past& p) { p.sell(A, 300, std::nullopt, T0 + 60); }, kBoat, A, Kind::card, 0,
         "BAD no time", {}},
        {"idle, time valid from now", [](Past& p) { p.sell(A, 300, std::nullopt, T0); }, kBoat, A, Kind::card, 0,
         "OK 0 300", {0}},
        {"idle, time no longer valid", [](Past& p) { p.sell(A, 300, std::nullopt, T0 - 1000, T0); }, kBoat, A,
         Kind::card, 0, "BAD no time", {}},
        {"idle, all time used before", [](Past& p) { p.sell(A, 60); p.tap(kBoat, A, 100); }, kBoat, A, Kind::card, 0,
         "BAD no time", {}},
        {"idle, card running another boat",
         [](Past& p) {
             p.sell(A, 600);
             p.sell(A, 600);
             p.tap(kOther, A, 10);
         },
         kBoat, A, Kind::card, 0, "BAD in use on boat 2", {}},
        {"idle, card's session on another boat is over",
         [](Past& p) {
             p.sell(A, 60);
             p.tap(kOther, A, 100);
             p.sell(A, 600);
         },
         kBoat, A, Kind::card, 0, "OK 0 600", {1}},
        // Lockout holds new sessions only.
        {"lockout, card with time", [](Past& p) { p.sell(A, 600); p.store.set_lockout(kBoat, true); }, kBoat, A,
         Kind::card, 0, "BAD lockout", {}},
        {"lockout during a session keeps it",
         [](Past& p) {
             p.sell(A, 600);
             p.tap(kBoat, A, 100);
             p.store.set_lockout(kBoat, true);
         },
         kBoat, A, Kind::periodic, 0, "OK 0 500", {}},
        // Kill orders.
        {"kill, card with time", [](Past& p) { p.sell(A, 600); p.store.kill(kBoat, T0 - 5); }, kBoat, A, Kind::card, 0,
         "KILL", {}},
        {"kill during a session",
         [](Past& p) {
             p.sell(A, 600);
             p.tap(kBoat, A, 100);
             p.store.kill(kBoat, T0 - 50);
         },
         kBoat, A, Kind::periodic, 0, "KILL", {}},
        {"kill released, card with time",
         [](Past& p) {
             p.sell(A, 600);
             p.store.kill(kBoat, T0 - 50);
             p.store.release(kBoat, T0 - 20);
         },
         kBoat, A, Kind::card, 0, "OK 0 600", {0}},
        {"killed session's time is not granted after the release",
         [](Past& p) {
             p.sell(A, 600);
             p.tap(kBoat, A, 100);
             p.store.kill(kBoat, T0 - 50);
             p.store.release(kBoat, T0 - 20);
         },
         kBoat, A, Kind::periodic, 0, "BAD no time", {}},
        // An open session: the seconds left, whoever checks in.
        {"running, owner's tap with more time on the card", [](Past& p) { p.sell(A, 600); p.tap(kBoat, A, 100); p.sell(A, 600); }, kBoat, A,
         Kind::card, 0, "OK 0 500", {}},
        {"running, periodic", [](Past& p) { p.sell(A, 600); p.tap(kBoat, A, 100); }, kBoat, A, Kind::periodic, 0,
         "OK 0 500", {}},
        {"running, rounded down", [](Past& p) { p.sell(A, 600); p.tap(kBoat, A, 100); }, kBoat, A, Kind::periodic, 1,
         "OK 0 499", {}},
        {"running, a stranger's card neither stops it nor is charged",
         [](Past& p) {
             p.sell(A, 600);
             p.sell(B, 900);
             p.tap(kBoat, A, 100);
         },
         kBoat, B, Kind::card, 0, "OK 0 500", {}},
        {"running, a card never sold", [](Past& p) { p.sell(A, 600); p.tap(kBoat, A, 100); }, kBoat, "ffff",
         Kind::card, 0, "OK 0 500", {}},
        {"running, an empty card", [](Past& p) { p.sell(A, 600); p.tap(kBoat, A, 100); }, kBoat, "", Kind::periodic, 0,
         "OK 0 500", {}},
        // After the paid end.
        {"paid end passed, periodic", [](Past& p) { p.sell(A, 60); p.tap(kBoat, A, 100); }, kBoat, A, Kind::periodic, 0,
         "BAD no time", {}},
        {"paid end passed, owner's card with new time",
         [](Past& p) {
             p.sell(A, 60);
             p.tap(kBoat, A, 100);
             p.sell(A, 120);
         },
         kBoat, A, Kind::card, 0, "OK 0 120", {1}},
        {"paid end passed, periodic with new time on the card",
         [](Past& p) {
             p.sell(A, 60);
             p.tap(kBoat, A, 100);
             p.sell(A, 120);
         },
         kBoat, A, Kind::periodic, 0, "BAD no time", {}},
        {"paid end is now", [](Past& p) { p.sell(A, 100); p.tap(kBoat, A, 100); }, kBoat, A, Kind::periodic, 0,
         "BAD no time", {}},
        {"staff ended the session", [](Past& p) { p.sell(A, 600); p.tap(kBoat, A, 100); p.store.end_session(kBoat, T0 - 10); },
         kBoat, A, Kind::periodic, 0, "BAD no time", {}},
    };
    return table;
}

class CheckinTable : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        books_ = shoretest::make_books(GetParam());
        std::string why;
        if (!books_->ready(&why)) GTEST_SKIP() << why;
    }
    std::unique_ptr<Store> fresh_store() { return fresh_store_at(books_->fresh()); }
    std::unique_ptr<Store> fresh_store_at(const std::string& db) {
        auto store = shore::open_store(db);
        shore::Boat b;
        b.kind = "checkin";
        for (int64_t n : {kBoat, kOther}) {
            b.number = n;
            store->add_boat(b);
        }
        return store;
    }
    std::unique_ptr<shoretest::Books> books_;
};

TEST_P(CheckinTable, AnswersAndCharges) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        auto store = fresh_store();
        Past past{*store};
        c.past(past);
        const std::vector<Sale> before = store->sales();
        const size_t sessions_before = store->sessions(std::nullopt, T0).size();

        EXPECT_EQ(store->checkin(request(c.boat, c.card, c.kind), T0 * 1000 + c.at_ms), c.answer);

        const std::vector<Sale> after = store->sales();
        ASSERT_EQ(after.size(), before.size());
        std::vector<int> charged;
        for (size_t i = 0; i < after.size(); i++) {
            // What was charged stays with its session: nothing is charged twice.
            if (before[i].session) {
                EXPECT_EQ(after[i].session, before[i].session) << "sale " << i;
            } else if (after[i].session) {
                charged.push_back(static_cast<int>(i));
            }
        }
        EXPECT_EQ(charged, c.charged);
        const auto sessions = store->sessions(std::nullopt, T0);
        EXPECT_EQ(sessions.size(), sessions_before + (c.charged.empty() ? 0 : 1));
        if (!c.charged.empty()) {
            // The new session runs from the next whole second for all it charged.
            int64_t seconds = 0;
            for (int i : c.charged) seconds += after[static_cast<size_t>(i)].seconds;
            const shore::Session& s = sessions.back();
            EXPECT_EQ(s.boat, c.boat);
            EXPECT_EQ(s.card, c.card);
            EXPECT_EQ(s.started_at, T0 + (c.at_ms > 0 ? 1 : 0));
            EXPECT_EQ(s.paid_end - s.started_at, seconds);
            for (int i : c.charged) EXPECT_EQ(after[static_cast<size_t>(i)].session, s.id);
        }
        // Every check-in is in the log with its answer.
        std::string logged;
        store->read([&](shore::SqlConnection& db) {
            auto rows = db.query("SELECT answer, boat FROM checkins ORDER BY id DESC LIMIT 1");
            if (!rows.empty()) logged = rows[0][0].text + " " + rows[0][1].text;
        });
        EXPECT_EQ(logged, c.answer + " " + std::to_string(c.boat));
    }
}

// Two boats tapped with one card at the same moment, on two links to the
// book as two processes would have: exactly one grant, every round.
TEST_P(CheckinTable, OneCardOnTwoBoatsAtOnceGrantsOnce) {
    const std::string db = books_->fresh();
    auto first = shore::open_store(db);
    auto second = shore::open_store(db);
    shore::Boat b;
    b.kind = "checkin";
    for (int64_t n : {kBoat, kOther}) {
        b.number = n;
        first->add_boat(b);
    }
    constexpr int kRounds = 40;
    int grants = 0;
    for (int round = 0; round < kRounds; round++) {
        const std::string card = "c0de" + std::to_string(1000 + round);
        Sale s;
        s.card = card;
        s.seconds = 600;
        s.valid_from = T0;
        first->sell(s, T0);
        std::atomic<int> ready{0};
        std::string answers[2];
        auto tap = [&](Store* store, int64_t boat, std::string* answer) {
            ready++;
            while (ready < 2) {
            }
            *answer = store->checkin(request(boat, card, Kind::card), (T0 + round * 1000) * 1000);
        };
        std::thread one(tap, first.get(), kBoat, &answers[0]);
        std::thread two(tap, second.get(), kOther, &answers[1]);
        one.join();
        two.join();
        const int ok = (answers[0] == "OK 0 600") + (answers[1] == "OK 0 600");
        EXPECT_EQ(ok, 1) << answers[0] << " / " << answers[1];
        grants += ok;
        const bool first_won = answers[0] == "OK 0 600";
        EXPECT_EQ(answers[first_won ? 1 : 0], "BAD in use on boat " + std::to_string(first_won ? kBoat : kOther));
        first->end_session(first_won ? kBoat : kOther, T0 + round * 1000 + 1);
    }
    EXPECT_EQ(grants, kRounds);
    for (const Sale& s : first->sales()) EXPECT_TRUE(s.session.has_value()) << "sale " << s.id;
}

// A book opened again keeps what it holds and its schema's version; a
// step added later brings it up to date.
TEST_P(CheckinTable, ReopenedBookKeepsItsContents) {
    const std::string db = books_->fresh();
    {
        auto store = fresh_store_at(db);
    }
    auto again = shore::open_store(db);
    EXPECT_EQ(again->boats().size(), 2u);
    int64_t version = 0;
    again->read([&](shore::SqlConnection& c) { version = c.query("SELECT max(version) FROM schema_version")[0][0].integer(); });
    EXPECT_EQ(version, 1);

    // A later step, as a feature appends one: applied once, in order, the
    // book kept.
    std::vector<shore::Migration> later =
        GetParam() == "postgresql" ? shore::pg_migrations() : shore::sqlite_migrations();
    later.push_back({2, "CREATE TABLE later_feature (id INTEGER);\nINSERT INTO later_feature (id) VALUES (7)"});
    for (int run = 0; run < 2; run++) {
        again->read([&](shore::SqlConnection& c) {
            shore::migrate(c, later);
            version = c.query("SELECT max(version) FROM schema_version")[0][0].integer();
            EXPECT_EQ(c.query("SELECT count(*) FROM later_feature")[0][0].integer(), 1) << "run " << run;
        });
        EXPECT_EQ(version, 2);
    }
    EXPECT_EQ(again->boats().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Databases, CheckinTable, ::testing::Values("sqlite", "postgresql"),
                         [](const ::testing::TestParamInfo<std::string>& i) { return i.param; });

}  // namespace
