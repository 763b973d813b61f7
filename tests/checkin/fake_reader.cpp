#include "fake_reader.h"

#include "reader.h"

#include <cstring>

uint8_t debug = 0;
uint8_t Rc522Version = 0;

namespace fakereader {

std::deque<uint8_t> find_script;
uint8_t select_status = READER_OK;
std::vector<uint8_t> card_uid;
std::deque<uint8_t> watch_script;
uint8_t version;
int find_calls, select_calls, halt_calls, init_calls, watch_calls;

void reset() {
    find_script.clear();
    select_status = READER_OK;
    card_uid = {0x0a, 0x1b, 0xc2, 0x03};
    watch_script.clear();
    version = 0x92;
    find_calls = select_calls = halt_calls = init_calls = watch_calls = 0;
}

}  // namespace fakereader

void InitRc522() {
    fakereader::init_calls++;
    Rc522Version = fakereader::version;
}

uint8_t watch_reader() {
    fakereader::watch_calls++;
    if (fakereader::watch_script.empty()) return 0;
    uint8_t e = fakereader::watch_script.front();
    fakereader::watch_script.pop_front();
    return e;
}

uint8_t find_tag(uint16_t* CType) {
    fakereader::find_calls++;
    if (fakereader::find_script.empty()) return READER_NO_TAG;
    uint8_t s = fakereader::find_script.front();
    fakereader::find_script.pop_front();
    if (s == READER_OK) *CType = 0x0400;
    return s;
}

uint8_t select_tag_sn(uint8_t* SN, uint8_t* SN_len) {
    fakereader::select_calls++;
    if (fakereader::select_status != READER_OK) return fakereader::select_status;
    memcpy(SN, fakereader::card_uid.data(), fakereader::card_uid.size());
    *SN_len = static_cast<uint8_t>(fakereader::card_uid.size());
    return READER_OK;
}

uint8_t read_tag_str(uint8_t, char* str) {
    strcpy(str, "Unknown error");
    return READER_ERROR;
}

uint8_t PcdHalt() {
    fakereader::halt_calls++;
    return READER_OK;
}
