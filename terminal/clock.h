// The terminals' clocks, each named for the clock it reads.
#pragma once

#include <cstdint>
#include <ctime>

// CLOCK_MONOTONIC in nanoseconds: pauses, pacing, the watchdog's and the
// check-in interval are measured on it.
int64_t terminal_monotonic_ns();

// CLOCK_BOOTTIME in whole seconds: the paid time, which runs on through a
// suspend, as no step of the wall clock moves it.
time_t terminal_boottime_s();
