// PLACEHOLDER until the card model lands: replaced wholesale.
#include "field.h"
namespace boatsim {
int card_put(BoardState&, const uint8_t*, uint8_t, const uint8_t*, int) { return -1; }
bool card_take(BoardState&, const uint8_t*, uint8_t) { return false; }
void card_take_all(BoardState&) {}
}
