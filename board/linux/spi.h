// The SPI bus through the kernel's spidev.
#pragma once

#include <cstdint>

namespace linuxboard {

// The Pi's SPI0 clock source: the 250 MHz core clock.
constexpr uint32_t kCoreClockHz = 250000000;

// The clock the Pi's SPI0 makes of a clock divider, in Hz: the core clock
// divided, the divider taken as its data sheet says (0 means 65536, an odd
// one is rounded down), the quotient rounded down. spidev takes it as the
// highest clock the device may get, as the drivers never round up.
uint32_t spi_clock_hz(uint16_t divider);

// Sets the device's SPI_MODE_0..3 bits, SPI_CS_HIGH and SPI_LSB_FIRST.
// 0, or -1 with errno (EINVAL: the controller cannot do it).
int spi_set_mode(int fd, uint8_t mode);

// Sets the device's clock and 8-bit words. 0, or -1 with errno.
int spi_set_clock(int fd, uint32_t hz);

// One full-duplex transfer of `len` bytes under one chip-select assertion;
// `tx` and `rx` may be the same buffer. 0, or -1 with errno.
int spi_transfer(int fd, const uint8_t* tx, uint8_t* rx, uint32_t len);

}  // namespace linuxboard
