#include "journal.h"

#include <openssl/evp.h>

#include <array>

namespace shore {

namespace {

constexpr size_t kMaxWhat = 512;

std::string hex_of(const std::string& bytes) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

}  // namespace

std::string sha256_hex(const std::string& data) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> md{};
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), md.data(), &length, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("sha256 failed");
    return hex_of(std::string(reinterpret_cast<const char*>(md.data()), length));
}

namespace {

// Each field's length before it, so no two entries hash alike by moving a
// character from one field to the next.
std::string entry_field(const std::string& f) { return std::to_string(f.size()) + ":" + f + ";"; }

// What an entry's hash covers after the link before it and its id.
std::string entry_tail(int64_t at, const std::string& who, const std::string& address, const std::string& what) {
    return entry_field(std::to_string(at)) + entry_field(who) + entry_field(address) + entry_field(what);
}

std::string entry_hash(const std::string& prev, int64_t id, int64_t at, const std::string& who,
                       const std::string& address, const std::string& what) {
    return sha256_hex(entry_field(prev) + entry_field(std::to_string(id)) + entry_tail(at, who, address, what));
}

// entry_hash in the database: the head's link and the next id are ASCII,
// the tail comes as hex, so the bytes hashed are the program's own.
constexpr const char* kAppendInOne =
    "WITH h AS (UPDATE journal_head SET last_id = last_id + 1, prev_hash = last_hash, last_hash = encode(sha256("
    "convert_to(octet_length(last_hash)::text || ':' || last_hash || ';' || length((last_id + 1)::text)::text || ':' || "
    "(last_id + 1)::text || ';', 'UTF8') || decode($1, 'hex')), 'hex') WHERE id = 1 RETURNING last_id, prev_hash, "
    "last_hash) INSERT INTO journal (id, at, who, address, what, prev_hash, hash) "
    "SELECT last_id, $2::bigint, $3::text, $4::text, $5::text, prev_hash, last_hash FROM h RETURNING id";

std::string like_part(const std::string& text) {
    std::string out = "%";
    for (char c : text) {
        if (c == '%' || c == '_' || c == '\\') out += '\\';
        out += c;
    }
    return out + "%";
}

std::string csv_field(const std::string& text) {
    // A leading = + - @ would be a formula to a spreadsheet.
    std::string out = "\"";
    if (!text.empty() && std::string("=+-@").find(text[0]) != std::string::npos) out += "'";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string order_text(const Order& order) {
    std::string out = order.command;
    for (const auto& o : order.options) {
        if (o.first == "password") continue;  // never logged
        out += o.first.empty() ? " " + o.second : " --" + o.first + (o.second.empty() ? "" : " " + o.second);
    }
    return out;
}

}  // namespace

void journal_append(SqlConnection& db, int64_t at, const std::string& who, const std::string& address,
                    const std::string& what) {
    // The head row's lock orders the writers: each sees the last entry. It
    // is held until the commit, so it is taken last and in as few round
    // trips as the database allows.
    const std::string what_kept = what.substr(0, kMaxWhat);
    if (db.links_log_itself()) {
        if (db.query(kAppendInOne, {hex_of(entry_tail(at, who, address, what_kept)), at, who, address, what_kept}).empty())
            throw SqlError("the journal has no head row");
        return;
    }
    auto head = db.query("UPDATE journal_head SET last_id = last_id + 1 WHERE id = 1 RETURNING last_id, last_hash");
    if (head.empty()) throw SqlError("the journal has no head row");
    const int64_t id = head[0][0].integer();
    const std::string hash = entry_hash(head[0][1].text, id, at, who, address, what_kept);
    db.query("INSERT INTO journal (id, at, who, address, what, prev_hash, hash) VALUES ($1, $2, $3, $4, $5, $6, $7)",
             {id, at, who, address, what_kept, head[0][1].text, hash});
    db.query("UPDATE journal_head SET prev_hash = last_hash, last_hash = $1 WHERE id = 1", {hash});
}

std::vector<JournalEntry> journal_entries(Store& store, const JournalFilter& f) {
    std::vector<JournalEntry> out;
    store.read([&](SqlConnection& db) {
        auto rows = db.query(
            "SELECT id, at, who, address, what, prev_hash, hash FROM journal WHERE who LIKE $1 ESCAPE '\\' AND what LIKE "
            "$2 ESCAPE '\\' AND at >= $3 AND at < $4 ORDER BY id DESC LIMIT $5",
            {like_part(f.who), like_part(f.what), f.from.value_or(0), f.until.value_or(INT64_MAX), f.limit});
        for (const SqlRow& r : rows)
            out.push_back({r[0].integer(), r[1].integer(), r[2].text, r[3].text, r[4].text, r[5].text, r[6].text});
    });
    return out;
}

std::string journal_csv(const std::vector<JournalEntry>& entries) {
    std::string out = "id,at,who,address,what,hash\r\n";
    for (const JournalEntry& e : entries)
        out += std::to_string(e.id) + "," + std::to_string(e.at) + "," + csv_field(e.who) + "," + csv_field(e.address) +
               "," + csv_field(e.what) + "," + e.hash + "\r\n";
    return out;
}

std::string verify_journal(Store& store) {
    int64_t count = 0;
    store.read([&](SqlConnection& db) {
        std::string prev;
        int64_t last = 0;
        // In pages, so a long log is never all in memory.
        for (;;) {
            auto rows = db.query(
                "SELECT id, at, who, address, what, prev_hash, hash FROM journal WHERE id > $1 ORDER BY id LIMIT 1000",
                {last});
            if (rows.empty()) break;
            for (const SqlRow& r : rows) {
                const int64_t id = r[0].integer();
                const std::string where = "the log is broken at entry " + std::to_string(id) + ": ";
                if (id != last + 1) throw Refusal("the log is broken after entry " + std::to_string(last) + ": entries missing");
                if (r[5].text != prev) throw Refusal(where + "it does not follow the entry before");
                if (entry_hash(prev, id, r[1].integer(), r[2].text, r[3].text, r[4].text) != r[6].text)
                    throw Refusal(where + "changed since it was written");
                prev = r[6].text;
                last = id;
                count++;
            }
        }
        auto head = db.query("SELECT last_id, last_hash FROM journal_head WHERE id = 1");
        if (head.empty() || head[0][0].integer() != last || head[0][1].text != prev)
            throw Refusal("the log is broken at its end: entries after " + std::to_string(last) + " missing");
    });
    return "log verify: " + std::to_string(count) + " entries, the chain holds\n";
}

std::string carry_out_logged(Store& store, const Order& order, int64_t now, const std::string& who,
                             const std::string& address) {
    // A refused order changes nothing, the log neither.
    const std::string result = carry_out(store, order, now);
    // A new token is shown once, to whoever asked; never kept in the log.
    const bool secret = order.command == "staff token" && order.options.count("revoke") == 0;
    const std::string line = secret ? "a token issued" : result.substr(0, result.find('\n'));
    store.transact(Durability::full,
                   [&](SqlConnection& db) { journal_append(db, now, who, address, order_text(order) + ": " + line); });
    return result;
}

}  // namespace shore
