// What answers on SPI0 chip select 0: the device of the board's profile.
#include "board_state.h"
#include "devices.h"

namespace boatsim {

void spi_cs0_exchange(BoardState& s, const uint8_t* tx, uint8_t* rx, uint32_t len) {
    if (s.profile == Profile::tracker)
        mcp3008_spi(s, tx, rx, len);
    else if (s.profile == Profile::checkin || s.profile == Profile::tagreader)
        mfrc522_spi(s, tx, rx, len);
    else
        for (uint32_t i = 0; i < len; i++) rx[i] = 0;  // nothing on the bus: MISO reads low
}

}  // namespace boatsim
