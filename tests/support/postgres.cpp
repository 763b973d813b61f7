#include "postgres.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace testsupport {

namespace {

constexpr const char* kServerUser = "postgres";
constexpr const char* kDatabase = "shore";
constexpr const char* kAppRole = "shore";
constexpr int kStartMs = 60000;
constexpr int kStopMs = 20000;
constexpr int kInitdbMs = 120000;

std::string pg_bin(const char* name) { return std::string(BOAT_PG_BIN_DIR) + "/" + name; }

// The server runs as the unprivileged user, and with the test process's
// death (a crashed test leaves no server behind in its namespace).
std::vector<std::string> as_server_user(std::vector<std::string> argv, bool die_with_parent) {
    std::vector<std::string> out = {"/usr/bin/setpriv", std::string("--reuid=") + kServerUser,
                                    std::string("--regid=") + kServerUser, "--clear-groups"};
    if (die_with_parent) out.push_back("--pdeathsig=KILL");
    out.push_back("--");
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

bool shell(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool run_bounded(const std::vector<std::string>& argv, const std::string& in, const std::string& log, int ms) {
    ProcessOptions o;
    o.argv = argv;
    o.stdin_path = in;
    o.stdout_path = log;
    o.stderr_path = log + ".err";
    Process p(o);
    if (p.pid() <= 0) return false;
    if (!p.wait_exit(ms)) {
        p.stop(1000);
        return false;
    }
    return p.exit_status() == 0;
}

std::string make_folder(std::string* err) {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/boatpg.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        *err = std::string("mkdtemp: ") + strerror(errno);
        return "";
    }
    std::string dir = buf.data();
    passwd* pw = getpwnam(kServerUser);
    if (!pw || chown(dir.c_str(), pw->pw_uid, pw->pw_gid) != 0 || chmod(dir.c_str(), 0755) != 0) {
        *err = std::string("no user ") + kServerUser + " to own " + dir + " (scripts/setup installs postgresql)";
        shell("rm -rf " + quoted(dir));
        return "";
    }
    return dir;
}

// Settings for a throwaway server: small, no sync to disk (the server is
// never the process a test kills), dynamic shared memory as files in its
// own folder, so a killed server leaves nothing in the host's /dev/shm or
// System V segments.
constexpr const char* kTestSettings =
    "\n# boat tests\n"
    "listen_addresses = ''\n"
    "shared_buffers = 16MB\n"
    "max_connections = 60\n"
    "dynamic_shared_memory_type = mmap\n"
    "fsync = off\n"
    "full_page_writes = off\n"
    "synchronous_commit = off\n"
    "logging_collector = off\n"
    "log_min_messages = warning\n";

// The template: initdb as the server user in a scratch folder, the role and
// database made in single-user mode, then copied into the build tree. One
// process makes it; the others wait on the lock.
bool ensure_template(std::string* err) {
    const std::string tmpl = BOAT_PG_TEMPLATE;
    if (access((tmpl + "/PG_VERSION").c_str(), F_OK) == 0) return true;
    int lock = open((tmpl + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) {
        *err = "cannot lock " + tmpl + ".lock: " + strerror(errno);
        if (lock >= 0) close(lock);
        return false;
    }
    bool ok = access((tmpl + "/PG_VERSION").c_str(), F_OK) == 0;
    std::string scratch;
    if (!ok) scratch = make_folder(err);
    if (!ok && !scratch.empty()) {
        const std::string data = scratch + "/data";
        const std::string sql = scratch + "/setup.sql";
        write_file(sql, std::string("CREATE ROLE ") + kAppRole + " LOGIN;\nCREATE DATABASE " + kDatabase +
                            " OWNER " + kAppRole + ";\n");
        ok = run_bounded(as_server_user({pg_bin("initdb"), "-D", data, "-U", kServerUser, "--auth=trust",
                                         "--encoding=UTF8", "--locale=C", "--no-sync"},
                                        false),
                         "", scratch + "/initdb.log", kInitdbMs);
        if (!ok) *err = "initdb failed: " + read_file(scratch + "/initdb.log.err");
        ok = ok && run_bounded(as_server_user({pg_bin("postgres"), "--single", "-D", data, "postgres"}, false), sql,
                               scratch + "/single.log", kInitdbMs);
        if (!ok && err->empty()) *err = "creating the role and database failed: " + read_file(scratch + "/single.log.err");
        if (ok) {
            write_file(scratch + "/settings", kTestSettings);
            ok = shell("cat " + quoted(scratch + "/settings") + " >> " + quoted(data + "/postgresql.conf")) &&
                 shell("rm -rf " + quoted(tmpl + ".tmp") + " && cp -a " + quoted(data) + " " +
                       quoted(tmpl + ".tmp") + " && mv " + quoted(tmpl + ".tmp") + " " + quoted(tmpl));
            if (!ok) *err = "cannot copy the template data directory to " + tmpl;
        }
        shell("rm -rf " + quoted(scratch));
    }
    flock(lock, LOCK_UN);
    close(lock);
    return ok;
}

std::string conninfo(int port, const char* user) {
    return "postgresql://" + std::string(user) + "@127.0.0.1:" + std::to_string(port) + "/" + kDatabase;
}

}  // namespace

PostgresServer::~PostgresServer() {
    stop();
    if (!dir_.empty()) shell("rm -rf " + quoted(dir_));
}

bool PostgresServer::start(int port) {
    port_ = port;
    error_.clear();
    if (!ensure_template(&error_)) return false;
    dir_ = make_folder(&error_);
    if (dir_.empty()) return false;
    if (!shell("cp -a " + quoted(BOAT_PG_TEMPLATE) + " " + quoted(dir_ + "/data"))) {
        error_ = "cannot copy the template data directory into " + dir_;
        return false;
    }
    return launch();
}

bool PostgresServer::resume() {
    error_.clear();
    if (dir_.empty()) {
        error_ = "resume without start";
        return false;
    }
    return launch();
}

bool PostgresServer::launch() {
    if (port_open(port_)) {
        error_ = "127.0.0.1:" + std::to_string(port_) + " is already taken by another program";
        return false;
    }
    ProcessOptions o;
    o.argv = as_server_user({pg_bin("postgres"), "-D", dir_ + "/data", "-k", dir_, "-h", "127.0.0.1", "-p",
                             std::to_string(port_)},
                            true);
    o.stderr_path = dir_ + "/server.log";
    o.stdout_path = dir_ + "/server.out";
    proc_ = std::make_unique<Process>(o);
    if (proc_->pid() <= 0) {
        error_ = "cannot fork the server";
        return false;
    }
    const std::string probe = conninfo(port_, kServerUser);
    bool up = wait_until([&] { return !proc_->running() || PQping(probe.c_str()) == PQPING_OK; }, kStartMs, 20);
    if (!up || !proc_->running()) {
        error_ = std::string(up ? "the server exited during start-up" : "the server did not answer in time") +
                 ": " + log_tail();
        proc_->stop(1000);
        return false;
    }
    return true;
}

bool PostgresServer::stop() {
    if (!proc_) return true;
    bool clean = true;
    if (proc_->running()) {
        // SIGINT: fast shutdown, which does not wait for clients to leave.
        kill(proc_->pid(), SIGINT);
        clean = proc_->wait_exit(kStopMs);
        if (!clean) error_ = "the server did not stop in time: " + log_tail();
        proc_->stop(1000);
    }
    proc_.reset();
    return clean;
}

bool PostgresServer::running() { return proc_ && proc_->running(); }

std::string PostgresServer::uri() const { return conninfo(port_, kAppRole); }

std::string PostgresServer::admin_uri() const { return conninfo(port_, kServerUser); }

bool PostgresServer::query(const std::string& sql, Rows* rows) {
    PGconn* c = PQconnectdb(admin_uri().c_str());
    bool ok = PQstatus(c) == CONNECTION_OK;
    if (!ok) error_ = PQerrorMessage(c);
    PGresult* r = ok ? PQexec(c, sql.c_str()) : nullptr;
    if (ok) {
        ExecStatusType st = PQresultStatus(r);
        ok = st == PGRES_TUPLES_OK || st == PGRES_COMMAND_OK;
        if (!ok) error_ = PQresultErrorMessage(r);
    }
    if (ok && rows) {
        rows->clear();
        for (int i = 0; i < PQntuples(r); i++) {
            std::vector<std::string> row;
            for (int j = 0; j < PQnfields(r); j++) row.push_back(PQgetisnull(r, i, j) ? kNull : PQgetvalue(r, i, j));
            rows->push_back(std::move(row));
        }
    }
    PQclear(r);
    PQfinish(c);
    return ok;
}

std::string PostgresServer::scalar(const std::string& sql) {
    Rows rows;
    if (!query(sql, &rows) || rows.empty() || rows[0].empty()) return kNull;
    return rows[0][0];
}

std::string PostgresServer::log_tail() const {
    std::string log = read_file(dir_ + "/server.log");
    return log.size() > 2000 ? log.substr(log.size() - 2000) : log;
}

}  // namespace testsupport
