// The PostgreSQL fixture itself: a server that answers, keeps its data over
// a stop and resume, and leaves neither process nor folder behind.
#include "postgres.h"
#include "private_mounts.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sys/stat.h>

#include <dirent.h>

namespace {

using testsupport::PostgresServer;

// Processes whose command line names `needle`.
int processes_naming(const std::string& needle) {
    int n = 0;
    DIR* d = opendir("/proc");
    while (dirent* e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
        std::string cmd = testsupport::read_file(std::string("/proc/") + e->d_name + "/cmdline");
        if (cmd.find(needle) != std::string::npos) n++;
    }
    if (d) closedir(d);
    return n;
}

// As the application connects: its own role, over TCP.
std::string app_exec(const std::string& uri, const std::string& sql) {
    PGconn* c = PQconnectdb(uri.c_str());
    std::string out = PQstatus(c) == CONNECTION_OK ? "" : std::string("connect: ") + PQerrorMessage(c);
    if (out.empty()) {
        PGresult* r = PQexec(c, sql.c_str());
        ExecStatusType st = PQresultStatus(r);
        if (st == PGRES_TUPLES_OK && PQntuples(r) > 0) out = PQgetvalue(r, 0, 0);
        else if (st != PGRES_COMMAND_OK) out = std::string("error: ") + PQresultErrorMessage(r);
        PQclear(r);
    }
    PQfinish(c);
    return out;
}

TEST(PostgresFixture, AnswersKeepsItsDataOverARestartAndLeavesNothingBehind) {
    std::string err;
    ASSERT_TRUE(testsupport::enter_private_network(&err)) << err;
    std::string dir;
    {
        PostgresServer pg;
        ASSERT_TRUE(pg.start()) << pg.error();
        dir = pg.dir();
        EXPECT_EQ(pg.scalar("SELECT 1"), "1") << pg.error();
        // Not a superuser, yet able to make its schema in its database.
        EXPECT_EQ(pg.scalar("SELECT rolsuper FROM pg_roles WHERE rolname = 'shore'"), "f");
        EXPECT_EQ(app_exec(pg.uri(), "CREATE TABLE t (v integer)"), "");
        EXPECT_EQ(app_exec(pg.uri(), "INSERT INTO t VALUES (7)"), "");
        // A child just forked still shows its postmaster's command line.
        EXPECT_GE(processes_naming(dir + "/data"), 1) << "no server on this folder";

        ASSERT_TRUE(pg.stop()) << pg.error();
        EXPECT_FALSE(testsupport::port_open(pg.port()));
        EXPECT_NE(PQping(pg.uri().c_str()), PQPING_OK);
        ASSERT_TRUE(pg.resume()) << pg.error();
        EXPECT_EQ(app_exec(pg.uri(), "SELECT v FROM t"), "7");
        PostgresServer::Rows rows;
        ASSERT_TRUE(pg.query("SELECT v, NULL FROM t", &rows)) << pg.error();
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0], (std::vector<std::string>{"7", PostgresServer::kNull}));
        EXPECT_FALSE(pg.query("SELECT * FROM no_such_table"));
        EXPECT_NE(pg.error().find("no_such_table"), std::string::npos) << pg.error();
    }
    struct stat st {};
    EXPECT_NE(stat(dir.c_str(), &st), 0) << dir << " is left behind";
    EXPECT_EQ(processes_naming(dir + "/data"), 0) << "a server process is left behind";
    EXPECT_FALSE(testsupport::port_open(testsupport::kPostgresPort));
}

}  // namespace
