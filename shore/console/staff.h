// Staff accounts of the harbour console: names, roles and Argon2id hashes
// of their passwords. A password is only ever held in memory and hashed.
#pragma once

#include "commands.h"
#include "store.h"

#include <optional>
#include <string>

namespace shore {

struct Staff {
    std::string name;
    std::string role;  // "desk" or "admin"
    std::string hash;  // Argon2id, encoded with its salt and costs
};

inline constexpr const char* kRoleDesk = "desk";
inline constexpr const char* kRoleAdmin = "admin";

std::string hash_password(const std::string& password);
bool password_matches(const std::string& hash, const std::string& password);

std::optional<Staff> find_staff(Store& store, const std::string& name);
// The staff account a script's token stands for (its hash left empty);
// nothing for an unknown or revoked token.
std::optional<Staff> staff_of_token(Store& store, const std::string& token);

// "staff add NAME [--role desk|admin]", "staff remove NAME", "staff passwd
// NAME"; the password is the option "password", read from stdin by the
// command line, never a word of it. "staff token NAME" issues a script's
// token (printed once, only its hash kept); "--revoke" removes all of NAME's.
std::string carry_out_staff(Store& store, const Order& order, int64_t now);

// The weather lockout: no new session on any boat while on; running ones
// keep their time. Since when it is on, or nothing.
void set_fleet_lockout(Store& store, bool on, int64_t now);
std::optional<int64_t> fleet_lockout_since(Store& store);

}  // namespace shore
