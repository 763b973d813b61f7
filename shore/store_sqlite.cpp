// The rental book on SQLite: one file, WAL, writers in turn (BEGIN
// IMMEDIATE takes the write lock first, so a transaction never fails half
// way for a lock), another program's writer waited for up to kBusyMs.
#include "sql.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <map>

namespace shore {

namespace {

constexpr int kBusyMs = 5000;

class SqliteConnection : public SqlConnection {
public:
    explicit SqliteConnection(const std::string& path) {
        struct stat before {};
        const bool created = stat(path.c_str(), &before) != 0 && errno == ENOENT;
        const int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                       nullptr);
        if (rc != SQLITE_OK) {
            std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
            sqlite3_close(db_);
            db_ = nullptr;
            throw SqlError("cannot open " + path + ": " + why);
        }
        if (created) give_to_folder_owner(path);
        sqlite3_busy_timeout(db_, kBusyMs);
        exec("PRAGMA foreign_keys = ON");
        auto mode = query("PRAGMA journal_mode = WAL", {});
        if (mode.empty() || mode[0][0].text != "wal") throw SqlError(path + ": WAL mode refused");
        set_sync(Durability::full);
    }
    ~SqliteConnection() override {
        for (auto& s : statements_) sqlite3_finalize(s.second);
        sqlite3_close(db_);
    }

    std::vector<SqlRow> query(const std::string& sql, const std::vector<SqlParam>& params) override {
        sqlite3_stmt* st = prepared(sql);
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
        for (size_t i = 0; i < params.size(); i++) {
            const SqlParam& p = params[i];
            const int at = static_cast<int>(i + 1);
            int rc = SQLITE_OK;
            if (p.type == SqlParam::Type::integer) rc = sqlite3_bind_int64(st, at, p.integer);
            if (p.type == SqlParam::Type::text) rc = sqlite3_bind_text(st, at, p.text.data(), static_cast<int>(p.text.size()), SQLITE_TRANSIENT);
            if (rc != SQLITE_OK) fail("bind");
        }
        std::vector<SqlRow> rows;
        for (;;) {
            const int rc = sqlite3_step(st);
            if (rc == SQLITE_DONE) break;
            if (rc != SQLITE_ROW) {
                sqlite3_reset(st);
                fail(sql.c_str());
            }
            const int n = sqlite3_column_count(st);
            SqlRow row(static_cast<size_t>(n));
            for (int c = 0; c < n; c++) {
                if (sqlite3_column_type(st, c) == SQLITE_NULL) continue;
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, c));
                row[static_cast<size_t>(c)].null = false;
                row[static_cast<size_t>(c)].text.assign(text, static_cast<size_t>(sqlite3_column_bytes(st, c)));
            }
            rows.push_back(std::move(row));
        }
        sqlite3_reset(st);
        return rows;
    }

    void begin(Durability durability) override {
        set_sync(durability);
        exec("BEGIN IMMEDIATE");
    }
    // The level of a commit cannot change inside a transaction here.
    bool harden() override { return sync_ == Durability::full; }
    void commit() override { exec("COMMIT"); }
    void rollback() noexcept override {
        if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    const char* lock_rows() const override { return ""; }
    const char* schema_lock() const override { return ""; }
    bool broken() const override { return false; }

private:
    // A book that root makes (a staff command before the server's first
    // start) belongs to the owner of its folder, the server's state folder,
    // or the server could not write it. SQLite gives its -wal and -shm
    // files to the book's owner itself.
    static void give_to_folder_owner(const std::string& path) {
        if (geteuid() != 0) return;
        const size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        struct stat st {};
        if (stat(folder.c_str(), &st) != 0 || st.st_uid == 0) return;
        if (chown(path.c_str(), st.st_uid, st.st_gid) != 0) {
            throw SqlError("cannot give " + path + " to the owner of " + folder + ": " + std::strerror(errno));
        }
    }

    [[noreturn]] void fail(const char* what) {
        throw SqlError(std::string("sqlite: ") + sqlite3_errmsg(db_) + " (" + what + ")");
    }

    void exec(const char* sql) {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(sql);
    }

    // Placeholders are written $1, $2 ... as in PostgreSQL; SQLite reads ?1, ?2.
    sqlite3_stmt* prepared(const std::string& sql) {
        auto it = statements_.find(sql);
        if (it != statements_.end()) return it->second;
        std::string text = sql;
        for (size_t i = 0; i + 1 < text.size(); i++)
            if (text[i] == '$' && text[i + 1] >= '0' && text[i + 1] <= '9') text[i] = '?';
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v3(db_, text.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) != SQLITE_OK) fail(sql.c_str());
        statements_.emplace(sql, st);
        return st;
    }

    // In WAL mode NORMAL survives a crash of the program, FULL also a power
    // cut (the log is synced at each commit).
    void set_sync(Durability d) {
        if (sync_ == d && synced_once_) return;
        exec(d == Durability::full ? "PRAGMA synchronous = FULL" : "PRAGMA synchronous = NORMAL");
        sync_ = d;
        synced_once_ = true;
    }

    sqlite3* db_ = nullptr;
    std::map<std::string, sqlite3_stmt*> statements_;
    Durability sync_ = Durability::full;
    bool synced_once_ = false;
};

}  // namespace

std::unique_ptr<SqlConnection> sqlite_connect(const std::string& path) { return std::make_unique<SqliteConnection>(path); }

// Versioned steps; a database is brought up from whatever version it has.
// Append steps, never edit one that has shipped.
const std::vector<Migration>& sqlite_migrations() {
    static const std::vector<Migration> steps = {
        {1, R"SQL(
CREATE TABLE boats (
  number INTEGER PRIMARY KEY,
  name TEXT NOT NULL DEFAULT '',
  kind TEXT NOT NULL DEFAULT 'checkin' CHECK (kind IN ('checkin', 'tracker')),
  lockout INTEGER NOT NULL DEFAULT 0,
  sends_kind INTEGER,
  last_checkin_at INTEGER
);
CREATE TABLE cards (serial TEXT PRIMARY KEY);
CREATE TABLE sessions (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  boat INTEGER NOT NULL REFERENCES boats (number),
  card TEXT NOT NULL REFERENCES cards (serial),
  started_at INTEGER NOT NULL,
  paid_end INTEGER NOT NULL,
  ended_at INTEGER,
  end_reason TEXT
);
CREATE UNIQUE INDEX sessions_open_boat ON sessions (boat) WHERE ended_at IS NULL;
CREATE UNIQUE INDEX sessions_open_card ON sessions (card) WHERE ended_at IS NULL;
CREATE TABLE sales (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  card TEXT NOT NULL REFERENCES cards (serial),
  seconds INTEGER NOT NULL CHECK (seconds > 0),
  boat INTEGER REFERENCES boats (number),
  valid_from INTEGER NOT NULL,
  valid_until INTEGER,
  sold_at INTEGER NOT NULL,
  session INTEGER REFERENCES sessions (id)
);
CREATE INDEX sales_unused ON sales (card) WHERE session IS NULL;
CREATE TABLE kills (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  boat INTEGER NOT NULL REFERENCES boats (number),
  ordered_at INTEGER NOT NULL,
  answered_at INTEGER,
  released_at INTEGER
);
CREATE UNIQUE INDEX kills_pending ON kills (boat) WHERE released_at IS NULL;
CREATE TABLE checkins (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  at INTEGER NOT NULL,
  boat INTEGER NOT NULL,
  card TEXT NOT NULL,
  kind TEXT NOT NULL,
  answer TEXT NOT NULL,
  session INTEGER
);
CREATE INDEX checkins_boat ON checkins (boat, id)
)SQL"},
    };
    return steps;
}

}  // namespace shore
