// A TCP proxy on 127.0.0.1 between an HTTP client and server, for links
// that come and go: each connection, and each request on it (the client's
// bytes after an answer), gets a fate drawn from a seeded generator (the
// same seed, the same fates in the same order), and the link as a whole can
// be cut and restored. Connections run on threads of their own; every wait
// is bounded.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace uplinktest {

enum class Fate {
    pass,           // bytes go both ways
    refuse,         // closed as soon as accepted
    stall,          // accepted, nothing forwarded, closed after a while
    cut_request,    // the request cut after some of its bytes
    cut_answer,     // the server's answer cut after some of its bytes
    lose_answer,    // the request whole, the answer withheld and the
                    // on_answer_lost hook called, then closed
};

struct FateCounts {
    int pass = 0, refuse = 0, stall = 0, cut_request = 0, cut_answer = 0, lose_answer = 0;
};

class FaultProxy {
public:
    FaultProxy(int listen_port, int server_port, uint32_t seed);
    ~FaultProxy();
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    bool ok() const { return listen_fd_ >= 0; }
    // Faults drawn for new connections (off: every connection passes).
    void faults(bool on) { faults_ = on; }
    // A cut link refuses new connections and ends the open ones.
    void link(bool up) { up_ = up; }
    // Called on a connection's thread when an answer was lost.
    void on_answer_lost(std::function<void()> hook) { lost_hook_ = std::move(hook); }
    FateCounts counts();
    uint64_t bytes_up() const { return bytes_up_; }

private:
    void accept_loop();
    void serve(int client);
    // A connection's fate (pass or refuse) or a request's (any other).
    Fate draw(bool request, size_t* cut_after, int* stall_ms);

    int listen_fd_ = -1;
    int server_port_;
    std::atomic<bool> stop_ {false}, faults_ {false}, up_ {true};
    std::atomic<uint64_t> bytes_up_ {0};
    std::mt19937 rng_;
    std::mutex mutex_;
    FateCounts counts_;
    std::function<void()> lost_hook_;
    std::thread acceptor_;
    std::vector<std::thread> threads_;
};

}  // namespace uplinktest
