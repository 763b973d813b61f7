// What every board (rpi, linux, sim) implements beyond the bcm2835
// functions of <bcm2835.h>: the devices a program's settings name for it.
#pragma once

// The GPIO chip (a label or a device path; empty: the board's own) and the
// SPI device (a device path; empty: SPI0 chip select 0's) that
// bcm2835_init is to open. Call it before bcm2835_init. A board that
// reaches its peripherals another way takes them and does nothing more.
void board_use_devices(const char* gpio_chip, const char* spi_device);
