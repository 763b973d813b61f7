// A fresh rental book per case, on SQLite in a temporary folder or on a
// PostgreSQL server of the test's own, for tests that run on both.
#pragma once

#include "postgres.h"
#include "process.h"
#include "store.h"

#include <memory>
#include <string>

namespace shoretest {

class Books {
public:
    virtual ~Books() = default;
    // The DATABASE= value of an empty book; each call empties it anew.
    virtual std::string fresh() = 0;
    // False with a reason when the database cannot be had here.
    virtual bool ready(std::string* why) = 0;
};

class SqliteBooks : public Books {
public:
    std::string fresh() override;
    bool ready(std::string*) override { return true; }

private:
    testsupport::TempDir dir_;
    int count_ = 0;
};

// Starts its server in the calling process's network namespace (entered
// here when the process has none of its own yet).
class PostgresBooks : public Books {
public:
    std::string fresh() override;
    bool ready(std::string* why) override;
    testsupport::PostgresServer& server() { return pg_; }

private:
    testsupport::PostgresServer pg_;
    bool started_ = false;
};

std::unique_ptr<Books> make_books(const std::string& which);

}  // namespace shoretest
