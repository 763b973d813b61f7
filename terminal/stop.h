// Orderly end of a terminal. SIGTERM, SIGINT and SIGHUP only set
// terminal_stop; the loop acts on it between passes (boat stopped, LED off,
// status 0), and terminal_pause returns early once it is set, so no LED
// pause or idle sleep holds the end back. SIGPIPE is ignored: a closed
// standard error must not take a boat's terminal down with it.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstdint>

// Set by the stop signals; never cleared by the terminal itself.
extern volatile sig_atomic_t terminal_stop;

// Installs the handlers and ignores SIGPIPE. Call first thing in main.
void terminal_signals_init();

// Sleeps `us` microseconds, or less once terminal_stop is set: a stop
// signal ends a pause in progress at once, whichever thread takes it. Calls
// terminal_alive at least once a second while it waits. 0.
int terminal_pause(useconds_t us);

// Called from every place where the loop may rightly wait a while (its
// pauses, inside a check-in transfer, between database attempts), so that a
// watchdog can be short and still only fire on a real hang. Does nothing
// until the supervised loop sets it to its watchdog notification.
extern void (*terminal_alive)();
