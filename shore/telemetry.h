// The boats' telemetry ashore: the rows of each boat's table GPS as its
// boat_uplink sends them, stored once per (boat, database identity, row
// id), kept KEEP_DAYS days, and read back as positions and tracks. A boat
// proves itself with its token (Authorization: Bearer), whose hash the
// book keeps; rows for another boat than the token's are refused whole.
#pragma once

#include "commands.h"
#include "store.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace httplib {
class Server;
}

namespace shore {

// One row of a boat's table GPS, every column.
struct Position {
    int64_t boat = 0;
    std::string database;  // identity of the boat's database
    int64_t id = 0;
    double lat = 0, lng = 0;
    std::optional<double> speed, bearing;
    int64_t fuel = 0;
    int64_t active = 0;
    int64_t logged = 0;  // seconds since the epoch
    std::optional<int64_t> fix_time_ms;
    std::optional<uint64_t> row_key;
    // The fix's time, or when the boat stored the row.
    int64_t at_ms() const { return fix_time_ms ? *fix_time_ms : logged * 1000; }
};

struct TelemetryBatch {
    int64_t boat = 0;
    std::string database;
    std::vector<Position> rows;
};

constexpr size_t kTelemetryBodyMax = 1 << 20;
constexpr size_t kTelemetryRowsMax = 1000;
constexpr size_t kTokenBytes = 32;

// The request body read into *out; empty when it is a batch, else why not.
std::string parse_telemetry(const std::string& body, TelemetryBatch* out);

// A fresh token (hexadecimal) and the hash the book keeps of one.
std::string draw_token();
std::string token_hash(const std::string& token);

// The boat a token's hash belongs to.
std::optional<int64_t> token_boat(Store& store, const std::string& hash);
// A new token for the boat, replacing its old one; the token itself is
// shown once and never stored. Refusal for an unknown boat.
std::string issue_token(Store& store, int64_t boat, int64_t now);

struct StoredRows {
    int64_t added = 0;    // rows new to the book
    int64_t through = 0;  // every row of the batch up to this id is stored
};
// Stores the batch in one transaction: a row already stored is left as it
// was, one older than the kept days is taken but not kept.
StoredRows store_positions(Store& store, const TelemetryBatch& batch, int64_t now, int keep_days);
// Drops the days older than the kept ones, whole.
int64_t drop_old_positions(Store& store, int64_t now, int keep_days);

// The newest position of each boat that sent any.
std::vector<Position> last_positions(Store& store);
// A session's positions in time order; Refusal for an unknown session.
std::vector<Position> session_positions(Store& store, int64_t session, int64_t now);

// The schema step of each dialect.
extern const char* const kTelemetrySqliteStep;
extern const char* const kTelemetryPgStep;

// The staff's orders "token --boat N" (prints the new token) and "track
// --session N --format gpx|geojson" (prints the session's track).
std::string carry_out_telemetry(Store& store, const Order& order, int64_t now);
// The last position in the status: " position LAT LNG at T (S s ago)",
// nothing for a boat without one; as JSON, null then.
std::string position_text(const Position* p, int64_t now);
nlohmann::json position_json(const Position* p, int64_t now);

// POST /api/telemetry on the server.
void add_telemetry_routes(httplib::Server& server, Store& store, int keep_days);

}  // namespace shore
