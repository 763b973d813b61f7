// The reader configuration parser on a file of fuzzed bytes: the lookups
// of tag_reader's keys, the walk over every line that the terminals'
// settings take, then the identity step, once as root and once as an
// ordinary user. The identity calls are stand-ins here that record
// instead of act, so the fuzzer keeps its own rights.
//
// Input: a flags byte (bit 0 run as root, bit 1 a lookup with logging,
// bit 2 the key to look up comes from the next byte's value of the key
// list) and the file's bytes.
//
// Checked besides the sanitizers: a value found is copied with at most
// `len` bytes and, when shorter, has no blank at either end; the walk
// reports lines in rising order, keys without "=", "#" or a blank in
// front, values without "#" or a blank at either end; as root a
// successful identity step has dropped the groups, then set the group, and
// taken a user id above 99.
#include "config.h"

#include <grp.h>
#include <pwd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

uid_t g_uid = 0;
int g_setgroups = 0;  // calls, and which call came first
int g_setgid = 0;
int g_order_ok = 1;

void check(bool ok) {
    if (!ok) abort();
}

bool blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool trimmed(const char* text) {
    size_t n = strlen(text);
    return !strchr(text, '#') && (n == 0 || (!blank(text[0]) && !blank(text[n - 1])));
}

bool check_line(const ConfigLine& line, void* last) {
    int& last_number = *static_cast<int*>(last);
    check(line.number > last_number);
    last_number = line.number;
    check(!strchr(line.key, '=') && !strchr(line.key, '#') && !blank(line.key[0]));
    // The blanks between a key and its "=" stay: "URL =" is no "URL=".
    if (line.value) {
        check(trimmed(line.value));
    } else {
        check(line.key[0] != '\0' && trimmed(line.key));
    }
    return true;
}

}  // namespace

extern "C" {
uid_t getuid() { return g_uid; }
uid_t geteuid() { return g_uid; }
int setgroups(size_t, const gid_t*) {
    g_setgroups++;
    return 0;
}
int setgid(gid_t) {
    if (g_setgroups == 0 && g_uid == 0) g_order_ok = 0;
    g_setgid++;
    return 0;
}
// The messages are formatted as syslog would, and go nowhere.
void vsyslog(int, const char* fmt, va_list ap) {
    char text[512];
    vsnprintf(text, sizeof text, fmt, ap);
}
void syslog(int prio, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsyslog(prio, fmt, ap);
    va_end(ap);
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int fd = -1;
    static char path[64];
    if (fd < 0) {
        fd = memfd_create("RC522.conf", 0);
        check(fd >= 0);
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    }
    if (size == 0) return 0;
    const uint8_t flags = data[0];
    check(ftruncate(fd, 0) == 0);
    check(pwrite(fd, data + 1, size - 1, 0) == static_cast<ssize_t>(size - 1));
    check(open_config_file(path) == 0);

    static const char* const kKeys[] = {"GPIO=", "SPI_SPEED=", "UID=", "GID=", "=", "#", "A"};
    for (const char* key : kKeys) {
        for (size_t len : {size_t{5}, size_t{254}}) {
            char* dest = static_cast<char*>(malloc(len));  // exactly len: ASan sees any byte more
            int rc = find_config_param(key, dest, len, flags & 2);
            check(rc == 0 || rc == 1);
            if (rc == 1) {
                size_t n = strnlen(dest, len);
                if (n > 0 && n < len) check(!blank(dest[0]) && !blank(dest[n - 1]));
                check(memchr(dest, '#', n) == nullptr);
            }
            free(dest);
        }
    }

    int last_number = 0;
    check(walk_config_lines(check_line, &last_number) == 1);

    g_uid = (flags & 1) ? 0 : 1000;
    g_setgroups = g_setgid = 0;
    g_order_ok = 1;
    uid_t uid = 4242;
    int rc = read_conf_uid(&uid);
    check(rc == 0 || rc == -1);
    if (rc == 0 && g_uid == 0) {
        check(g_setgroups == 1 && g_setgid == 1 && g_order_ok);
        check(uid > 99);
    }
    check(close_config_file() == 0);
    return 0;
}
