// Supervision by systemd: a terminal tells the service manager when it is
// up and, from its loop, that it still passes it, so that a terminal stuck
// in a call beyond that call's own time-outs is killed and restarted (its
// unit's WatchdogSec). Without NOTIFY_SOCKET (a shell, the tests) nothing
// is sent.
#pragma once

#include <cstdint>

// READY=1, once start-up is done and the loop begins.
void supervision_ready();

// Call once per loop pass: WATCHDOG=1, at most once a second.
void supervision_pass();

// The loop of a terminal under supervision: READY, then `pass` until a stop
// signal, a watchdog notification after each and from the waits within
// (terminal_alive); then the boat is stopped and the LED put out. The
// terminal's exit status, 0.
int supervised_loop(void (*pass)());

// terminal_monotonic_ns; tests replace it.
extern int64_t (*supervision_clock)();
