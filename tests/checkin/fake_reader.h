// A scripted reader for driving boat_checkin's loop pass by pass: each
// find_tag answers the next scripted status (READER_NO_TAG when the script
// is empty), select_tag_sn hands out the scripted card, watch_reader the
// next scripted events (0 when the script is empty), InitRc522 sets the
// scripted version.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace fakereader {

extern std::deque<uint8_t> find_script;
extern uint8_t select_status;
extern std::vector<uint8_t> card_uid;
extern std::deque<uint8_t> watch_script;
extern uint8_t version;
extern int find_calls, select_calls, halt_calls, init_calls, watch_calls;

void reset();

}  // namespace fakereader
