// boat_checkin's start-up and one pass of its card polling loop, split out
// of main so a test can drive the loop pass by pass.
#pragma once

#include "terminal.h"  // the signal pin, gpio and use_gpio

#include <sys/types.h>

#include <cstdint>

// Loop state of boat_checkin beyond what the check-in exchange shares.
extern int Counter;        // idle polls in the current blink cycle

// Identity drop after the hardware is open (root's groups, the group of
// the account, the user); reports a refusal on stderr. Tests keep their
// rights.
extern int (*checkin_drop_identity)(uid_t);

// Start-up up to the loop: 0 ready, 1 when the hardware set-up failed.
int checkin_startup();

// One pass: poll the reader and handle a card, or else an idle poll; the
// reader watch runs in every pass.
void checkin_pass();
