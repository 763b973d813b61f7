// A MariaDB server of the test's own on a copy of a data directory with the
// tracker's schema (made once by the fixture, or by make_template), and the
// administrator's connection to it through its socket. The server listens
// on 127.0.0.1:3306 of the test's network namespace.
#pragma once

#include <mysql.h>

#include <string>

namespace testsupport {

class MariaDb {
public:
    MariaDb() = default;
    ~MariaDb();  // closes the connection and stops the server
    MariaDb(const MariaDb&) = delete;
    MariaDb& operator=(const MariaDb&) = delete;
    // A fresh data directory with the schema in `dir`; no server left
    // running. The tests' fixture makes kTemplate so.
    static bool make_template(const std::string& dir, std::string* error);
    static const char* const kTemplate;
    // Starts the server in `dir` on a copy of `tmpl` and connects.
    bool start(const std::string& dir, const std::string& tmpl = kTemplate);
    bool ok() const { return conn_ != nullptr; }
    const std::string& error() const { return error_; }
    // The server's folder (its mysqld.pid, mysqld.sock).
    const std::string& dir() const { return dir_; }
    // A statement; a lost connection (a restarted server) is made anew once.
    bool exec(const std::string& sql);
    // The connection the last exec used, for its result.
    MYSQL* connection() { return conn_; }
    // The server script on this server: "stop" or "resume".
    bool control(const std::string& command);

private:
    bool connect();
    MYSQL* conn_ = nullptr;
    std::string dir_;
    std::string error_;
};

}  // namespace testsupport
