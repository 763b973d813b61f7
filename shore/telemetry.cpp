// POST /api/telemetry and what it stores. The body is checked whole before
// anything is stored; a refused batch changes nothing.
#include "telemetry.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <sys/random.h>

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>

namespace shore {

namespace {

using nlohmann::json;

constexpr int64_t kDayMs = 86400000;
// Far beyond any clock a boat has, and far from overflowing a day number.
constexpr int64_t kTimeMsMax = int64_t(1) << 52;
constexpr int64_t kIdMax = int64_t(1) << 53;
// Rows per statement: fewer round trips, well within either database's
// limit on parameters.
constexpr size_t kRowsPerInsert = 50;
constexpr size_t kInsertColumns = 15;

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

bool hex_identity(const std::string& s) {
    if (s.size() != 32) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// The value of `key` in `row` as the column needs it; false when it is
// missing or of another kind.
bool real(const json& row, const char* key, bool nullable, std::optional<double>* out) {
    const auto v = row.find(key);
    if (v == row.end()) return false;
    if (v->is_null()) {
        out->reset();
        return nullable;
    }
    if (!v->is_number()) return false;
    const double d = v->get<double>();
    if (!std::isfinite(d)) return false;
    *out = d;
    return true;
}

bool integer(const json& row, const char* key, bool nullable, int64_t min, int64_t max, std::optional<int64_t>* out) {
    const auto v = row.find(key);
    if (v == row.end()) return false;
    if (v->is_null()) {
        out->reset();
        return nullable;
    }
    if (v->is_number_unsigned()) {
        const uint64_t u = v->get<uint64_t>();
        if (u > static_cast<uint64_t>(max)) return false;
        *out = static_cast<int64_t>(u);
    } else if (v->is_number_integer()) {
        *out = v->get<int64_t>();
    } else {
        return false;
    }
    return **out >= min && **out <= max;
}

std::string parse_row(const json& row, Position* p) {
    if (!row.is_object()) return "a row is not an object";
    std::optional<double> lat, lng;
    std::optional<int64_t> id, fuel, active, logged;
    if (!integer(row, "id", false, 1, kIdMax, &id)) return "a row's id is missing or not a positive integer";
    if (!real(row, "Lat", false, &lat) || !real(row, "Lng", false, &lng)) return "a row's Lat or Lng is not a number";
    if (!real(row, "Speed", true, &p->speed) || !real(row, "Bearing", true, &p->bearing))
        return "a row's Speed or Bearing is neither a number nor null";
    if (!integer(row, "FuelVoltage", false, -kIdMax, kIdMax, &fuel)) return "a row's FuelVoltage is not an integer";
    if (!integer(row, "Active", false, 0, 1, &active)) return "a row's Active is not 0 or 1";
    if (!integer(row, "Logged", false, -kTimeMsMax / 1000, kTimeMsMax / 1000, &logged))
        return "a row's Logged is not a time in seconds";
    if (!integer(row, "FixTime", true, -kTimeMsMax, kTimeMsMax, &p->fix_time_ms))
        return "a row's FixTime is neither a time in ms nor null";
    const auto key = row.find("RowKey");
    if (key == row.end() || !(key->is_null() || key->is_number_unsigned()))
        return "a row's RowKey is neither an unsigned integer nor null";
    if (key->is_null()) p->row_key.reset();
    else p->row_key = key->get<uint64_t>();
    p->id = *id;
    p->lat = *lat;
    p->lng = *lng;
    p->fuel = *fuel;
    p->active = *active;
    p->logged = *logged;
    return {};
}

// The shortest text that reads back as the same double.
std::string text_of(double v) {
    char t[32];
    const auto r = std::to_chars(t, t + sizeof t, v);
    return std::string(t, r.ptr);
}

SqlParam optional_real(const std::optional<double>& v) { return v ? SqlParam(text_of(*v)) : SqlParam(nullptr); }

double to_real(const SqlValue& v) { return strtod(v.text.c_str(), nullptr); }

constexpr const char* kColumns =
    "boat, source, id, lat, lng, speed, bearing, fuel, active, logged, fix_time_ms, row_key";

Position position_of(const SqlRow& r) {
    Position p;
    p.boat = r[0].integer();
    p.database = r[1].text;
    p.id = r[2].integer();
    p.lat = to_real(r[3]);
    p.lng = to_real(r[4]);
    if (!r[5].null) p.speed = to_real(r[5]);
    if (!r[6].null) p.bearing = to_real(r[6]);
    p.fuel = r[7].integer();
    p.active = r[8].integer();
    p.logged = r[9].integer();
    if (!r[10].null) p.fix_time_ms = r[10].integer();
    if (!r[11].null) p.row_key = strtoull(r[11].text.c_str(), nullptr, 10);
    return p;
}

void answer(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void refuse(httplib::Response& res, int status, const std::string& why) { answer(res, status, json {{"error", why}}); }

}  // namespace

const char* const kTelemetrySqliteStep =
    "CREATE TABLE boat_tokens (boat INTEGER PRIMARY KEY, token_hash TEXT NOT NULL UNIQUE, issued_at INTEGER NOT NULL);\n"
    // The positions' reals as the text the boat sent: SQLite hands REALs
    // out with 15 digits, which is not always the value stored.
    "CREATE TABLE positions (boat INTEGER NOT NULL, source TEXT NOT NULL, id INTEGER NOT NULL, lat TEXT NOT NULL, "
    "lng TEXT NOT NULL, speed TEXT, bearing TEXT, fuel INTEGER NOT NULL, active INTEGER NOT NULL, "
    "logged INTEGER NOT NULL, fix_time_ms INTEGER, row_key TEXT, at_ms INTEGER NOT NULL, day INTEGER NOT NULL, "
    "received_at INTEGER NOT NULL, PRIMARY KEY (boat, source, id));\n"
    "CREATE INDEX positions_day ON positions (day);\n"
    "CREATE INDEX positions_boat_at ON positions (boat, at_ms)";

const char* const kTelemetryPgStep =
    "CREATE TABLE boat_tokens (boat BIGINT PRIMARY KEY, token_hash TEXT NOT NULL UNIQUE, issued_at BIGINT NOT NULL);\n"
    "CREATE TABLE positions (boat BIGINT NOT NULL, source TEXT NOT NULL, id BIGINT NOT NULL, "
    "lat DOUBLE PRECISION NOT NULL, lng DOUBLE PRECISION NOT NULL, speed DOUBLE PRECISION, "
    "bearing DOUBLE PRECISION, fuel BIGINT NOT NULL, active SMALLINT NOT NULL, logged BIGINT NOT NULL, "
    "fix_time_ms BIGINT, row_key NUMERIC(20), at_ms BIGINT NOT NULL, day INTEGER NOT NULL, "
    "received_at BIGINT NOT NULL, PRIMARY KEY (boat, source, id));\n"
    "CREATE INDEX positions_day ON positions (day);\n"
    "CREATE INDEX positions_boat_at ON positions (boat, at_ms)";

std::string parse_telemetry(const std::string& body, TelemetryBatch* out) {
    const json doc = json::parse(body, nullptr, false);
    if (!doc.is_object()) return "the body is not a JSON object";
    std::optional<int64_t> boat;
    if (!integer(doc, "boat", false, 0, kIdMax, &boat)) return "boat is missing or not a boat number";
    const auto db = doc.find("database");
    if (db == doc.end() || !db->is_string() || !hex_identity(db->get<std::string>()))
        return "database is missing or not 32 lower-case hexadecimal digits";
    const auto rows = doc.find("rows");
    if (rows == doc.end() || !rows->is_array() || rows->empty()) return "rows is missing or empty";
    if (rows->size() > kTelemetryRowsMax) return "more than 1000 rows";
    out->boat = *boat;
    out->database = db->get<std::string>();
    out->rows.assign(rows->size(), Position {});
    for (size_t i = 0; i < rows->size(); i++) {
        Position& p = out->rows[i];
        if (std::string why = parse_row((*rows)[i], &p); !why.empty()) return why;
        p.boat = out->boat;
        p.database = out->database;
    }
    return {};
}

std::string draw_token() {
    unsigned char raw[kTokenBytes];
    if (getrandom(raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw)) throw SqlError("no random numbers");
    std::string hex;
    char two[3];
    for (unsigned char b : raw) {
        snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

std::string token_hash(const std::string& token) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(token.data(), token.size(), md, &len, EVP_sha256(), nullptr);
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < len; i++) {
        snprintf(two, sizeof two, "%02x", md[i]);
        hex += two;
    }
    return hex;
}

std::optional<int64_t> token_boat(Store& store, const std::string& hash) {
    std::optional<int64_t> boat;
    store.read([&](SqlConnection& db) {
        auto rows = db.query("SELECT boat FROM boat_tokens WHERE token_hash = $1", {hash});
        if (!rows.empty()) boat = rows[0][0].integer();
    });
    return boat;
}

std::string issue_token(Store& store, int64_t boat, int64_t now) {
    bool known = false;
    for (const Boat& b : store.boats()) known = known || b.number == boat;
    if (!known) throw Refusal("no boat " + std::to_string(boat));
    const std::string token = draw_token();
    store.transact(Durability::full, [&](SqlConnection& db) {
        db.query("DELETE FROM boat_tokens WHERE boat = $1", {boat});
        db.query("INSERT INTO boat_tokens (boat, token_hash, issued_at) VALUES ($1, $2, $3)",
                 {boat, token_hash(token), now});
    });
    return token;
}

StoredRows store_positions(Store& store, const TelemetryBatch& batch, int64_t now, int keep_days) {
    StoredRows stored;
    const int64_t first_day = floor_div(now, 86400) - keep_days;
    std::vector<const Position*> kept;
    for (const Position& p : batch.rows) {
        stored.through = std::max(stored.through, p.id);
        if (floor_div(p.at_ms(), kDayMs) >= first_day) kept.push_back(&p);
    }
    // Nothing is acknowledged before it is on disk: the boat forgets what
    // the answer says is stored.
    store.transact(Durability::full, [&](SqlConnection& db) {
        for (size_t at = 0; at < kept.size(); at += kRowsPerInsert) {
            const size_t n = std::min(kRowsPerInsert, kept.size() - at);
            std::string sql = std::string("INSERT INTO positions (") + kColumns + ", at_ms, day, received_at) VALUES ";
            std::vector<SqlParam> params;
            params.reserve(n * kInsertColumns);
            for (size_t i = 0; i < n; i++) {
                const Position& p = *kept[at + i];
                sql += i ? ", (" : "(";
                for (size_t c = 0; c < kInsertColumns; c++) {
                    sql += (c ? ", $" : "$") + std::to_string(params.size() + c + 1);
                }
                sql += ")";
                params.insert(params.end(),
                              {SqlParam(p.boat), SqlParam(p.database), SqlParam(p.id), SqlParam(text_of(p.lat)),
                               SqlParam(text_of(p.lng)), optional_real(p.speed), optional_real(p.bearing),
                               SqlParam(p.fuel), SqlParam(p.active), SqlParam(p.logged),
                               p.fix_time_ms ? SqlParam(*p.fix_time_ms) : SqlParam(nullptr),
                               p.row_key ? SqlParam(std::to_string(*p.row_key)) : SqlParam(nullptr),
                               SqlParam(p.at_ms()), SqlParam(floor_div(p.at_ms(), kDayMs)), SqlParam(now)});
            }
            sql += " ON CONFLICT (boat, source, id) DO NOTHING RETURNING id";
            stored.added += static_cast<int64_t>(db.query(sql, params).size());
        }
    });
    return stored;
}

int64_t drop_old_positions(Store& store, int64_t now, int keep_days) {
    int64_t dropped = 0;
    store.transact(Durability::relaxed, [&](SqlConnection& db) {
        dropped = static_cast<int64_t>(
            db.query("DELETE FROM positions WHERE day < $1 RETURNING day", {floor_div(now, 86400) - keep_days}).size());
    });
    return dropped;
}

std::vector<Position> last_positions(Store& store) {
    std::vector<Position> out;
    store.read([&](SqlConnection& db) {
        auto rows = db.query(std::string("SELECT ") + kColumns +
                             " FROM positions p WHERE at_ms = (SELECT MAX(at_ms) FROM positions q WHERE q.boat = p.boat)"
                             " ORDER BY boat, source, id");
        for (const SqlRow& r : rows) {
            Position p = position_of(r);
            // Rows of the same moment: the last stored counts.
            if (!out.empty() && out.back().boat == p.boat) out.back() = p;
            else out.push_back(p);
        }
    });
    return out;
}

std::vector<Position> session_positions(Store& store, int64_t session, int64_t now) {
    std::optional<Session> found;
    for (const Session& s : store.sessions(std::nullopt, now))
        if (s.id == session) found = s;
    if (!found) throw Refusal("no session " + std::to_string(session));
    const int64_t end = found->ended_at ? *found->ended_at : std::max(now, found->paid_end);
    std::vector<Position> out;
    store.read([&](SqlConnection& db) {
        auto rows = db.query(std::string("SELECT ") + kColumns +
                                 " FROM positions WHERE boat = $1 AND at_ms >= $2 AND at_ms <= $3"
                                 " ORDER BY at_ms, source, id",
                             {found->boat, found->started_at * 1000, end * 1000 + 999});
        out.reserve(rows.size());
        for (const SqlRow& r : rows) out.push_back(position_of(r));
    });
    return out;
}

void add_telemetry_routes(httplib::Server& server, Store& store, int keep_days) {
    // Old days go at the first batch of each day.
    auto pruned_day = std::make_shared<std::atomic<int64_t>>(INT64_MIN);
    server.Post("/api/telemetry", [&store, keep_days, pruned_day](const httplib::Request& req, httplib::Response& res) {
        if (req.body.size() > kTelemetryBodyMax) return refuse(res, 413, "the body is longer than 1 MiB");
        const std::string auth = req.get_header_value("Authorization");
        if (auth.compare(0, 7, "Bearer ") != 0 || auth.size() == 7)
            return refuse(res, 401, "no token (Authorization: Bearer)");
        TelemetryBatch batch;
        if (std::string why = parse_telemetry(req.body, &batch); !why.empty()) return refuse(res, 400, why);
        const int64_t now = time(nullptr);
        try {
            const std::optional<int64_t> boat = token_boat(store, token_hash(auth.substr(7)));
            if (!boat) return refuse(res, 401, "unknown token");
            if (*boat != batch.boat)
                return refuse(res, 403, "the token is boat " + std::to_string(*boat) + "'s, not boat " +
                                            std::to_string(batch.boat) + "'s");
            const int64_t today = now / 86400;
            if (pruned_day->exchange(today) != today) drop_old_positions(store, now, keep_days);
            const StoredRows stored = store_positions(store, batch, now, keep_days);
            answer(res, 200, json {{"stored", stored.added}, {"through", stored.through}});
        } catch (const SqlError&) {
            pruned_day->store(INT64_MIN);
            refuse(res, 503, "the database failed; send again");
        }
    });
}

}  // namespace shore
