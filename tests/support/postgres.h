// A PostgreSQL 15 server of one test's own, for whole-program tests of the
// shore side. A template data directory (a database "shore" owned by the
// role "shore", trust authentication) is made once per build tree; each
// server starts on a copy of it in a temporary folder, listens on
// 127.0.0.1:PORT of the calling process's network namespace (call
// enter_private_network first, as every whole-program test does) and on a
// socket in that folder, and runs as the unprivileged user "postgres", as
// PostgreSQL refuses root. Every wait is bounded; the server dies with the
// test process even when the test crashes.
#pragma once

#include "process.h"

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

constexpr int kPostgresPort = 5432;

class PostgresServer {
public:
    using Rows = std::vector<std::vector<std::string>>;
    // A NULL field in Rows, as COPY writes it.
    static constexpr const char* kNull = "\\N";

    PostgresServer() = default;
    ~PostgresServer();  // stops the server and removes its folder
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // A fresh server on a copy of the template (made first when missing).
    // False with error() when it does not answer within its bound.
    bool start(int port = kPostgresPort);
    // Fast shutdown (open connections are cut); the data stays for resume().
    bool stop();
    bool resume();
    bool running();

    const std::string& error() const { return error_; }
    const std::string& dir() const { return dir_; }
    int port() const { return port_; }
    // libpq URIs over TCP: the application's role (owns database "shore",
    // no superuser) and the superuser's, for checks and faults.
    std::string uri() const;
    std::string admin_uri() const;

    // Runs `sql` as the superuser on database "shore"; the rows of its
    // last result as text. False with error() on failure.
    bool query(const std::string& sql, Rows* rows = nullptr);
    // The first field of the first row; kNull when there is none.
    std::string scalar(const std::string& sql);

private:
    bool launch();
    std::string log_tail() const;
    std::unique_ptr<Process> proc_;
    std::string dir_;
    std::string error_;
    int port_ = kPostgresPort;
};

}  // namespace testsupport
