// The start of a terminal's process, the same for boat_checkin and
// boat_tracker, before either touches its hardware or peers.
#pragma once

#include "terminal.h"

// Chooses `profile` (Terminal), reads the settings file while the rights
// to read it are still ours (or the copy the unit passed), names the
// board's devices from it and installs the stop signals. -1 with errno when
// the settings file is refused (reported; nothing of the board touched),
// else 0.
int terminal_process_startup(const TerminalProfile& profile);
