// GPIO lines requested through the kernel's GPIO character device (v2).
#pragma once

#include "fd.h"

#include <cstdint>

namespace linuxboard {

// One line of a chip, requested once and held until released: while it is
// held no other program can drive it.
class Line {
public:
    // Requests line `offset` of the chip open at `chip_fd` and makes it an
    // output at `*level` (0 low, else high) or, without one, at the level
    // it has now, where the chip lets that be read; otherwise it stays as
    // it is until the first drive(). Held already: made an output the same
    // way. 0, or -1 with errno.
    int claim_output(int chip_fd, unsigned offset, const char* consumer, const uint8_t* level = nullptr);

    // Requests the line (or keeps it) as an input. 0, or -1 with errno.
    int claim_input(int chip_fd, unsigned offset, const char* consumer);

    // Drives the line at `level` (0 low, else high); a held line that is
    // not an output yet becomes one at that level. 0, or -1 with errno
    // (EBADF when the line is not held).
    int drive(uint8_t level);

    // Gives the line back to the kernel; what it does then is the chip's.
    void release();

    bool held() const { return fd_.valid(); }

private:
    int request(int chip_fd, unsigned offset, const char* consumer);

    Fd fd_;
    bool output_ = false;
};

}  // namespace linuxboard
