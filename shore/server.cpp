#include "server.h"

#include <httplib.h>
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

namespace shore {

namespace {

// Bounds on what any request may hold; the check-in needs far less.
constexpr size_t kMaxPayloadBytes = 64 * 1024;
constexpr time_t kReadTimeoutS = 10;
constexpr time_t kWriteTimeoutS = 10;

void set_error_pages(httplib::Server& http) {
    http.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty()) return;  // the handler's own answer
        // A malformed check-in must never read as a grant; a request line
        // too long to parse has no path to tell by.
        if (res.status >= 400 && res.status < 500 && (res.status != 404 || req.path == kCheckinPath)) {
            res.set_content("BAD bad request", "text/plain");
            return;
        }
        res.set_content(res.status == 404 ? "not found" : "error " + std::to_string(res.status), "text/plain");
    });
}

// Feeds systemd's watchdog while the server accepts, until `done`.
class Watchdog {
public:
    explicit Watchdog(httplib::Server& http) {
        uint64_t usec = 0;
        if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return;
        thread_ = std::thread([this, &http, usec] {
            std::unique_lock<std::mutex> lock(mutex_);
            while (!done_) {
                if (http.is_running()) sd_notify(0, "WATCHDOG=1");
                cv_.wait_for(lock, std::chrono::microseconds(usec / 2));
            }
        });
    }
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace

int serve(const Settings& settings, Store& store) {
    std::string host;
    int port = 0;
    if (!parse_listen(settings.listen, &host, &port)) {
        fprintf(stderr, "boat_shore: LISTEN=%s is not address:port\n", settings.listen.c_str());
        return 1;
    }
    // Signals are taken by one thread that stops the server; the workers
    // never see them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    const bool tls = !settings.cert.empty();
    std::unique_ptr<httplib::Server> server;
    if (tls) {
        server = std::make_unique<httplib::SSLServer>(settings.cert.c_str(), settings.key.c_str());
    } else {
        server = std::make_unique<httplib::Server>();
    }
    httplib::Server& http = *server;
    if (!http.is_valid()) {
        fprintf(stderr, "boat_shore: cannot use certificate %s with key %s\n", settings.cert.c_str(), settings.key.c_str());
        return 1;
    }
    // Headers and body go out in two writes; without this the body waits
    // for the client's delayed acknowledgement (some 40 ms a check-in).
    http.set_tcp_nodelay(true);
    http.set_payload_max_length(kMaxPayloadBytes);
    http.set_read_timeout(kReadTimeoutS, 0);
    http.set_write_timeout(kWriteTimeoutS, 0);
    set_error_pages(http);
    register_routes(http, store);

    if (!http.bind_to_port(host, port)) {
        fprintf(stderr, "boat_shore: cannot listen on %s\n", settings.listen.c_str());
        return 1;
    }
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        int sig = 0;
        sigwait(&stop_signals, &sig);
        stopped = true;
        sd_notify(0, "STOPPING=1");
        http.stop();
    });
    fprintf(stderr, "boat_shore: serving %s://%s\n", tls ? "https" : "http", settings.listen.c_str());
    sd_notify(0, "READY=1");
    bool ok = false;
    {
        Watchdog watchdog(http);
        ok = http.listen_after_bind();
    }
    if (!stopped) {
        // The listener failed on its own: wake the stopper and report it.
        pthread_kill(stopper.native_handle(), SIGTERM);
    }
    stopper.join();
    if (!ok && !stopped) {
        fprintf(stderr, "boat_shore: the listener failed\n");
        return 1;
    }
    fprintf(stderr, "boat_shore: stopped\n");
    return 0;
}

}  // namespace shore
