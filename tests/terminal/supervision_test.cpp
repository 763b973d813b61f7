// The terminals' notifications to systemd, received on a datagram socket
// standing in for the service manager's NOTIFY_SOCKET.
#include "fake_clock.h"
#include "private_mounts.h"
#include "process.h"
#include "supervision.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::string> received(testsupport::SyslogSink& sink) {
    std::vector<std::string> out;
    // sd_notify has sent each datagram before it returns.
    for (const auto& m : sink.drain(0)) out.push_back(m.raw);
    return out;
}

TEST(Supervision, ReadyOnceThenWatchdogAtMostOnceASecond) {
    testsupport::TempDir dir;
    testsupport::SyslogSink sink(dir.file("notify"));
    ASSERT_TRUE(sink.ok()) << sink.error();
    setenv("NOTIFY_SOCKET", dir.file("notify").c_str(), 1);
    supervision_clock = [] { return static_cast<int64_t>(testsupport::fake_monotonic_ns()); };
    constexpr uint64_t kMs = 1000000;
    testsupport::fake_clock.monotonic_ns = 5000 * kMs;

    supervision_ready();
    EXPECT_EQ(received(sink), std::vector<std::string>{"READY=1"});

    supervision_pass();
    EXPECT_EQ(received(sink), std::vector<std::string>{"WATCHDOG=1"}) << "the first pass";
    for (int i = 0; i < 999; i++) {
        testsupport::fake_clock.monotonic_ns += kMs;
        supervision_pass();
    }
    EXPECT_TRUE(received(sink).empty()) << "999 ms of passes";
    testsupport::fake_clock.monotonic_ns += kMs;
    supervision_pass();
    EXPECT_EQ(received(sink).size(), 1u) << "a second after the last";

    // Ten seconds of idle polls, five a second: ten notifications.
    for (int i = 0; i < 50; i++) {
        testsupport::fake_clock.monotonic_ns += 200 * kMs;
        supervision_pass();
    }
    EXPECT_EQ(received(sink), std::vector<std::string>(10, "WATCHDOG=1"));

    // A pass that took 30 s (a check-in transfer): one, right after it.
    testsupport::fake_clock.monotonic_ns += 30000 * kMs;
    supervision_pass();
    supervision_pass();
    EXPECT_EQ(received(sink).size(), 1u);

    // Not under a service manager: nothing is sent.
    unsetenv("NOTIFY_SOCKET");
    supervision_ready();
    for (int i = 0; i < 10; i++) {
        testsupport::fake_clock.monotonic_ns += 1000 * kMs;
        supervision_pass();
    }
    EXPECT_TRUE(received(sink).empty());
}

}  // namespace
