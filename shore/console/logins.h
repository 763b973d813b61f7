// Who is logged in to the console, and who may try again: staff sessions
// held in memory (a restart logs everyone out), failed logins slowed per
// account and per address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace shore {

struct Login {
    std::string name;
    std::string role;
    std::string csrf;  // sent back with every state-changing request
    int64_t expires_at = 0;
};

class Logins {
public:
    explicit Logins(int64_t lifetime_s) : lifetime_s_(lifetime_s) {}

    // Milliseconds still to wait before `name` from `address` may try
    // again; 0: now. (Milliseconds: a wait of a second must not end at the
    // next tick of a seconds clock.)
    int64_t wait_before_try(const std::string& name, const std::string& address, int64_t now_ms);
    void failed(const std::string& name, const std::string& address, int64_t now_ms);
    // A new session for a password just checked; its token.
    std::string open(const std::string& name, const std::string& role, const std::string& address, int64_t now);
    // The session of a token; nothing when unknown or expired (an expired one
    // is forgotten).
    std::optional<Login> find(const std::string& token, int64_t now);
    void close(const std::string& token);

private:
    struct Failures {
        int count = 0;
        int64_t next_try_ms = 0;
    };
    void forget_old(int64_t now);  // seconds

    const int64_t lifetime_s_;
    std::mutex mutex_;
    std::map<std::string, Login> sessions_;        // token -> login
    std::map<std::string, Failures> failures_;     // "name:N" / "addr:A"
};

inline constexpr size_t kTokenBytes = 32;
inline constexpr size_t kTokenChars = 2 * kTokenBytes;

// kTokenBytes random bytes as hex.
std::string random_token();

}  // namespace shore
