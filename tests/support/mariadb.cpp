#include "mariadb.h"

#include "process.h"

#include <vector>

namespace testsupport {

const char* const MariaDb::kTemplate = BOAT_TEST_DB_TEMPLATE;

namespace {

// The server script, bounded: its own waits are, and this one is too.
bool db_script(const std::vector<std::string>& args, const std::string& err_path, std::string* error) {
    std::vector<std::string> argv = {BOAT_TEST_DB_SCRIPT};
    argv.insert(argv.end(), args.begin(), args.end());
    Process p({argv, {}, "", "", err_path, ""});
    if (p.wait_exit(120000) && p.exit_status() == 0) return true;
    if (error) *error = "mariadb.sh " + args[0] + " failed: " + read_file(err_path);
    return false;
}

}  // namespace

bool MariaDb::make_template(const std::string& dir, std::string* error) {
    return db_script({"template", dir}, dir + ".err", error);
}

MariaDb::~MariaDb() {
    if (conn_) mysql_close(conn_);
    if (!dir_.empty()) control("stop");
}

bool MariaDb::start(const std::string& dir, const std::string& tmpl) {
    dir_ = dir;
    if (!db_script({"start", dir_, tmpl}, dir_ + ".err", &error_)) {
        error_ = "the test's database server did not start: " + error_ + " (its data directory " + tmpl +
                 " is made by the fixture test tracker.mariadb.template)";
        return false;
    }
    return connect();
}

bool MariaDb::connect() {
    if (conn_) mysql_close(conn_);
    conn_ = mysql_init(nullptr);
    const std::string sock = dir_ + "/mysqld.sock";
    if (!mysql_real_connect(conn_, "localhost", "root", nullptr, "GPSTracker", 0, sock.c_str(), 0)) {
        error_ = std::string("cannot reach the test's database server (") + mysql_error(conn_) + ")";
        mysql_close(conn_);
        conn_ = nullptr;
        return false;
    }
    return true;
}

bool MariaDb::exec(const std::string& sql) {
    if (!conn_ && !connect()) return false;
    if (mysql_query(conn_, sql.c_str()) != 0) {
        // The server may have been restarted under us: once more, anew.
        if (!connect() || mysql_query(conn_, sql.c_str()) != 0) {
            if (conn_) error_ = mysql_error(conn_);
            return false;
        }
    }
    return true;
}

bool MariaDb::control(const std::string& command) { return db_script({command, dir_}, dir_ + ".err", &error_); }

}  // namespace testsupport
