// Tag access layer: the reader operations the programs' polling loops call.
#include "rc522.h"

#include <cstdio>
#include <cstring>

uint8_t buff[FRAME_MAX];
uint8_t sak_levels[3];

// Cascade tag: the level's answer carries 3 serial bytes, another level follows.
constexpr uint8_t CASCADE_TAG = 0x88;

uint8_t find_tag(uint16_t* CType) {
    uint8_t status = PcdRequest(REQA, buff);
    if (status == READER_OK) *CType = static_cast<uint16_t>((buff[0] << 8) | buff[1]);
    return status;
}

// Anticollision and select of one cascade level (0-2) into buff, its SAK
// into sak_levels.
static bool select_level(uint8_t level) {
    static constexpr uint8_t kSel[3] = {SEL_CL1, SEL_CL2, SEL_CL3};
    if (PcdAnticoll(kSel[level], buff) != READER_OK) return false;
    return PcdSelect(kSel[level], buff, &sak_levels[level]) == READER_OK;
}

uint8_t select_tag_sn(uint8_t* SN, uint8_t* SN_len) {
    uint8_t len = 0;
    for (uint8_t level = 0; level < 3; level++) {
        if (!select_level(level)) return READER_ERROR;
        // The SAK tells whether the UID is complete. A UID-writable card
        // may begin a complete 4-byte UID with 0x88: then it is a UID byte.
        if (!(sak_levels[level] & SAK_CASCADE)) {
            memcpy(SN + len, buff, 4);
            *SN_len = static_cast<uint8_t>(len + 4);
            return READER_OK;
        }
        // A card that announces another level must send the cascade tag;
        // one that does not is neither complete nor readable, and is left
        // unselected rather than taken by a part of its UID.
        if (buff[0] != CASCADE_TAG) return READER_ERROR;
        memcpy(SN + len, buff + 1, 3);
        len = static_cast<uint8_t>(len + 3);
    }
    return READER_ERROR;  // still not complete after the third level
}

uint8_t read_tag_str(uint8_t addr, char* str) {
    uint8_t data[16];
    uint8_t status = PcdRead(addr, data);
    if (status == READER_OK) {
        for (int i = 0; i < 16; i++) snprintf(str + 2 * i, 3, "%02x", data[i]);
    } else if (status == READER_CRC_ERROR) {
        snprintf(str, 33, "%s", "CRC Error");
    } else {
        snprintf(str, 33, "%s", "Unknown error");
    }
    return status;
}

// Passes since the last check, and whether the last check found no reader.
static uint8_t watch_passes = 0;
static bool reader_lost = false;

uint8_t watch_reader() {
    if (++watch_passes < kWatchPasses) return 0;
    watch_passes = 0;
    uint8_t events = 0;
    if (PcdCheckSetup() != READER_OK) {
        // A chip that reset itself (power glitch, floating RST line) or
        // switched its drivers off reads no card until it is set up again.
        if (!reader_lost) events |= WATCH_RESET;
        InitRc522();
        if (PcdCheckSetup() != READER_OK) {
            // Not there, or held in reset: try again next time, quietly.
            if (!reader_lost) events |= WATCH_LOST;
            reader_lost = true;
            return events;
        }
    }
    if (reader_lost) events |= WATCH_BACK;
    reader_lost = false;
    return events;
}
