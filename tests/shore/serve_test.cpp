// boat_shore serve as built, in a network of the test's own: check-ins
// answered from the book over HTTP and HTTPS, malformed requests refused
// before they reach it, a failing database answered as a failed check-in
// (never a refusal, which would stop a paying customer's boat), systemd
// told, and a clean stop.
#include "book.h"
#include "private_mounts.h"
#include "shore_program.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

using namespace testsupport;
using shoretest::Reply;
using shoretest::ShoreProgram;

namespace {

class Serve : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a network and mounts of its own";
        std::string why;
        ASSERT_TRUE(enter_private_host(&why)) << why;
    }

    // Boats 3 and 4, and 600 s on card 0a1b2c3d.
    static void fleet(ShoreProgram& shore) {
        ASSERT_EQ(shore.run({"boat", "add", "--boat", "3"}).status, 0);
        ASSERT_EQ(shore.run({"boat", "add", "--boat", "4", "--kind", "tracker"}).status, 0);
        ASSERT_EQ(shore.run({"sell", "--card", "0A1B2C3D", "--seconds", "600"}).out.rfind("sale 1 ", 0), 0u);
    }

    static nlohmann::json json_of(ShoreProgram& shore, const std::vector<std::string>& args) {
        const shoretest::Run r = shore.run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return nlohmann::json::parse(r.out, nullptr, false);
    }

    // The seconds of a grant; -1 for any other answer.
    static long granted(const Reply& r) {
        long s = -1;
        if (r.status == 200 && r.body.rfind("OK 0 ", 0) == 0) s = std::stol(r.body.substr(5));
        return s;
    }
};

TEST_F(Serve, AnswersCheckinsFromTheBook) {
    TempDir data;
    ShoreProgram shore("sqlite:" + data.file("shore.db"));
    fleet(shore);
    ASSERT_TRUE(shore.start()) << shore.server_err();
    EXPECT_NE(shore.server_err().find("boat_shore: serving http://127.0.0.1:8080"), std::string::npos);

    // The tracker's upper-case serial is the same card.
    EXPECT_EQ(shore.checkin("RFID=0a1b2c3d&BoatID=3&Kind=card").body, "OK 0 600");
    EXPECT_EQ(shore.checkin("RFID=0A1B2C3D&BoatID=4&Kind=card").body, "BAD in use on boat 3");
    const long stranger = granted(shore.checkin("RFID=ff00ff00&BoatID=3"));
    EXPECT_GE(stranger, 598);
    EXPECT_LE(stranger, 600);
    EXPECT_EQ(shore.checkin("RFID=0a1b2c3d&BoatID=4&Kind=periodic").body, "BAD no time");
    EXPECT_EQ(shore.checkin("RFID=0a1b2c3d&BoatID=9").body, "BAD unknown boat");

    auto status = json_of(shore, {"status", "--json"});
    ASSERT_EQ(status.size(), 2u) << status;
    EXPECT_EQ(status[0]["running"], true);
    EXPECT_EQ(status[0]["card"], "0a1b2c3d");
    EXPECT_EQ(status[0]["sends_kind"], false);  // its last check-in said no Kind
    EXPECT_EQ(status[1]["running"], false);
    EXPECT_EQ(status[1]["sends_kind"], true);

    ASSERT_EQ(shore.run({"kill", "--boat", "3"}).status, 0);
    EXPECT_TRUE(json_of(shore, {"status", "--json"})[0]["kill_answered_at"].is_null());
    EXPECT_EQ(shore.checkin("RFID=0a1b2c3d&BoatID=3&Kind=periodic").body, "KILL");
    EXPECT_EQ(shore.checkin("RFID=0a1b2c3d&BoatID=3&Kind=card").body, "KILL");
    status = json_of(shore, {"status", "--json"});
    EXPECT_EQ(status[0]["kill_pending"], true);
    EXPECT_TRUE(status[0]["kill_answered_at"].is_number()) << status[0];
    ASSERT_EQ(shore.run({"release", "--boat", "3"}).status, 0);
    EXPECT_EQ(shore.checkin("RFID=0a1b2c3d&BoatID=3&Kind=periodic").body, "BAD no time");

    auto sessions = json_of(shore, {"sessions", "--json"});
    ASSERT_EQ(sessions.size(), 1u) << sessions;
    EXPECT_EQ(sessions[0]["end_reason"], "kill");
    auto sales = json_of(shore, {"sales", "--json"});
    ASSERT_EQ(sales.size(), 1u);
    EXPECT_EQ(sales[0]["session"], sessions[0]["id"]);
}

TEST_F(Serve, RefusesMalformedCheckinsBeforeTheBook) {
    TempDir data;
    ShoreProgram shore("sqlite:" + data.file("shore.db"));
    fleet(shore);
    ASSERT_TRUE(shore.start()) << shore.server_err();
    const std::string many_digits(22, 'a');
    const std::string long_pad(300, 'x');
    const std::vector<std::string> queries = {
        "RFID=zz&BoatID=3",
        "RFID=0a1b2c3d&BoatID=-3",
        "RFID=0a1b2c3d&BoatID=2147483648",
        "RFID=0a1b2c3d&BoatID=3x",
        "RFID=0a1b2c3d&BoatID=",
        "RFID=0a1b2c3d",
        "BoatID=3",
        "RFID=0a1b2c3d&BoatID=3&Kind=later",
        "RFID=0a1b2c3d&BoatID=3&Kind=",
        "RFID=0a1b2c3d&BoatID=3&RFID=0a1b2c3d",
        "RFID=0a1b2c3d&BoatID=3&BoatID=4",
        "RFID=0a1b2c3d&BoatID=3&extra=1",
        "RFID=" + many_digits + "&BoatID=3",
        "RFID=0a1b2c3d%00&BoatID=3",
        "RFID=0a1b2c3d&BoatID=3&Kind=card&pad=" + long_pad,
        "RFID=0a1b%202c3d&BoatID=3",
        "",
    };
    for (const std::string& q : queries) {
        const Reply r = shore.checkin(q);
        EXPECT_EQ(r.status, 400) << q;
        EXPECT_EQ(r.body, "BAD bad request") << q;
    }
    // Too long for the server's request line: still a refusal, never a grant.
    const Reply huge = shore.checkin("RFID=0a&BoatID=3&pad=" + std::string(9000, 'x'));
    EXPECT_GE(huge.status, 400);
    EXPECT_EQ(huge.body.rfind("BAD", 0), 0u) << huge.body;
    const Reply post = shore.get("/hullgate/checkin.php?RFID=0a1b2c3d&BoatID=3", "", "POST");
    EXPECT_GE(post.status, 400);
    EXPECT_EQ(post.body.rfind("BAD", 0), 0u) << post.body;
    // HEAD would run the handler of GET: refused, so nothing is charged for an unread answer.
    EXPECT_EQ(shore.get("/hullgate/checkin.php?RFID=0a1b2c3d&BoatID=3", "", "HEAD").status, 400);
    const Reply other = shore.get("/other.php?RFID=0a1b2c3d&BoatID=3");
    EXPECT_EQ(other.status, 404);
    EXPECT_EQ(other.body, "not found");

    // Nothing refused reached the book: no log line, no session, no charge.
    auto book = shore::open_store("sqlite:" + data.file("shore.db"));
    int64_t logged = -1;
    book->read([&](shore::SqlConnection& db) { logged = db.query("SELECT count(*) FROM checkins")[0][0].integer(); });
    EXPECT_EQ(logged, 0);
    EXPECT_FALSE(book->sales()[0].session.has_value());
    EXPECT_FALSE(book->boats()[0].last_checkin_at.has_value());
}

TEST_F(Serve, HttpsWithTheCertificateOfItsSettings) {
    TempDir tls;
    Process certs({{"/bin/sh", std::string(BOAT_SOURCE_DIR) + "/tests/checkin/tls_certs.sh", tls.path()}, {}, "", "", "", ""});
    ASSERT_TRUE(certs.wait_exit(60000));
    ASSERT_EQ(certs.exit_status(), 0);
    TempDir data;
    ShoreProgram shore("sqlite:" + data.file("shore.db"),
                       "CERT=" + tls.file("good.pem") + "\nKEY=" + tls.file("server.key") + "\n");
    fleet(shore);
    ASSERT_TRUE(shore.start()) << shore.server_err();
    EXPECT_NE(shore.server_err().find("serving https://127.0.0.1:8080"), std::string::npos) << shore.server_err();
    EXPECT_EQ(shore.checkin("RFID=0a1b2c3d&BoatID=3&Kind=card", tls.file("ca.pem")).body, "OK 0 600");
    EXPECT_EQ(shore.checkin("RFID=0a1b2c3d&BoatID=3&Kind=card").status, 0) << "plain http is not served";

    // A key without its certificate is a settings error, before anything runs.
    ShoreProgram half("sqlite:" + data.file("shore.db"), "KEY=" + tls.file("server.key") + "\n");
    const shoretest::Run r = half.run({"serve"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("CERT= and KEY= go together"), std::string::npos) << r.err;
}

// The book on a file system that fills up: the check-ins that cannot be
// written are answered 503 with a body that is no BAD (a terminal keeps
// its boat as it is) and charge nothing; once there is room again the
// running session is granted as before.
TEST_F(Serve, FullDiskIsAFailedCheckinNeverARefusal) {
    TempDir disk;
    ASSERT_EQ(mount("tmpfs", disk.path().c_str(), "tmpfs", 0, "size=1m"), 0) << strerror(errno);
    struct Unmount {
        const std::string& path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{disk.path()};
    ShoreProgram shore("sqlite:" + disk.file("shore.db"));
    fleet(shore);
    ASSERT_EQ(shore.run({"sell", "--card", "beef", "--seconds", "300"}).status, 0);
    ASSERT_TRUE(shore.start()) << shore.server_err();
    ASSERT_EQ(shore.checkin("RFID=0a1b2c3d&BoatID=3&Kind=card").body, "OK 0 600");

    {
        std::ofstream filler(disk.file("filler"), std::ios::binary);
        const std::string block(4096, 'f');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) && filler.flush()) {
        }
    }
    for (const char* q : {"RFID=0a1b2c3d&BoatID=3&Kind=periodic", "RFID=beef&BoatID=4&Kind=card"}) {
        const Reply r = shore.checkin(q);
        EXPECT_EQ(r.status, 503) << q;
        EXPECT_EQ(r.body, "database unavailable") << q;
    }
    EXPECT_NE(shore.server_err().find("boat_shore: database unavailable"), std::string::npos) << shore.server_err();

    ASSERT_EQ(unlink(disk.file("filler").c_str()), 0);
    const long left = granted(shore.checkin("RFID=0a1b2c3d&BoatID=3&Kind=periodic"));
    EXPECT_GE(left, 590);
    EXPECT_LE(left, 600);
    EXPECT_NE(shore.server_err().find("database answers again"), std::string::npos);
    auto sales = json_of(shore, {"sales", "--json"});
    ASSERT_EQ(sales.size(), 2u);
    EXPECT_TRUE(sales[1]["session"].is_null()) << "the refused tap charged nothing";
    EXPECT_EQ(shore.checkin("RFID=beef&BoatID=4&Kind=card").body, "OK 0 300");
}

// The same on PostgreSQL: the database stopped under a running boat, and
// back.
TEST_F(Serve, PostgresStoppedIsAFailedCheckinAndServesWhenBack) {
    PostgresServer pg;
    ASSERT_TRUE(pg.start()) << pg.error();
    ShoreProgram shore(pg.uri());
    fleet(shore);
    ASSERT_TRUE(shore.start()) << shore.server_err();
    ASSERT_EQ(shore.checkin("RFID=0a1b2c3d&BoatID=3&Kind=card").body, "OK 0 600");

    ASSERT_TRUE(pg.stop()) << pg.error();
    const Reply r = shore.checkin("RFID=0a1b2c3d&BoatID=3&Kind=periodic");
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.body, "database unavailable");
    const shoretest::Run staff = shore.run({"status"});
    EXPECT_EQ(staff.status, 1);
    EXPECT_EQ(staff.err.rfind("boat_shore: cannot reach the database", 0), 0u) << staff.err;

    ASSERT_TRUE(pg.resume()) << pg.error();
    const long left = granted(shore.checkin("RFID=0a1b2c3d&BoatID=3&Kind=periodic"));
    EXPECT_GE(left, 580);
    EXPECT_LE(left, 600);
}

// Under systemd: READY once it listens, the watchdog fed, and SIGTERM ends
// it with status 0.
TEST_F(Serve, TellsSystemdAndStopsOnSigterm) {
    TempDir data;
    const std::string sock_path = data.file("notify");
    const int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock_path.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    timeval tv{0, 200000};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    ShoreProgram shore("sqlite:" + data.file("shore.db"));
    ASSERT_TRUE(shore.start({"NOTIFY_SOCKET=" + sock_path, "WATCHDOG_USEC=400000"})) << shore.server_err();
    std::string heard;
    wait_until(
        [&] {
            char buf[256];
            const ssize_t n = recv(sock, buf, sizeof buf, 0);
            if (n > 0) heard += std::string(buf, static_cast<size_t>(n)) + "\n";
            return heard.find("READY=1") != std::string::npos && heard.find("WATCHDOG=1") != std::string::npos;
        },
        10000, 0);
    EXPECT_NE(heard.find("READY=1"), std::string::npos) << heard;
    EXPECT_NE(heard.find("WATCHDOG=1"), std::string::npos) << heard;

    ASSERT_EQ(kill(shore.server().pid(), SIGTERM), 0);
    ASSERT_TRUE(shore.server().wait_exit(10000));
    EXPECT_EQ(shore.server().exit_status(), 0);
    EXPECT_NE(shore.server_err().find("boat_shore: stopped"), std::string::npos);
    close(sock);
}

}  // namespace
