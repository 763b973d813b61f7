// spidev's ioctls, and the clock a Pi would make.
#include "spi.h"

#include <linux/spi/spidev.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace linuxboard {

uint32_t spi_clock_hz(uint16_t divider) {
    uint32_t d = divider & ~1u;
    if (d == 0) d = 65536;
    return kCoreClockHz / d;
}

int spi_set_mode(int fd, uint8_t mode) { return ioctl(fd, SPI_IOC_WR_MODE, &mode) < 0 ? -1 : 0; }

int spi_set_clock(int fd, uint32_t hz) {
    uint8_t bits = 8;
    if (ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, &bits) < 0) return -1;
    return ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &hz) < 0 ? -1 : 0;
}

int spi_transfer(int fd, const uint8_t* tx, uint8_t* rx, uint32_t len) {
    // spidev copies what is sent before it stores what comes back, so one
    // buffer may be both.
    spi_ioc_transfer t {};
    t.tx_buf = reinterpret_cast<uintptr_t>(tx);
    t.rx_buf = reinterpret_cast<uintptr_t>(rx);
    t.len = len;
    return ioctl(fd, SPI_IOC_MESSAGE(1), &t) < 0 ? -1 : 0;
}

}  // namespace linuxboard
