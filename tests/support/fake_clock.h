// The one clock the in-process tests move by hand, for the programs' clock
// hooks: the wall clock in seconds and the monotonic clock in nanoseconds
// (read whole seconds by the session clock). The two are moved
// independently, as a step of the wall clock or a long transfer moves them.
#pragma once

#include <cstdint>
#include <ctime>

namespace testsupport {

struct FakeClock {
    static constexpr time_t kWallStart = 1700000000;
    static constexpr uint64_t kNsPerSecond = 1000000000;
    static constexpr uint64_t kMonotonicStartNs = 86400 * kNsPerSecond;  // a day after boot

    time_t wall = kWallStart;
    uint64_t monotonic_ns = kMonotonicStartNs;

    void reset() { *this = FakeClock(); }
    time_t monotonic_seconds() const { return static_cast<time_t>(monotonic_ns / kNsPerSecond); }
    void advance_monotonic_seconds(long long s) { monotonic_ns += static_cast<uint64_t>(s) * kNsPerSecond; }
};

inline FakeClock fake_clock;

inline time_t fake_time(time_t* t) {
    if (t) *t = fake_clock.wall;
    return fake_clock.wall;
}
inline time_t fake_monotonic_seconds() { return fake_clock.monotonic_seconds(); }
inline uint64_t fake_monotonic_ns() { return fake_clock.monotonic_ns; }

}  // namespace testsupport
