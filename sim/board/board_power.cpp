// Power-on state of the simulated board.
#include <bcm2835.h>

#include "board_state.h"
#include "devices.h"

#include <cstring>

namespace boatsim {

void board_power_on(BoardState& s) {
    for (auto& pin : s.gpio) pin = GpioPin{BCM2835_GPIO_FSEL_INPT, 0};
    s.spi = SpiState{};
    s.spi.bit_order = BCM2835_SPI_BIT_ORDER_MSBFIRST;
    s.spi.cs_polarity = LOW;
    memset(s.adc, 0, sizeof s.adc);
    mfrc522_power_on(s);
}

}  // namespace boatsim
