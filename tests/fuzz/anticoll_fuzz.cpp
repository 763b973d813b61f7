// The reader stack's card request and anticollision join against a chip
// whose every register read answers with the next fuzzed byte (0 once the
// input is used up); writes and pauses go nowhere. So the answers, bit
// counts, collision positions and FIFO levels of find_tag and
// select_tag_sn are all hostile.
//
// Input: the register values in the order the driver reads them.
//
// Checked besides the sanitizers: a serial number that select_tag_sn
// returns is 4, 7 or 10 bytes long, as the levels' SAKs announced it.
#include "rc522.h"

#include <bcm2835.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

const uint8_t* g_in = nullptr;
size_t g_left = 0;

void check(bool ok) {
    if (!ok) abort();
}

}  // namespace

extern "C" {

void bcm2835_spi_transfern(char* buf, uint32_t len) {
    if (len != 2) abort();  // the driver moves one register per transfer
    if (buf[0] & 0x80) {
        buf[1] = static_cast<char>(g_left ? *g_in : 0);
        if (g_left) {
            g_in++;
            g_left--;
        }
    }
    buf[0] = 0;
}

int usleep(useconds_t) { return 0; }

}  // extern "C"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    g_in = data;
    g_left = size;
    debug = 1;  // the collision message too
    uint16_t type = 0;
    uint8_t status = find_tag(&type);
    check(status <= READER_COLLISION);
    if (status != READER_OK && status != READER_COLLISION) return 0;
    // Exactly ten bytes, so ASan sees any byte written past the serial.
    uint8_t* sn = static_cast<uint8_t*>(malloc(10));
    uint8_t len = 0;
    if (select_tag_sn(sn, &len) == READER_OK) {
        check(len == 4 || len == 7 || len == 10);
        // The SAKs decide the length: every level before the last announced
        // another one, the last did not.
        const int levels = len == 4 ? 1 : len == 7 ? 2 : 3;
        for (int l = 0; l < levels - 1; l++) check(sak_levels[l] & SAK_CASCADE);
        check(!(sak_levels[levels - 1] & SAK_CASCADE));
    }
    free(sn);
    return 0;
}
