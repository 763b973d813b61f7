#include "fault_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace uplinktest {

namespace {

constexpr int kPollMs = 50;
constexpr int kIdleCloseMs = 20000;

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int connect_server(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// Ends a connection at once, as a link that goes does (RST, not FIN).
void reset(int fd) {
    linger l {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

}  // namespace

FaultProxy::FaultProxy(int listen_port, int server_port, uint32_t seed) : server_port_(server_port), rng_(seed) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(listen_port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_fd_, 16) != 0) {
        close(listen_fd_);
        listen_fd_ = -1;
        return;
    }
    acceptor_ = std::thread([this] { accept_loop(); });
}

FaultProxy::~FaultProxy() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    for (std::thread& t : threads_) t.join();
    if (listen_fd_ >= 0) close(listen_fd_);
}

FateCounts FaultProxy::counts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
}

Fate FaultProxy::draw(bool request, size_t* cut_after, int* stall_ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int roll = static_cast<int>(rng_() % 100);
    // Within the headers or a small batch, or anywhere in a large one.
    *cut_after = 1 + rng_() % (rng_() % 2 ? 600 : 60000);
    *stall_ms = 500 + static_cast<int>(rng_() % 3000);
    Fate fate = Fate::pass;
    if (faults_ && !request && roll < 15) fate = Fate::refuse;
    if (faults_ && request) {
        if (roll < 6) fate = Fate::stall;
        else if (roll < 14) fate = Fate::cut_request;
        else if (roll < 22) fate = Fate::cut_answer;
        else if (roll < 30) fate = Fate::lose_answer;
    }
    if (fate == Fate::cut_answer) *cut_after = 1 + *cut_after % 150;  // answers are short
    switch (fate) {
    case Fate::pass: counts_.pass++; break;
    case Fate::refuse: counts_.refuse++; break;
    case Fate::stall: counts_.stall++; break;
    case Fate::cut_request: counts_.cut_request++; break;
    case Fate::cut_answer: counts_.cut_answer++; break;
    case Fate::lose_answer: counts_.lose_answer++; break;
    }
    return fate;
}

void FaultProxy::accept_loop() {
    while (!stop_) {
        pollfd p {listen_fd_, POLLIN, 0};
        if (poll(&p, 1, kPollMs) <= 0) continue;
        int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        size_t cut_after = 0;
        int stall_ms = 0;
        if (!up_ || draw(false, &cut_after, &stall_ms) == Fate::refuse) {
            reset(client);
            continue;
        }
        threads_.emplace_back([this, client] { serve(client); });
    }
}

void FaultProxy::serve(int client) {
    int server = connect_server(server_port_);
    if (server < 0) return reset(client);
    Fate fate = Fate::pass;
    size_t cut_after = 0, up_bytes = 0, down_bytes = 0;
    int stall_ms = 0;
    bool awaiting_request = true, answer_lost = false;
    int64_t last = now_ms();
    char buf[16384];
    while (!stop_ && up_ && now_ms() - last < kIdleCloseMs) {
        pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (poll(p, 2, kPollMs) <= 0) continue;
        last = now_ms();
        if (p[0].revents) {
            if (awaiting_request) {
                // The client's first bytes since the last answer: a request.
                fate = draw(true, &cut_after, &stall_ms);
                awaiting_request = false;
                up_bytes = down_bytes = 0;
                if (fate == Fate::stall) {
                    const int64_t until = now_ms() + stall_ms;
                    while (!stop_ && up_ && now_ms() < until) usleep(kPollMs * 1000);
                    break;
                }
            }
            ssize_t n = recv(client, buf, sizeof buf, 0);
            if (n <= 0) break;
            size_t give = static_cast<size_t>(n);
            if (fate == Fate::cut_request && up_bytes + give >= cut_after) give = cut_after - up_bytes;
            if (give > 0 && send(server, buf, give, MSG_NOSIGNAL) != static_cast<ssize_t>(give)) break;
            up_bytes += give;
            bytes_up_ += give;
            if (fate == Fate::cut_request && up_bytes >= cut_after) break;
        }
        if (p[1].revents) {
            ssize_t n = recv(server, buf, sizeof buf, 0);
            if (n <= 0) break;
            awaiting_request = true;
            if (fate == Fate::lose_answer) {
                // The server has stored and answered; the client never
                // learns it.
                answer_lost = true;
                break;
            }
            size_t give = static_cast<size_t>(n);
            if (fate == Fate::cut_answer && down_bytes + give >= cut_after) give = cut_after - down_bytes;
            if (give > 0 && send(client, buf, give, MSG_NOSIGNAL) != static_cast<ssize_t>(give)) break;
            down_bytes += give;
            if (fate == Fate::cut_answer && down_bytes >= cut_after) break;
        }
    }
    if (answer_lost && lost_hook_) lost_hook_();
    reset(server);
    reset(client);
}

}  // namespace uplinktest
