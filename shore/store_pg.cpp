// The rental book on PostgreSQL 15 through libpq: a fleet's shore servers
// share one database. Rows a decision reads are locked (SELECT ... FOR NO
// KEY UPDATE) until its commit; the unique indexes on open sessions stand
// behind the locks.
#include "sql.h"

#include <libpq-fe.h>

#include <map>

namespace shore {

namespace {

// libpq's messages run over lines; staff get one.
std::string one_line(const char* text) {
    std::string out;
    for (const char* p = text; *p; p++) {
        if (*p == '\n' || *p == '\t') {
            if (!out.empty() && out.back() != ' ') out += p[1] ? "; " : "";
        } else {
            out += *p;
        }
    }
    while (!out.empty() && (out.back() == ' ' || out.back() == ';')) out.pop_back();
    return out;
}

// A database that does not answer within this is unreachable: the server
// answers the terminal that the check-in failed rather than hold it.
constexpr const char* kConnectTimeoutS = "5";

class PgConnection : public SqlConnection {
public:
    explicit PgConnection(const std::string& uri) {
        // A database that stops answering mid-way (a cut link) is found out
        // within seconds rather than holding the server's threads; a row
        // lock held that long by another program fails the check-in.
        const char* keys[] = {"dbname",        "connect_timeout",    "application_name", "keepalives",
                              "keepalives_idle", "keepalives_interval", "keepalives_count", "tcp_user_timeout",
                              "options",       nullptr};
        const char* values[] = {uri.c_str(), kConnectTimeoutS, "boat_shore", "1", "5", "2", "3", "10000",
                                "-c statement_timeout=10000", nullptr};
        conn_ = PQconnectdbParams(keys, values, 1);
        if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
            const std::string why = conn_ ? one_line(PQerrorMessage(conn_)) : "out of memory";
            PQfinish(conn_);
            conn_ = nullptr;
            throw SqlError("cannot reach the database: " + why);
        }
        PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
        exec("SET client_min_messages = warning");
    }
    ~PgConnection() override { PQfinish(conn_); }

    std::vector<SqlRow> query(const std::string& sql, const std::vector<SqlParam>& params) override {
        std::vector<const char*> values(params.size(), nullptr);
        std::vector<std::string> texts(params.size());
        for (size_t i = 0; i < params.size(); i++) {
            const SqlParam& p = params[i];
            if (p.type == SqlParam::Type::integer) texts[i] = std::to_string(p.integer);
            if (p.type == SqlParam::Type::text) texts[i] = p.text;
            if (p.type != SqlParam::Type::null) values[i] = texts[i].c_str();
        }
        const std::string& name = prepared(sql, static_cast<int>(params.size()));
        PGresult* res = PQexecPrepared(conn_, name.c_str(), static_cast<int>(params.size()), values.data(), nullptr,
                                       nullptr, 0);
        check(res, sql);
        std::vector<SqlRow> rows;
        const int n = PQntuples(res);
        const int cols = PQnfields(res);
        rows.reserve(static_cast<size_t>(n));
        for (int r = 0; r < n; r++) {
            SqlRow row(static_cast<size_t>(cols));
            for (int c = 0; c < cols; c++) {
                if (PQgetisnull(res, r, c)) continue;
                row[static_cast<size_t>(c)].null = false;
                row[static_cast<size_t>(c)].text.assign(PQgetvalue(res, r, c), static_cast<size_t>(PQgetlength(res, r, c)));
            }
            rows.push_back(std::move(row));
        }
        PQclear(res);
        return rows;
    }

    // A relaxed commit returns before the log is flushed: a crash of the
    // database may lose the last log lines, never a charge, as charging
    // transactions are hardened first.
    void begin(Durability durability) override {
        // One round trip: most check-ins are a handful of them.
        const char* sql = durability == Durability::relaxed ? "BEGIN; SET LOCAL synchronous_commit = off" : "BEGIN";
        check(PQexec(conn_, sql), sql, true);
    }
    bool harden() override {
        exec("SET LOCAL synchronous_commit = on");
        return true;
    }
    void commit() override { exec("COMMIT"); }
    void rollback() noexcept override {
        if (broken()) return;
        PGresult* res = PQexec(conn_, "ROLLBACK");
        PQclear(res);
    }
    // Not FOR UPDATE: a sale's reference to its card (a key share) need not
    // wait for a check-in that holds the card.
    const char* lock_rows() const override { return " FOR NO KEY UPDATE"; }
    const char* schema_lock() const override { return "SELECT pg_advisory_xact_lock(7302366)"; }
    bool broken() const override { return PQstatus(conn_) != CONNECTION_OK; }

private:
    void exec(const char* sql) { query(sql, {}); }

    // Each statement is parsed once per link: the same few run at every
    // check-in.
    const std::string& prepared(const std::string& sql, int params) {
        auto it = statements_.find(sql);
        if (it != statements_.end()) return it->second;
        const std::string name = "s" + std::to_string(statements_.size());
        PGresult* res = PQprepare(conn_, name.c_str(), sql.c_str(), params, nullptr);
        check(res, sql);
        PQclear(res);
        return statements_.emplace(sql, name).first->second;
    }

    // Throws unless `res` is a success; `done` clears it then too.
    void check(PGresult* res, const std::string& sql, bool done = false) {
        const ExecStatusType st = PQresultStatus(res);
        if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK) {
            if (done) PQclear(res);
            return;
        }
        const std::string why = one_line(PQerrorMessage(conn_));
        PQclear(res);
        throw SqlError("postgresql: " + why + " (" + sql.substr(0, 60) + ")");
    }

    PGconn* conn_ = nullptr;
    std::map<std::string, std::string> statements_;
};

}  // namespace

std::unique_ptr<SqlConnection> pg_connect(const std::string& uri) { return std::make_unique<PgConnection>(uri); }

const std::vector<Migration>& pg_migrations() {
    static const std::vector<Migration> steps = {
        {1, R"SQL(
CREATE TABLE boats (
  number BIGINT PRIMARY KEY,
  name TEXT NOT NULL DEFAULT '',
  kind TEXT NOT NULL DEFAULT 'checkin' CHECK (kind IN ('checkin', 'tracker')),
  lockout INTEGER NOT NULL DEFAULT 0,
  sends_kind INTEGER,
  last_checkin_at BIGINT
);
CREATE TABLE cards (serial TEXT PRIMARY KEY);
CREATE TABLE sessions (
  id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  boat BIGINT NOT NULL REFERENCES boats (number),
  card TEXT NOT NULL REFERENCES cards (serial),
  started_at BIGINT NOT NULL,
  paid_end BIGINT NOT NULL,
  ended_at BIGINT,
  end_reason TEXT
);
CREATE UNIQUE INDEX sessions_open_boat ON sessions (boat) WHERE ended_at IS NULL;
CREATE UNIQUE INDEX sessions_open_card ON sessions (card) WHERE ended_at IS NULL;
CREATE TABLE sales (
  id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  card TEXT NOT NULL REFERENCES cards (serial),
  seconds BIGINT NOT NULL CHECK (seconds > 0),
  boat BIGINT REFERENCES boats (number),
  valid_from BIGINT NOT NULL,
  valid_until BIGINT,
  sold_at BIGINT NOT NULL,
  session BIGINT REFERENCES sessions (id)
);
CREATE INDEX sales_unused ON sales (card) WHERE session IS NULL;
CREATE TABLE kills (
  id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  boat BIGINT NOT NULL REFERENCES boats (number),
  ordered_at BIGINT NOT NULL,
  answered_at BIGINT,
  released_at BIGINT
);
CREATE UNIQUE INDEX kills_pending ON kills (boat) WHERE released_at IS NULL;
CREATE TABLE checkins (
  id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  at BIGINT NOT NULL,
  boat BIGINT NOT NULL,
  card TEXT NOT NULL,
  kind TEXT NOT NULL,
  answer TEXT NOT NULL,
  session BIGINT
);
CREATE INDEX checkins_boat ON checkins (boat, id)
)SQL"},
    };
    return steps;
}

}  // namespace shore
