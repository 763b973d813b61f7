#include "stop.h"

#include <gtest/gtest.h>
#include <signal.h>

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

// A pause that is not cut short sleeps for an hour, past the test's time-out.
constexpr useconds_t kHour = 3600000000u;

TEST_F(Stop, TermIntAndHupAskForAStopAndPipeIsIgnored) {
    raise(SIGPIPE);
    EXPECT_EQ(terminal_stop, 0);
    EXPECT_EQ(terminal_pause(1000), 0);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        terminal_stop = 0;
        raise(sig);
        EXPECT_EQ(terminal_stop, 1) << strsignal(sig);
        terminal_pause(kHour);
    }
}

TEST_F(Stop, ASignalTakenByAnotherThreadEndsAPauseInProgress) {
    // raise() in that thread: its handler runs there, before or while the
    // main thread pauses; either way the pause must end.
    std::thread other([] { raise(SIGTERM); });
    terminal_pause(kHour);
    other.join();
    EXPECT_EQ(terminal_stop, 1);
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
