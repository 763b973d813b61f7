#include "clock.h"
#include "stop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstring>
#include <functional>
#include <thread>

namespace {

class Stop : public ::testing::Test {
protected:
    void SetUp() override {
        terminal_stop = 0;
        // Held by whoever started the terminal: the set-up lets them in.
        sigset_t s;
        sigemptyset(&s);
        sigaddset(&s, SIGTERM);
        sigprocmask(SIG_BLOCK, &s, nullptr);
        terminal_signals_init();
    }
    void TearDown() override {
        for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
        terminal_stop = 0;
    }
};

// A pause that is not cut short sleeps for an hour; the test waits kBoundMs
// for it, so that such a pause fails the test instead of holding it.
constexpr useconds_t kHour = 3600000000u;
constexpr int kBoundMs = 10000;
constexpr useconds_t kShortUs = 50000;

// An hour's pause in a child process (this one's signal set-up and state),
// after `before` ran there: true when it ended within kBoundMs with
// terminal_stop set.
::testing::AssertionResult hour_pause_is_cut_short(const std::function<void()>& before) {
    const pid_t pid = fork();
    if (pid < 0) return ::testing::AssertionFailure() << "fork: " << strerror(errno);
    if (pid == 0) {
        before();
        terminal_pause(kHour);
        _exit(terminal_stop == 1 ? 0 : 1);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return ::testing::AssertionFailure() << "the pause still ran after " << kBoundMs << " ms";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return ::testing::AssertionFailure() << "the pause ended without a stop (status " << status << ")";
    return ::testing::AssertionSuccess();
}

TEST_F(Stop, TermIntAndHupAskForAStopThatEndsAPauseAndPipeIsIgnored) {
    raise(SIGPIPE);
    EXPECT_EQ(terminal_stop, 0);
    // Without a stop a pause sleeps its whole time.
    const int64_t t0 = terminal_monotonic_ns();
    terminal_pause(kShortUs);
    EXPECT_GE(terminal_monotonic_ns() - t0, static_cast<int64_t>(kShortUs) * 1000);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        terminal_stop = 0;
        raise(sig);
        EXPECT_EQ(terminal_stop, 1) << strsignal(sig);
        EXPECT_TRUE(hour_pause_is_cut_short([] {})) << strsignal(sig);
    }
}

TEST_F(Stop, ASignalTakenByAnotherThreadEndsAPauseInProgress) {
    // raise() in that thread: its handler runs there, before or while the
    // pause runs; either way the pause must end.
    EXPECT_TRUE(hour_pause_is_cut_short([] { std::thread([] { raise(SIGTERM); }).detach(); }));
}

int g_alive_calls = 0;

TEST_F(Stop, ALongPauseTellsTheWatchdogItIsAliveEverySecond) {
    void (*saved)() = terminal_alive;
    terminal_alive = [] { g_alive_calls++; };
    terminal_pause(2050000);
    terminal_alive = saved;
    // At its start and after each of its one-second slices.
    EXPECT_GE(g_alive_calls, 3);
}

}  // namespace
