// The libbcm2835 build's part of the board interface: the library maps the
// peripherals of the board model it finds itself, so the devices named in
// the settings have nothing to change.
#include "board_devices.h"

void board_use_devices(const char* /*gpio_chip*/, const char* /*spi_device*/) {}
