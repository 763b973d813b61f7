// boat_tracker's pass loop and the start-up it shares with the tests, split
// out of main so a test can drive the loop pass by pass.
#pragma once

#include "terminal.h"  // the signal pin, gpio and use_gpio

#include <nfc/nfc.h>

#include <cstdint>

extern int PassCount;      // passes made; n - 1 at the start of pass n
extern nfc_context* context;
extern nfc_device* pnd;    // null while the reader is lost

// The reader as the loop uses it. Tests replace these; the defaults ask
// pnd. select: one type A target at 106 kbit/s, > 0 when *nt holds a
// selected target, 0 when none answered, < 0 on an error. lost: reports
// that the reader stopped answering and closes it. reopen: opens the
// default device again for polling, true when it answers.
extern int (*tracker_select)(nfc_target* nt);
extern void (*tracker_reader_lost)();
extern bool (*tracker_reader_reopen)();

// The board set up and safe: buffers, boat number, hardware, output pins,
// boat stopped and LED off. 0 ready, 1 when the hardware set-up failed.
// Also what a start-up failure leaves before the program ends.
int tracker_board_safe();

// Start-up between the database and libnfc: tracker_board_safe, then the
// loop state cleared. 0 ready, 1 when the hardware set-up failed.
int tracker_board_startup();

// Start-up of libnfc: context, default device, initiator mode with a select
// that returns when no card is there. 0 ready, 1 after reporting a failure.
int tracker_nfc_startup(const char* program);

// One pass: fuel, GPS row every tenth pass, LED and expiry, periodic
// check-in, card poll and card check-in; a pass quicker than the pace
// sleeps the rest.
void tracker_pass();
