// The stop signals and the pause they cut short.
#include "stop.h"

#include "clock.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

volatile sig_atomic_t terminal_stop = 0;

namespace {
void alive_unwatched() {}
}  // namespace

void (*terminal_alive)() = alive_unwatched;

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
// A long pause tells the watchdog it is alive this often.
constexpr int64_t kAliveSliceNs = 1000000000;

// The handler also writes a byte here, which a pause waits for. Unlike a
// test of the flag before the sleep, this cannot miss a signal that comes
// just before the sleep begins or is taken by another thread (libcurl's
// resolver); nothing ever reads it, so once set it wakes every pause.
int wake_pipe[2] = {-1, -1};

void on_stop(int) {
    int saved = errno;
    terminal_stop = 1;
    if (wake_pipe[1] >= 0 && write(wake_pipe[1], "", 1) < 0) { /* full: it is awake already */ }
    errno = saved;
}

}  // namespace

void terminal_signals_init() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);

    if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) wake_pipe[0] = wake_pipe[1] = -1;

    // SA_RESTART: the libraries' reads and writes carry on; only the
    // pauses and the loop need to see the signal.
    struct sigaction stop {};
    stop.sa_handler = on_stop;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = SA_RESTART;
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : kStopSignals) {
        sigaction(sig, &stop, nullptr);
        sigaddset(&stops, sig);
    }
    // A mask inherited from whoever started us must not make us unstoppable.
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
}

int terminal_pause(useconds_t us) {
    const int64_t deadline = terminal_monotonic_ns() + static_cast<long long>(us) * 1000;
    pollfd wake {wake_pipe[0], POLLIN, 0};  // fd -1 before the set-up: a plain sleep
    while (!terminal_stop) {
        terminal_alive();
        int64_t left = deadline - terminal_monotonic_ns();
        if (left <= 0) break;
        if (left > kAliveSliceNs) left = kAliveSliceNs;
        timespec t {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        if (ppoll(&wake, 1, &t, nullptr) < 0 && errno != EINTR) break;
    }
    return 0;
}
