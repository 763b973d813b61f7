// The reader configuration file: one open file, first-match key lookups,
// and the user and group a reader program drops to.
#include "config.h"

#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

char config_file[255] = "/etc/RC522.conf";
FILE* fdconfig = nullptr;
char str[255];

namespace {

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// A plain decimal number that fits an id and is not (id_t)-1, which the id
// calls read as "leave unchanged". Signs, blanks and trailing junk are refused:
// a value that is not exactly a number must never turn into some other id.
bool parse_id(const char* text, id_t* out) {
    if (*text == '\0') return false;
    for (const char* p = text; *p; p++)
        if (*p < '0' || *p > '9') return false;
    errno = 0;
    unsigned long long v = std::strtoull(text, nullptr, 10);
    if (errno == ERANGE || v >= static_cast<id_t>(-1)) return false;
    *out = static_cast<id_t>(v);
    return true;
}

}  // namespace

int open_config_file(const char* path) {
    if (fdconfig) return 0;
    if (access(path, R_OK) != 0) return -1;
    fdconfig = std::fopen(path, "r");
    return fdconfig ? 0 : -1;
}

int find_config_param(const char* name, char* dest, size_t len, int log) {
    if (!fdconfig || std::fseek(fdconfig, 0, SEEK_SET) != 0) return -1;
    const size_t name_len = std::strlen(name);
    while (std::fgets(str, 254, fdconfig)) {
        if (char* hash = std::strchr(str, '#')) *hash = '\0';
        char* hit = std::strstr(str, name);
        if (!hit) continue;
        if (log) syslog(LOG_DAEMON | LOG_INFO, "Found param. %s", str);
        char* value = hit + name_len;
        while (is_space(*value)) value++;
        size_t n = std::strlen(value);
        while (n > 0 && is_space(value[n - 1])) value[--n] = '\0';
        std::strncpy(dest, value, len);
        return 1;
    }
    return 0;
}

int read_conf_uid(uid_t* uid) {
    // Big enough for any line, so the value arrives whole and terminated.
    char value[255];
    if (find_config_param("UID=", value, sizeof value - 1, 0) == 1) {
        id_t id = 0;
        if (!parse_id(value, &id) || id <= 99) {
            syslog(LOG_DAEMON | LOG_ERR, "Invalid UID: %s\n", value);
            return -1;
        }
        *uid = id;
    } else if (getuid() <= 99) {
        syslog(LOG_DAEMON | LOG_ERR, "UID must be set!\n");
        return -1;
    }
    if (find_config_param("GID=", value, sizeof value - 1, 0) == 1) {
        id_t id = 0;
        if (!parse_id(value, &id)) {
            syslog(LOG_DAEMON | LOG_ERR, "Invalid GID: %s\n", value);
            return -1;
        }
        // Refused only without the rights, and then we keep the group we have.
        if (setgid(id) != 0) {
        }
    }
    return 0;
}

int close_config_file() {
    if (!fdconfig) return EOF;
    int r = std::fclose(fdconfig);
    fdconfig = nullptr;
    return r;
}
