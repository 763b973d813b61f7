// One GPIO line per Line, through GPIO_V2_GET_LINE_IOCTL and the request's
// own ioctls.
#include "lines.h"

#include <linux/gpio.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdio>

namespace linuxboard {

namespace {

// The flags of the request's only line, and its output value when
// `flags` holds GPIO_V2_LINE_FLAG_OUTPUT.
gpio_v2_line_config line_config(uint64_t flags, uint8_t level) {
    gpio_v2_line_config c {};
    c.flags = flags;
    if (flags & GPIO_V2_LINE_FLAG_OUTPUT) {
        c.num_attrs = 1;
        c.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
        c.attrs[0].attr.values = level ? 1 : 0;
        c.attrs[0].mask = 1;
    }
    return c;
}

int configure(int fd, uint64_t flags, uint8_t level) {
    gpio_v2_line_config c = line_config(flags, level);
    return ioctl(fd, GPIO_V2_LINE_SET_CONFIG_IOCTL, &c) < 0 ? -1 : 0;
}

int read_level(int fd, uint8_t* level) {
    gpio_v2_line_values v {};
    v.mask = 1;
    if (ioctl(fd, GPIO_V2_LINE_GET_VALUES_IOCTL, &v) < 0) return -1;
    *level = v.bits & 1;
    return 0;
}

}  // namespace

// As it is: no direction flag leaves the line's direction and level alone.
int Line::request(int chip_fd, unsigned offset, const char* consumer) {
    if (fd_.valid()) return 0;
    gpio_v2_line_request r {};
    r.offsets[0] = offset;
    r.num_lines = 1;
    snprintf(r.consumer, sizeof r.consumer, "%s", consumer);
    r.config = line_config(0, 0);
    if (ioctl(chip_fd, GPIO_V2_GET_LINE_IOCTL, &r) < 0) return -1;
    fd_.reset(r.fd);
    output_ = false;
    return 0;
}

int Line::claim_output(int chip_fd, unsigned offset, const char* consumer, const uint8_t* level) {
    if (request(chip_fd, offset, consumer) != 0) return -1;
    if (output_ && !level) return 0;
    uint8_t now = 0;
    if (level) {
        now = *level ? 1 : 0;
    } else if (read_level(fd_.get(), &now) != 0) {
        return 0;  // unreadable: the terminal drives its safe level right after
    }
    if (configure(fd_.get(), GPIO_V2_LINE_FLAG_OUTPUT, now) != 0) return -1;
    output_ = true;
    return 0;
}

int Line::claim_input(int chip_fd, unsigned offset, const char* consumer) {
    if (request(chip_fd, offset, consumer) != 0) return -1;
    if (configure(fd_.get(), GPIO_V2_LINE_FLAG_INPUT, 0) != 0) return -1;
    output_ = false;
    return 0;
}

int Line::drive(uint8_t level) {
    if (!fd_.valid()) {
        errno = EBADF;
        return -1;
    }
    if (!output_) {
        if (configure(fd_.get(), GPIO_V2_LINE_FLAG_OUTPUT, level) != 0) return -1;
        output_ = true;
        return 0;
    }
    gpio_v2_line_values v {};
    v.mask = 1;
    v.bits = level ? 1 : 0;
    return ioctl(fd_.get(), GPIO_V2_LINE_SET_VALUES_IOCTL, &v) < 0 ? -1 : 0;
}

void Line::release() {
    fd_.reset();
    output_ = false;
}

}  // namespace linuxboard
