// The terminals' clocks.
#include "clock.h"

int64_t terminal_monotonic_ns() {
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

time_t terminal_boottime_s() {
    timespec t {};
    clock_gettime(CLOCK_BOOTTIME, &t);
    return t.tv_sec;
}
