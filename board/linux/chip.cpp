// The GPIO chip of the header, found by label among the chip devices.
#include "chip.h"

#include "fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace linuxboard {

namespace {

// The number N of a "gpiochipN" entry, or -1 for any other name.
long chip_number(const char* name) {
    constexpr char kPrefix[] = "gpiochip";
    if (strncmp(name, kPrefix, sizeof kPrefix - 1) != 0) return -1;
    const char* digits = name + sizeof kPrefix - 1;
    if (*digits < '0' || *digits > '9') return -1;
    char* end = nullptr;
    errno = 0;
    long n = strtol(digits, &end, 10);
    return (*end == '\0' && errno == 0) ? n : -1;
}

// How well `label` fits what was asked: 0 best, higher worse, -1 not at all.
int fit(const char* label, const char* wanted) {
    if (*wanted) return strcmp(label, wanted) == 0 ? 0 : -1;
    for (size_t i = 0; i < kPiChipLabels.size(); i++)
        if (strcmp(label, kPiChipLabels[i]) == 0) return static_cast<int>(i);
    return -1;
}

}  // namespace

int chip_label(int fd, char* label, size_t size) {
    gpiochip_info info {};
    if (ioctl(fd, GPIO_GET_CHIPINFO_IOCTL, &info) < 0) return -1;
    snprintf(label, size, "%.*s", static_cast<int>(sizeof info.label), info.label);
    return 0;
}

int chip_open(const char* chip, const char* dir, ChipLabelReader read_label) {
    if (chip[0] == '/') {
        // Named by path: it must still be a GPIO chip.
        Fd fd(open(chip, O_RDWR | O_CLOEXEC));
        char label[GPIO_MAX_NAME_SIZE + 1];
        if (!fd.valid() || read_label(fd.get(), label, sizeof label) != 0) return -1;
        return fd.release();
    }

    DIR* d = opendir(dir);
    if (!d) return -1;
    Fd best;
    int best_fit = INT_MAX;
    long best_number = LONG_MAX;
    int refused = 0;
    while (dirent* e = readdir(d)) {
        const long number = chip_number(e->d_name);
        if (number < 0) continue;
        char path[PATH_MAX];
        if (snprintf(path, sizeof path, "%s/%s", dir, e->d_name) >= static_cast<int>(sizeof path)) continue;
        Fd fd(open(path, O_RDWR | O_CLOEXEC));
        char label[GPIO_MAX_NAME_SIZE + 1];
        if (!fd.valid() || read_label(fd.get(), label, sizeof label) != 0) {
            refused = errno;
            continue;
        }
        const int f = fit(label, chip);
        if (f < 0 || f > best_fit || (f == best_fit && number > best_number)) continue;
        best = std::move(fd);
        best_fit = f;
        best_number = number;
    }
    closedir(d);
    if (!best.valid()) errno = refused ? refused : ENODEV;
    return best.release();
}

}  // namespace linuxboard
