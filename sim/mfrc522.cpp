// PLACEHOLDER until the MFRC522 model lands: replaced wholesale.
#include "devices.h"
namespace boatsim {
void mfrc522_power_on(BoardState& s) { (void)s; }
void mfrc522_spi(BoardState& s, const uint8_t* tx, uint8_t* rx, uint32_t len) { (void)s; (void)tx; for (uint32_t i = 0; i < len; i++) rx[i] = 0; }
}
