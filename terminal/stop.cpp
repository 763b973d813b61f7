// The stop signals and the pause they cut short.
#include "stop.h"

#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

volatile sig_atomic_t terminal_stop = 0;

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

void on_stop(int) { terminal_stop = 1; }

sigset_t stop_set() {
    sigset_t s;
    sigemptyset(&s);
    for (int sig : kStopSignals) sigaddset(&s, sig);
    return s;
}

long long now_ns() {
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

}  // namespace

void terminal_signals_init() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);

    // SA_RESTART: the libraries' reads and writes carry on; only the
    // pauses and the loop need to see the signal.
    struct sigaction stop {};
    stop.sa_handler = on_stop;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = SA_RESTART;
    for (int sig : kStopSignals) sigaction(sig, &stop, nullptr);
    // A mask inherited from whoever started us must not make us unstoppable.
    sigset_t s = stop_set();
    sigprocmask(SIG_UNBLOCK, &s, nullptr);
}

int terminal_pause(useconds_t us) {
    // The stop signals are held from the test of the flag until ppoll
    // lets them in atomically, so none can slip in between and be slept
    // through.
    sigset_t stops = stop_set(), normal;
    sigprocmask(SIG_BLOCK, &stops, &normal);
    sigset_t waiting = normal;
    for (int sig : kStopSignals) sigdelset(&waiting, sig);
    const long long deadline = now_ns() + static_cast<long long>(us) * 1000;
    while (!terminal_stop) {
        long long left = deadline - now_ns();
        if (left <= 0) break;
        timespec t {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        if (ppoll(nullptr, 0, &t, &waiting) < 0 && errno != EINTR) break;
    }
    sigprocmask(SIG_SETMASK, &normal, nullptr);
    return 0;
}
