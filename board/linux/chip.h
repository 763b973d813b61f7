// Finding the GPIO chip that carries the header's GPIOs, through the
// kernel's GPIO character devices.
#pragma once

#include <array>
#include <cstddef>

namespace linuxboard {

// Labels of the controllers whose line offsets are the header's Broadcom
// GPIO numbers, as their kernel drivers name them: the Pi 5's I/O chip,
// the Pi 4's, and the Pi 1 to 3's (Zero included). Only one is on a board.
constexpr std::array<const char*, 3> kPiChipLabels = {"pinctrl-rp1", "pinctrl-bcm2711", "pinctrl-bcm2835"};

// Reads the label of the chip open at `fd` into `label` (NUL-terminated).
// 0, or -1 with errno.
using ChipLabelReader = int (*)(int fd, char* label, size_t size);

// The kernel's own: GPIO_GET_CHIPINFO_IOCTL.
int chip_label(int fd, char* label, size_t size);

// Opens the GPIO chip `chip` names, read-write and close-on-exec:
// - a path (it begins with '/') is opened, if it is a GPIO chip;
// - a label picks the chip of `dir` (its gpiochipN devices) that has it;
// - empty picks the chip labelled as one of kPiChipLabels.
// Among chips that fit equally the lowest number wins. The descriptor, or
// -1 with errno: ENODEV when no chip fits, or why the last chip that could
// not be looked at was refused (EACCES for a user not in its group).
int chip_open(const char* chip, const char* dir = "/dev", ChipLabelReader read_label = chip_label);

}  // namespace linuxboard
