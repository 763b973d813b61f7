// The one seam between the rental book and a database: parameterised
// statements ($1, $2 ... in every dialect), write transactions and the few
// named differences of the dialects. A file per database implements it.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace shore {

// The database failed or cannot be reached. The book is unchanged: the
// transaction that met it is rolled back.
class SqlError : public std::runtime_error {
public:
    explicit SqlError(const std::string& what) : std::runtime_error(what) {}
};

struct SqlParam {
    enum class Type { null, integer, text };
    Type type = Type::null;
    int64_t integer = 0;
    std::string text;

    SqlParam() = default;
    SqlParam(std::nullptr_t) {}
    SqlParam(int64_t v) : type(Type::integer), integer(v) {}
    SqlParam(int v) : type(Type::integer), integer(v) {}
    SqlParam(std::string v) : type(Type::text), text(std::move(v)) {}
    SqlParam(const char* v) : type(Type::text), text(v) {}
};

struct SqlValue {
    bool null = true;
    std::string text;
    int64_t integer() const;  // 0 for NULL
};
using SqlRow = std::vector<SqlValue>;

// How much a commit must survive.
enum class Durability {
    full,     // a power cut: sales charged, staff orders
    relaxed,  // a crash of the program only: the check-in log of answers that charge nothing
};

class SqlConnection {
public:
    virtual ~SqlConnection() = default;
    // One statement with $N placeholders; the rows it returns.
    virtual std::vector<SqlRow> query(const std::string& sql, const std::vector<SqlParam>& params = {}) = 0;
    // A write transaction; `durability` is what its commit promises.
    virtual void begin(Durability durability) = 0;
    // Raises a relaxed transaction to full durability before its commit;
    // false where the level is fixed at begin() (then the caller starts
    // over at full).
    virtual bool harden() = 0;
    virtual void commit() = 0;
    virtual void rollback() noexcept = 0;
    // What follows a SELECT that locks its rows until the commit (empty
    // where the transaction itself already holds the whole database).
    virtual const char* lock_rows() const = 0;
    // A statement that makes other programs wait for this transaction's
    // schema changes (empty where begin() already does).
    virtual const char* schema_lock() const = 0;
    // The link failed: the connection is dropped, not reused.
    virtual bool broken() const = 0;
};

// Brings the database's schema up to date; run once at start, in one
// transaction per step.
struct Migration {
    int version;
    const char* sql;  // statements separated by ";\n"
};
void migrate(SqlConnection& db, const std::vector<Migration>& steps);

std::unique_ptr<SqlConnection> sqlite_connect(const std::string& path);
std::unique_ptr<SqlConnection> pg_connect(const std::string& uri);
const std::vector<Migration>& sqlite_migrations();
const std::vector<Migration>& pg_migrations();

}  // namespace shore
