// The boat number file: read_boat_id on a file of fuzzed bytes.
// Checked besides the sanitizers: the text read stays terminated inside
// Buff, and a file that does not start with a number is boat 0.
#include "checkin_client.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {
void check(bool ok) {
    if (!ok) abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int fd = -1;
    static char path[64];
    if (fd < 0) {
        fd = memfd_create("boatid.txt", 0);
        check(fd >= 0);
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        checkin_buffers_init();
    }
    check(ftruncate(fd, 0) == 0);
    check(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
    memset(Buff, 'x', kBuffSize);
    int id = read_boat_id(path);
    check(memchr(Buff, '\0', kBuffSize) != nullptr);
    size_t at = 0;
    while (at < size && std::isspace(data[at])) at++;
    if (at < size && data[at] != '-' && data[at] != '+' && !std::isdigit(data[at])) check(id == 0);
    return 0;
}
