// boat_shore as a whole program on PostgreSQL, each test with a server of
// its own in its own network namespace: two shore processes on one
// database racing for one card, and a shore killed and started again while
// check-ins keep coming. What the clients were answered is compared with
// the book afterwards, read from the database itself.
#include "postgres.h"
#include "private_mounts.h"
#include "process.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <thread>
#include <tuple>

namespace {

using nlohmann::json;
using testsupport::PostgresServer;
using testsupport::Process;
using testsupport::ProcessOptions;
using testsupport::TempDir;

constexpr int kCommandMs = 30000;
constexpr int kServeMs = 30000;
constexpr int kAnswerMs = 10000;

struct Outcome {
    int status = -1;
    std::string out, err;
};

// One shore's settings file, its commands and its `serve`.
class Shore {
public:
    Shore(const TempDir& dir, const std::string& name, const std::string& database, int port)
        : dir_(dir), name_(name), port_(port) {
        config_ = dir.file(name + ".conf");
        testsupport::write_file(config_, "DATABASE=" + database + "\nLISTEN=127.0.0.1:" + std::to_string(port) + "\n");
    }
    ~Shore() { stop(); }

    Outcome run(std::vector<std::string> words) {
        ProcessOptions o;
        o.argv = {testsupport::bin("shore/boat_shore"), "--config", config_};
        o.argv.insert(o.argv.end(), words.begin(), words.end());
        o.stdout_path = dir_.file(name_ + ".cmd.out");
        o.stderr_path = dir_.file(name_ + ".cmd.err");
        Process p(o);
        Outcome r;
        if (!p.wait_exit(kCommandMs)) {
            p.stop();
            r.err = "did not end in time";
            return r;
        }
        r.status = p.exit_status();
        r.out = testsupport::read_file(o.stdout_path);
        r.err = testsupport::read_file(o.stderr_path);
        return r;
    }
    json run_json(std::vector<std::string> words) {
        Outcome r = run(words);
        EXPECT_EQ(r.status, 0) << r.err;
        return json::parse(r.out, nullptr, false);
    }

    // Started: false with the reason when it did not say it serves.
    bool start(std::string* why) {
        ProcessOptions o;
        o.argv = {testsupport::bin("shore/boat_shore"), "--config", config_, "serve"};
        err_path_ = dir_.file(name_ + ".serve" + std::to_string(starts_++) + ".err");
        o.stderr_path = err_path_;
        proc_ = std::make_unique<Process>(o);
        bool up = testsupport::wait_until(
            [&] {
                return !proc_->running() ||
                       testsupport::read_file(err_path_).find("boat_shore: serving http://") != std::string::npos;
            },
            kServeMs, 10);
        if (up && proc_->running()) return true;
        *why = name_ + " does not serve: " + testsupport::read_file(err_path_);
        return false;
    }
    void kill_hard() {
        if (!proc_) return;
        kill(proc_->pid(), SIGKILL);
        proc_->wait_exit(5000);
        proc_.reset();
    }
    // SIGTERM; true when it ended by itself with status 0.
    bool stop() {
        if (!proc_) return true;
        kill(proc_->pid(), SIGTERM);
        bool ended = proc_->wait_exit(10000);
        bool clean = ended && proc_->exit_status() == 0;
        proc_->stop();
        proc_.reset();
        return clean;
    }
    int port() const { return port_; }
    std::string serve_log() const { return testsupport::read_file(err_path_); }

private:
    const TempDir& dir_;
    std::string name_, config_, err_path_;
    int port_;
    int starts_ = 0;
    std::unique_ptr<Process> proc_;
};

// A check-in as a terminal makes it, on a connection of its own, split in
// two so that two of them can be sent at the same moment.
class Checkin {
public:
    Checkin(int port, const std::string& query) : request_("GET /hullgate/checkin.php?" + query +
                                                           " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n") {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Checkin() {
        if (fd_ >= 0) close(fd_);
    }
    bool connected() const { return fd_ >= 0; }
    void send_request() {
        if (fd_ >= 0 && write(fd_, request_.data(), request_.size()) != static_cast<ssize_t>(request_.size())) {
            close(fd_);
            fd_ = -1;
        }
    }
    // The body of a complete answer; false when none came (the server went
    // away, or the time ran out).
    bool answer(std::string* body, int* status = nullptr) {
        std::string all;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerMs);
        while (fd_ >= 0) {
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
            pollfd p {fd_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) != 1) return false;
            char buf[4096];
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n < 0) return false;
            if (n == 0) break;
            all.append(buf, static_cast<size_t>(n));
        }
        std::smatch m;
        static const std::regex head(R"(^HTTP/1\.[01] (\d{3}) [^\r]*\r\n)");
        size_t end = all.find("\r\n\r\n");
        if (end == std::string::npos || !std::regex_search(all, m, head)) return false;
        std::smatch len;
        static const std::regex length(R"(\r\n[Cc]ontent-[Ll]ength: *(\d+)\r\n)");
        std::string headers = all.substr(0, end + 2);
        if (!std::regex_search(headers, len, length) || all.size() - end - 4 != std::stoul(len[1])) return false;
        *body = all.substr(end + 4);
        if (status) *status = std::stoi(m[1]);
        return true;
    }

private:
    std::string request_;
    int fd_ = -1;
};

// One check-in at once: the body, or "" when no answer came.
std::string checkin(int port, const std::string& query) {
    Checkin c(port, query);
    c.send_request();
    std::string body;
    return c.answer(&body) ? body : std::string();
}

// Seconds of a grant "OK 0 S"; -1 for any other answer.
long granted(const std::string& answer) {
    static const std::regex ok(R"(^OK 0 (\d+)$)");
    std::smatch m;
    return std::regex_match(answer, m, ok) ? std::stol(m[1]) : -1;
}

class ShorePostgres : public ::testing::Test {
protected:
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(testsupport::enter_private_network(&err)) << err;
        ASSERT_TRUE(pg_.start()) << pg_.error();
    }
    PostgresServer pg_;
    TempDir dir_;
};

// Two shores on one database, started at the same moment (both bring the
// new database's schema up to date), and one card tapped on boat 1 at one
// and boat 2 at the other at the same moment, round after round with the
// card sold again and the session ended in between: exactly one grant and
// one session per round, the other tap refused as in use on the winner's
// boat, both answers in the log.
TEST_F(ShorePostgres, TwoShoresOnOneDatabaseGrantACardTappedOnTwoBoatsAtOnceOnce) {
    Shore a(dir_, "a", pg_.uri(), 18081), b(dir_, "b", pg_.uri(), 18082);
    std::string why_a, why_b;
    std::thread start_b([&] { b.start(&why_b); });
    bool a_up = a.start(&why_a);
    start_b.join();
    ASSERT_TRUE(a_up) << why_a;
    ASSERT_TRUE(why_b.empty()) << why_b;
    for (const char* boat : {"1", "2"}) {
        Outcome r = a.run({"boat", "add", "--boat", boat});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    constexpr int kRounds = 40;
    // The tracker sends serials upper case, the check-in terminal lower.
    const std::string card = "0a1b2c3d";
    std::map<int, int> wins;
    std::vector<int> winners;
    for (int round = 0; round < kRounds; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        Outcome sale = a.run({"sell", "--card", round % 2 ? "0A1B2C3D" : card, "--seconds", "600"});
        ASSERT_EQ(sale.status, 0) << sale.err;
        ASSERT_EQ(sale.out.rfind("sale ", 0), 0u) << sale.out;
        // Shore a and b take turns with the boats.
        Shore* at[2] = {round % 2 ? &b : &a, round % 2 ? &a : &b};
        Checkin one(at[0]->port(), "RFID=" + card + "&BoatID=1&Kind=card");
        Checkin two(at[1]->port(), "RFID=0A1B2C3D&BoatID=2&Kind=card");
        ASSERT_TRUE(one.connected() && two.connected());
        std::atomic<bool> go {false};
        std::thread t([&] {
            while (!go.load()) {
            }
            two.send_request();
        });
        go = true;
        one.send_request();
        t.join();
        std::string answers[2];
        ASSERT_TRUE(one.answer(&answers[0])) << a.serve_log() << b.serve_log();
        ASSERT_TRUE(two.answer(&answers[1])) << a.serve_log() << b.serve_log();
        int grants = 0, winner = 0;
        for (int i = 0; i < 2; i++)
            if (granted(answers[i]) >= 0) {
                grants++;
                winner = i + 1;
                EXPECT_GE(granted(answers[i]), 590) << answers[i];
                EXPECT_LE(granted(answers[i]), 600) << answers[i];
            }
        ASSERT_EQ(grants, 1) << "boat 1: " << answers[0] << ", boat 2: " << answers[1];
        EXPECT_EQ(answers[2 - winner], "BAD in use on boat " + std::to_string(winner));
        wins[winner]++;
        winners.push_back(winner);
        Outcome end = a.run({"end", "--boat", std::to_string(winner)});
        ASSERT_EQ(end.status, 0) << end.err;
    }

    // The book: one session a round on the winner's boat, each of one
    // sale, none overlapping; every tap in the log, one grant a round.
    json sessions = b.run_json({"sessions", "--json"});
    ASSERT_TRUE(sessions.is_array()) << sessions;
    ASSERT_EQ(sessions.size(), static_cast<size_t>(kRounds));
    std::set<int64_t> session_ids;
    int64_t last_end = 0;
    for (size_t i = 0; i < sessions.size(); i++) {
        const json& s = sessions[i];
        EXPECT_EQ(s["card"], card) << s;
        EXPECT_EQ(s["boat"], winners[i]) << s;
        ASSERT_FALSE(s["ended_at"].is_null()) << s;
        EXPECT_GE(s["started_at"].get<int64_t>(), last_end) << "sessions overlap: " << s;
        last_end = s["ended_at"].get<int64_t>();
        session_ids.insert(s["id"].get<int64_t>());
    }
    json sales = b.run_json({"sales", "--json"});
    ASSERT_EQ(sales.size(), static_cast<size_t>(kRounds)) << sales;
    std::set<int64_t> used;
    for (const json& s : sales) {
        ASSERT_FALSE(s["session"].is_null()) << "a sale not used: " << s;
        EXPECT_TRUE(session_ids.count(s["session"].get<int64_t>())) << s;
        EXPECT_TRUE(used.insert(s["session"].get<int64_t>()).second) << "two sales in one session: " << s;
    }
    EXPECT_EQ(pg_.scalar("SELECT count(*) FROM checkins"), std::to_string(2 * kRounds)) << pg_.error();
    EXPECT_EQ(pg_.scalar("SELECT count(*) FROM checkins WHERE answer LIKE 'OK%' AND session IS NOT NULL"),
              std::to_string(kRounds));
    EXPECT_EQ(pg_.scalar("SELECT count(*) FROM checkins WHERE answer LIKE 'BAD in use on boat %'"),
              std::to_string(kRounds));
    EXPECT_TRUE(a.stop()) << a.serve_log();
    EXPECT_TRUE(b.stop()) << b.serve_log();
    // Both boats won some rounds: the race was a race.
    RecordProperty("wins", std::to_string(wins[1]) + ":" + std::to_string(wins[2]));
}

// What a client was answered: boat, card, kind and answer.
using Exchange = std::tuple<int64_t, std::string, std::string, std::string>;

// Check-ins keep coming from a client loop (six boats running on their
// own cards, periodic check-ins and strangers' taps; walk-up sales on a
// seventh boat, each tapped until answered and ended) while the shore is
// killed with SIGKILL and started again, four times. Afterwards: no sale
// lost or used twice, one session per sale, the running boats never
// refused, and every answer a client received is in the log.
TEST_F(ShorePostgres, ShoreKilledAndStartedAgainUnderLoadLosesNoSaleAndLogsEveryAnswerSent) {
    Shore shore(dir_, "shore", pg_.uri(), 18081);
    std::string why;
    ASSERT_TRUE(shore.start(&why)) << why;
    constexpr int kRunning = 6, kWalkUpBoat = 7;
    auto card_of = [](int boat) { return "c0de000" + std::to_string(boat); };
    std::set<int64_t> receipts;
    auto sell = [&](const std::string& card, const std::string& seconds, int boat) {
        Outcome r = shore.run({"sell", "--card", card, "--seconds", seconds, "--boat", std::to_string(boat)});
        EXPECT_EQ(r.status, 0) << r.err;
        std::smatch m;
        static const std::regex id(R"(^sale (\d+))");
        if (std::regex_search(r.out, m, id)) receipts.insert(std::stoll(m[1]));
        return r.status == 0;
    };
    for (int boat = 1; boat <= kWalkUpBoat; boat++) {
        Outcome r = shore.run({"boat", "add", "--boat", std::to_string(boat)});
        ASSERT_EQ(r.status, 0) << r.err;
        if (boat <= kRunning) {
            ASSERT_TRUE(sell(card_of(boat), "3600", boat));
        }
    }

    std::atomic<bool> stop {false};
    std::vector<Exchange> received;
    std::vector<std::string> refusals;  // a running boat refused: stopped mid-session
    int unanswered = 0;
    std::thread client([&] {
        bool started[kRunning + 1] = {};
        for (long i = 0; !stop; i++) {
            int boat = static_cast<int>(i % kRunning) + 1;
            std::string card = card_of(boat), kind = started[boat] ? "periodic" : "card";
            if (started[boat] && i % 5 == 0) {
                card = "5eed0001";  // a stranger's tap on a running boat
                kind = "card";
            }
            std::string answer =
                checkin(shore.port(), "RFID=" + card + "&BoatID=" + std::to_string(boat) + "&Kind=" + kind);
            if (answer.empty()) {
                unanswered++;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            received.emplace_back(boat, card, kind, answer);
            if (granted(answer) >= 0) started[boat] = true;
            else if (started[boat]) refusals.push_back(std::to_string(boat) + ": " + answer);
        }
    });

    // Walk-up customers on the seventh boat: a sale, the tap repeated until
    // it is answered (the shore may be down or killed mid-decision), the
    // end of the session. Meanwhile the shore is killed four times.
    std::vector<std::string> walkup_answers;
    int kills = 0;
    auto next_kill = std::chrono::steady_clock::now() + std::chrono::milliseconds(700);
    for (int k = 0; k < 16 || kills < 4; k++) {
        SCOPED_TRACE("walk-up " + std::to_string(k));
        const std::string card = "f00d" + std::to_string(1000 + k);
        ASSERT_TRUE(sell(card, "120", kWalkUpBoat));
        std::string answer;
        for (int tries = 0; answer.empty() && tries < 500; tries++) {
            answer = checkin(shore.port(), "RFID=" + card + "&BoatID=7&Kind=card");
            if (answer.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        walkup_answers.push_back(answer);
        EXPECT_GE(granted(answer), 110) << answer;
        Outcome end = shore.run({"end", "--boat", std::to_string(kWalkUpBoat)});
        ASSERT_EQ(end.status, 0) << end.err;
        if (kills < 4 && std::chrono::steady_clock::now() >= next_kill) {
            shore.kill_hard();
            kills++;
            ASSERT_TRUE(shore.start(&why)) << why;
            next_kill = std::chrono::steady_clock::now() + std::chrono::milliseconds(700);
        }
    }
    stop = true;
    client.join();
    EXPECT_TRUE(shore.stop()) << shore.serve_log();
    EXPECT_TRUE(refusals.empty()) << refusals.size() << " refusals of running boats, first " << refusals[0];
    EXPECT_GT(received.size(), 100u) << "the client loop hardly ran";

    // No sale lost, each used by exactly one session; one session per
    // running boat, still open, and one per walk-up, ended.
    json sales = shore.run_json({"sales", "--json"});
    json sessions = shore.run_json({"sessions", "--json"});
    std::map<int64_t, json> session_by_id;
    for (const json& s : sessions) session_by_id[s["id"].get<int64_t>()] = s;
    std::set<int64_t> sold, used;
    for (const json& s : sales) {
        sold.insert(s["id"].get<int64_t>());
        ASSERT_FALSE(s["session"].is_null()) << "a sale not used: " << s;
        int64_t session = s["session"].get<int64_t>();
        EXPECT_TRUE(used.insert(session).second) << "a session of two sales: " << s;
        ASSERT_TRUE(session_by_id.count(session)) << s;
        const json& of = session_by_id[session];
        EXPECT_EQ(of["card"], s["card"]) << of;
        // Ended by staff: the paid end became the end.
        const int64_t paid = of["paid_end"].get<int64_t>() - of["started_at"].get<int64_t>();
        if (of["ended_at"].is_null()) {
            EXPECT_EQ(paid, s["seconds"].get<int64_t>()) << "charged otherwise than sold: " << of << " " << s;
        } else {
            EXPECT_LE(paid, s["seconds"].get<int64_t>()) << of << " " << s;
            EXPECT_EQ(of["paid_end"], of["ended_at"]) << of;
        }
    }
    EXPECT_EQ(sold, receipts);
    EXPECT_EQ(sessions.size(), sales.size()) << "sessions without a sale";
    std::map<int64_t, int> per_boat;
    for (const json& s : sessions) {
        int64_t boat = s["boat"].get<int64_t>();
        per_boat[boat]++;
        EXPECT_EQ(s["ended_at"].is_null(), boat != kWalkUpBoat) << s;
    }
    for (int boat = 1; boat <= kRunning; boat++) EXPECT_EQ(per_boat[boat], 1) << "boat " << boat;
    EXPECT_EQ(per_boat[kWalkUpBoat], static_cast<int>(walkup_answers.size()));

    // Every answer sent is in the log, as often as it was received; every
    // grant in the log names its session, which began with a logged grant.
    PostgresServer::Rows rows;
    ASSERT_TRUE(pg_.query("SELECT boat, card, kind, answer, coalesce(session, 0) FROM checkins ORDER BY id", &rows))
        << pg_.error();
    std::map<Exchange, int> logged;
    std::set<int64_t> opened;
    for (const auto& r : rows) {
        logged[Exchange(std::stoll(r[0]), r[1], r[2], r[3])]++;
        if (granted(r[3]) < 0) continue;
        EXPECT_NE(r[4], "0") << "a grant without its session: " << r[1] << " on " << r[0];
        if (session_by_id.count(std::stoll(r[4]))) opened.insert(std::stoll(r[4]));
    }
    EXPECT_EQ(opened.size(), sessions.size()) << "sessions without a logged grant";
    std::map<Exchange, int> got;
    for (const auto& e : received) got[e]++;
    for (const auto& [e, n] : got)
        EXPECT_GE(logged[e], n) << "answered but not logged: boat " << std::get<0>(e) << " card " << std::get<1>(e)
                                << " " << std::get<2>(e) << " -> " << std::get<3>(e);
    RecordProperty("checkins_answered", std::to_string(received.size()));
    RecordProperty("unanswered", std::to_string(unanswered));
}

}  // namespace
