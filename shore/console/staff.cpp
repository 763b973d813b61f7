#include "staff.h"

#include "journal.h"
#include "logins.h"

#include <argon2.h>
#include <openssl/rand.h>

#include <array>

namespace shore {

namespace {

// Argon2id at a cost that takes a fraction of a second on a small server.
constexpr uint32_t kTimeCost = 2;
constexpr uint32_t kMemoryKiB = 19 * 1024;
constexpr uint32_t kLanes = 1;
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;
constexpr size_t kMinPassword = 8;
constexpr size_t kMaxPassword = 256;
constexpr size_t kMaxStaffName = 32;

void check_name(const std::string& name) {
    if (name.empty() || name.size() > kMaxStaffName) throw Refusal("a staff name has 1 to 32 characters");
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_'))
            throw Refusal("a staff name holds only letters, digits, '.', '-' and '_'");
}

const std::string& password_of(const Order& order) {
    auto it = order.options.find("password");
    if (it == order.options.end() || it->second.size() < kMinPassword || it->second.size() > kMaxPassword)
        throw Refusal("a password has 8 to 256 characters (one line on stdin)");
    return it->second;
}

}  // namespace

std::string hash_password(const std::string& password) {
    std::array<unsigned char, kSaltBytes> salt{};
    if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) throw std::runtime_error("no random bytes for a salt");
    const size_t length =
        argon2_encodedlen(kTimeCost, kMemoryKiB, kLanes, kSaltBytes, kHashBytes, Argon2_id);
    std::string encoded(length, '\0');
    const int rc = argon2id_hash_encoded(kTimeCost, kMemoryKiB, kLanes, password.data(), password.size(), salt.data(),
                                         salt.size(), kHashBytes, &encoded[0], encoded.size());
    if (rc != ARGON2_OK) throw std::runtime_error(std::string("argon2id: ") + argon2_error_message(rc));
    encoded.resize(encoded.find('\0'));
    return encoded;
}

bool password_matches(const std::string& hash, const std::string& password) {
    return argon2id_verify(hash.c_str(), password.data(), password.size()) == ARGON2_OK;
}

std::optional<Staff> find_staff(Store& store, const std::string& name) {
    std::optional<Staff> found;
    store.read([&](SqlConnection& db) {
        auto rows = db.query("SELECT name, role, hash FROM staff WHERE name = $1", {name});
        if (!rows.empty()) found = Staff{rows[0][0].text, rows[0][1].text, rows[0][2].text};
    });
    return found;
}

std::optional<Staff> staff_of_token(Store& store, const std::string& token) {
    std::optional<Staff> found;
    if (token.size() != kTokenChars) return found;
    const std::string hash = sha256_hex(token);
    store.read([&](SqlConnection& db) {
        auto rows = db.query("SELECT s.name, s.role FROM staff_tokens t JOIN staff s ON s.name = t.name WHERE t.hash = $1",
                             {hash});
        if (!rows.empty()) found = Staff{rows[0][0].text, rows[0][1].text, ""};
    });
    return found;
}

std::string carry_out_staff(Store& store, const Order& order, int64_t now) {
    const auto word = order.options.find("");
    const std::string name = word == order.options.end() ? "" : word->second;
    check_name(name);
    if (order.command == "staff add") {
        auto r = order.options.find("role");
        const std::string role = r == order.options.end() ? kRoleDesk : r->second;
        if (role != kRoleDesk && role != kRoleAdmin) throw Refusal("--role must be desk or admin");
        const std::string hash = hash_password(password_of(order));
        store.transact(Durability::full, [&](SqlConnection& db) {
            if (!db.query("SELECT 1 FROM staff WHERE name = $1", {name}).empty())
                throw Refusal("staff " + name + " exists already");
            db.query("INSERT INTO staff (name, role, hash) VALUES ($1, $2, $3)", {name, role, hash});
        });
        return "staff " + name + " added, role " + role + "\n";
    }
    if (order.command == "staff passwd") {
        const std::string hash = hash_password(password_of(order));
        store.transact(Durability::full, [&](SqlConnection& db) {
            if (db.query("SELECT 1 FROM staff WHERE name = $1", {name}).empty()) throw Refusal("no staff " + name);
            db.query("UPDATE staff SET hash = $2 WHERE name = $1", {name, hash});
        });
        return "staff " + name + " password changed\n";
    }
    if (order.command == "staff remove") {
        store.transact(Durability::full, [&](SqlConnection& db) {
            if (db.query("SELECT 1 FROM staff WHERE name = $1", {name}).empty()) throw Refusal("no staff " + name);
            db.query("DELETE FROM staff_tokens WHERE name = $1", {name});
            db.query("DELETE FROM staff WHERE name = $1", {name});
        });
        return "staff " + name + " removed\n";
    }
    if (order.command == "staff token") {
        const bool revoke = order.options.count("revoke") != 0;
        const std::string token = revoke ? "" : random_token();
        int64_t revoked = 0;
        store.transact(Durability::full, [&](SqlConnection& db) {
            if (db.query("SELECT 1 FROM staff WHERE name = $1", {name}).empty()) throw Refusal("no staff " + name);
            if (revoke) {
                revoked = db.query("SELECT count(*) FROM staff_tokens WHERE name = $1", {name})[0][0].integer();
                db.query("DELETE FROM staff_tokens WHERE name = $1", {name});
                return;
            }
            db.query("INSERT INTO staff_tokens (hash, name, created_at) VALUES ($1, $2, $3)", {sha256_hex(token), name, now});
        });
        if (revoke) return "staff " + name + ": " + std::to_string(revoked) + " tokens revoked\n";
        return token + "\n";
    }
    throw Refusal("\"" + order.command + "\" is not a staff order");
}

void set_fleet_lockout(Store& store, bool on, int64_t now) {
    store.transact(Durability::full, [&](SqlConnection& db) {
        const bool is_on = !db.query("SELECT since FROM fleet_lockout").empty();
        if (on && !is_on) db.query("INSERT INTO fleet_lockout (since) VALUES ($1)", {now});
        if (!on) db.query("DELETE FROM fleet_lockout");
    });
}

std::optional<int64_t> fleet_lockout_since(Store& store) {
    std::optional<int64_t> since;
    store.read([&](SqlConnection& db) {
        auto rows = db.query("SELECT min(since) FROM fleet_lockout");
        if (!rows.empty() && !rows[0][0].null) since = rows[0][0].integer();
    });
    return since;
}

}  // namespace shore
