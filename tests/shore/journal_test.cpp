// The log's hash chain and its filters, and the weather lockout, on both
// databases: what the check-ins and the staff orders wrote, found again,
// and any edit, removal or insertion found by the verification.
#include "book.h"
#include "console/journal.h"
#include "console/staff.h"

#include <gtest/gtest.h>

namespace {

using shore::Store;

class Journal : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        books_ = shoretest::make_books(GetParam());
        std::string why;
        if (!books_->ready(&why)) GTEST_SKIP() << why;
        store_ = shore::open_store(books_->fresh());
        order({"boat", "add", "--boat", "4", "--name", "M\xc3\xb6we"});  // not ASCII: hashed as sent
        order({"sell", "--card", "0A1B", "--seconds", "600"});
        checkin("0a1b", shore::CheckinKind::card);
        order({"kill", "--boat", "4"});
        checkin("0a1b", shore::CheckinKind::periodic);
    }
    void order(const std::vector<std::string>& words) {
        shore::carry_out_logged(*store_, shore::parse_order(words), kNow, "anna", "192.0.2.7");
    }
    void checkin(const std::string& card, shore::CheckinKind kind) {
        shore::CheckinRequest r;
        r.card = card;
        r.boat = 4;
        r.kind = kind;
        r.kind_given = true;
        r.address = "198.51.100.4";
        store_->checkin(r, kNow * 1000);
    }
    // `verify` refused, and why.
    std::string broken() {
        try {
            shore::verify_journal(*store_);
        } catch (const shore::Refusal& e) {
            return e.what();
        }
        return "";
    }
    void sql(const std::string& statement) {
        store_->transact(shore::Durability::full, [&](shore::SqlConnection& db) { db.query(statement); });
    }

    static constexpr int64_t kNow = 1800000000;
    std::unique_ptr<shoretest::Books> books_;
    std::unique_ptr<Store> store_;
};

TEST_P(Journal, EveryCheckinAndOrderInOneChainFoundByItsFilters) {
    EXPECT_EQ(shore::verify_journal(*store_), "log verify: 5 entries, the chain holds\n");
    shore::JournalFilter f;
    auto all = shore::journal_entries(*store_, f);
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[0].what, "check-in RFID=0a1b Kind=periodic: KILL");
    EXPECT_EQ(all[0].who, "boat 4");
    EXPECT_EQ(all[0].address, "198.51.100.4");
    EXPECT_EQ(all[0].prev_hash, all[1].hash);
    f.who = "ann";
    f.what = "kill";
    auto kills = shore::journal_entries(*store_, f);
    ASSERT_EQ(kills.size(), 1u);
    EXPECT_EQ(kills[0].what, "kill --boat 4: boat 4 kill ordered");
    EXPECT_EQ(kills[0].address, "192.0.2.7");
    f = {};
    f.what = "6%";  // a LIKE wildcard is a character like any other ("600" is no match)
    EXPECT_TRUE(shore::journal_entries(*store_, f).empty());
    f = {};
    f.from = kNow + 1;
    EXPECT_TRUE(shore::journal_entries(*store_, f).empty());
    EXPECT_EQ(shore::journal_csv({all[4]}).substr(0, 30), "id,at,who,address,what,hash\r\n1");
}

TEST_P(Journal, AnEditARemovalOrAnInsertionBreaksTheChain) {
    const struct {
        const char* edit;
        const char* found;
    } cases[] = {
        {"UPDATE journal SET what = 'sell --card 0a1b --seconds 6000' WHERE id = 2", "broken at entry 2: changed"},
        {"UPDATE journal SET at = at - 60 WHERE id = 3", "broken at entry 3: changed"},
        {"DELETE FROM journal WHERE id = 4", "broken after entry 3: entries missing"},
        {"DELETE FROM journal WHERE id = 5", "broken at its end"},
        {"UPDATE journal SET prev_hash = hash WHERE id = 1", "broken at entry 1: it does not follow"},
    };
    for (const auto& c : cases) {
        store_ = shore::open_store(books_->fresh());
        order({"boat", "add", "--boat", "4", "--name", "M\xc3\xb6we"});  // not ASCII: hashed as sent
        order({"sell", "--card", "0A1B", "--seconds", "600"});
        checkin("0a1b", shore::CheckinKind::card);
        order({"kill", "--boat", "4"});
        checkin("0a1b", shore::CheckinKind::periodic);
        ASSERT_EQ(broken(), "") << c.edit;
        sql(c.edit);
        EXPECT_NE(broken().find(c.found), std::string::npos) << c.edit << ": " << broken();
    }
}

TEST_P(Journal, WeatherLockoutStopsNewSessionsNotRunningOnes) {
    order({"release", "--boat", "4"});
    order({"boat", "add", "--boat", "5"});
    order({"sell", "--card", "0c0c", "--seconds", "600"});
    order({"sell", "--card", "0d0d", "--seconds", "600"});
    shore::CheckinRequest r;
    r.boat = 5;
    r.card = "0c0c";
    ASSERT_EQ(store_->checkin(r, kNow * 1000), "OK 0 600");
    order({"fleet", "lockout", "on"});
    EXPECT_EQ(shore::fleet_lockout_since(*store_), kNow);
    r.kind = shore::CheckinKind::periodic;
    r.kind_given = true;
    EXPECT_EQ(store_->checkin(r, (kNow + 100) * 1000), "OK 0 500");  // keeps its time
    r.boat = 4;
    r.card = "0d0d";
    r.kind = shore::CheckinKind::card;
    EXPECT_EQ(store_->checkin(r, (kNow + 100) * 1000), "BAD lockout");
    order({"fleet", "lockout", "off"});
    EXPECT_FALSE(shore::fleet_lockout_since(*store_));
    EXPECT_EQ(store_->checkin(r, (kNow + 101) * 1000), "OK 0 600");
    EXPECT_NE(shore::verify_journal(*store_).find("the chain holds"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Databases, Journal, ::testing::Values("sqlite", "postgresql"),
                         [](const ::testing::TestParamInfo<std::string>& i) { return i.param; });

}  // namespace
