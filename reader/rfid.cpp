// Tag access layer: the reader operations the programs' polling loops call.
#include "rc522.h"

#include <cstdio>
#include <cstring>

uint8_t buff[FRAME_MAX];

// Cascade tag: the level's answer carries 3 serial bytes, another level follows.
constexpr uint8_t CASCADE_TAG = 0x88;

uint8_t find_tag(uint16_t* CType) {
    uint8_t status = PcdRequest(REQA, buff);
    if (status == READER_OK) *CType = static_cast<uint16_t>((buff[0] << 8) | buff[1]);
    return status;
}

// Anticollision and select of one cascade level into buff.
static bool select_level(uint8_t sel_code) {
    if (PcdAnticoll(sel_code, buff) != READER_OK) return false;
    return PcdSelect(sel_code, buff) == READER_OK;
}

uint8_t select_tag_sn(uint8_t* SN, uint8_t* SN_len) {
    if (!select_level(SEL_CL1)) return READER_ERROR;
    if (buff[0] != CASCADE_TAG) {
        memcpy(SN, buff, 4);
        *SN_len = 4;
        return READER_OK;
    }
    memcpy(SN, buff + 1, 3);

    if (!select_level(SEL_CL2)) return READER_ERROR;
    if (buff[0] != CASCADE_TAG) {
        memcpy(SN + 3, buff, 4);
        *SN_len = 7;
        return READER_OK;
    }
    memcpy(SN + 3, buff + 1, 3);

    if (!select_level(SEL_CL3)) return READER_ERROR;
    // The last level has no cascade tag: 0x88 here is a serial byte.
    memcpy(SN + 6, buff, 4);
    *SN_len = 10;
    return READER_OK;
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
