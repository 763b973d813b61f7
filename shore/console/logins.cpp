#include "logins.h"

#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <stdexcept>

namespace shore {

namespace {

// A failed login doubles the wait of its account and its address, from a
// second up to a minute.
constexpr int64_t kMaxWaitMs = 60000;
// Bounds on what strangers can make the server remember.
constexpr size_t kMaxFailureKeys = 10000;
constexpr size_t kMaxSessions = 1000;

}  // namespace

std::string random_token() {
    std::array<unsigned char, kTokenBytes> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) throw std::runtime_error("no random bytes");
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

int64_t Logins::wait_before_try(const std::string& name, const std::string& address, int64_t now_ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t wait = 0;
    for (const std::string& key : {"name:" + name, "addr:" + address}) {
        auto it = failures_.find(key);
        if (it != failures_.end()) wait = std::max(wait, it->second.next_try_ms - now_ms);
    }
    return wait;
}

void Logins::failed(const std::string& name, const std::string& address, int64_t now_ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    forget_old(now_ms / 1000);
    for (const std::string& key : {"name:" + name, "addr:" + address}) {
        if (failures_.size() >= kMaxFailureKeys && !failures_.count(key)) continue;
        Failures& f = failures_[key];
        f.count = std::min(f.count + 1, 16);
        f.next_try_ms = now_ms + std::min<int64_t>(int64_t{1000} << (f.count - 1), kMaxWaitMs);
    }
}

std::string Logins::open(const std::string& name, const std::string& role, const std::string& address, int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_.erase("name:" + name);
    failures_.erase("addr:" + address);
    forget_old(now);
    if (sessions_.size() >= kMaxSessions) {
        // The one nearest its end goes first.
        auto oldest = std::min_element(sessions_.begin(), sessions_.end(), [](const auto& a, const auto& b) {
            return a.second.expires_at < b.second.expires_at;
        });
        sessions_.erase(oldest);
    }
    const std::string token = random_token();
    sessions_[token] = Login{name, role, random_token(), now + lifetime_s_};
    return token;
}

std::optional<Login> Logins::find(const std::string& token, int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(token);
    if (it == sessions_.end()) return std::nullopt;
    if (now >= it->second.expires_at) {
        sessions_.erase(it);
        return std::nullopt;
    }
    return it->second;
}

void Logins::close(const std::string& token) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.erase(token);
}

void Logins::forget_old(int64_t now) {
    for (auto it = failures_.begin(); it != failures_.end();)
        it = it->second.next_try_ms + kMaxWaitMs < now * 1000 ? failures_.erase(it) : std::next(it);
    for (auto it = sessions_.begin(); it != sessions_.end();)
        it = now >= it->second.expires_at ? sessions_.erase(it) : std::next(it);
}

}  // namespace shore
