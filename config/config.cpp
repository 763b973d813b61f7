// The reader configuration file: one open file, first-match key lookups,
// and the user and group a reader program drops to.
#include "config.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

char config_file[255] = "/etc/RC522.conf";
FILE* fdconfig = nullptr;
char str[255];
int config_echo = 0;

namespace {

// Characters of a line that the lookups see; the rest of a longer line is
// read past and dropped.
constexpr size_t kLineMax = 253;

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// A plain decimal number that fits an id and is not (id_t)-1, which the id
// calls read as "leave unchanged".
bool parse_id(const char* text, id_t* out) {
    unsigned long v = 0;
    if (!config_decimal(text, &v) || v >= static_cast<id_t>(-1)) return false;
    *out = static_cast<id_t>(v);
    return true;
}

// Set by read_line when the line had more characters than it kept.
bool line_cut = false;

// Reads one line into str. A line longer than the buffer stays one line:
// what does not fit is discarded, so the tail of a long comment can never
// be read as a line of its own. False at the end of the file.
bool read_line() {
    size_t n = 0;
    bool any = false;
    line_cut = false;
    int c;
    while ((c = std::getc(fdconfig)) != EOF) {
        any = true;
        if (n < kLineMax)
            str[n++] = static_cast<char>(c);
        else if (c != '\n')
            line_cut = true;
        if (c == '\n') break;
    }
    str[n] = '\0';
    return any;
}

// The next line with its comment cut away. False at the end of the file.
// What a long line lost behind its "#" was comment: the line counts as cut
// only when its value may have lost characters.
bool read_cut_line() {
    if (!read_line()) return false;
    if (char* hash = std::strchr(str, '#')) {
        *hash = '\0';
        line_cut = false;
    }
    return true;
}

// `text` without its blanks at either end; trims in place.
char* trim(char* text) {
    while (is_space(*text)) text++;
    size_t n = std::strlen(text);
    while (n > 0 && is_space(text[n - 1])) text[--n] = '\0';
    return text;
}

}  // namespace

bool config_decimal(const char* text, unsigned long* out) {
    // Signs, blanks and trailing junk are refused: a value that is not
    // exactly a number must never turn into some other number.
    if (*text == '\0') return false;
    for (const char* p = text; *p; p++)
        if (*p < '0' || *p > '9') return false;
    errno = 0;
    unsigned long v = std::strtoul(text, nullptr, 10);
    if (errno == ERANGE) return false;
    *out = v;
    return true;
}

void config_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    if (config_echo) {
        va_list copy;
        va_copy(copy, ap);
        std::vfprintf(stderr, fmt, copy);
        va_end(copy);
    }
    vsyslog(LOG_DAEMON | LOG_ERR, fmt, ap);
    va_end(ap);
}

gid_t primary_group(uid_t uid) {
    const passwd* pw = getpwuid(uid);
    return pw ? pw->pw_gid : static_cast<gid_t>(uid);
}

int open_config_file(const char* path) {
    if (fdconfig) return 0;
    if (access(path, R_OK) != 0) return -1;
    // A FIFO at the path would block the open, a device like /dev/zero
    // would feed the lookups for ever: only a regular file is taken (also
    // through a link, the opened file decides).
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    fdconfig = fdopen(fd, "r");
    if (!fdconfig) {
        close(fd);
        return -1;
    }
    return 0;
}

int find_config_param(const char* name, char* dest, size_t len, int log) {
    if (!fdconfig || std::fseek(fdconfig, 0, SEEK_SET) != 0) return -1;
    while (read_cut_line()) {
        char* hit = std::strstr(str, name);
        if (!hit) continue;
        if (log) syslog(LOG_DAEMON | LOG_INFO, "Found param. %s", str);
        std::strncpy(dest, trim(hit + std::strlen(name)), len);
        return 1;
    }
    return 0;
}

int walk_config_lines(bool (*visit)(const ConfigLine& line, void* ctx), void* ctx) {
    if (!fdconfig || std::fseek(fdconfig, 0, SEEK_SET) != 0) return -1;
    for (int number = 1; read_cut_line(); number++) {
        char* text = trim(str);
        if (*text == '\0') continue;
        ConfigLine line {number, text, nullptr, line_cut};
        if (char* eq = std::strchr(text, '=')) {
            *eq = '\0';
            line.value = trim(eq + 1);
        }
        if (!visit(line, ctx)) return 0;
    }
    return 1;
}

int read_conf_uid(uid_t* uid) {
    // Big enough for any line, so the value arrives whole and terminated.
    char value[255];
    if (find_config_param("UID=", value, sizeof value - 1, 0) == 1) {
        id_t id = 0;
        if (!parse_id(value, &id) || id <= 99) {
            config_error("Invalid UID: %s\n", value);
            return -1;
        }
        *uid = id;
    } else if (getuid() <= 99) {
        config_error("UID must be set!\n");
        return -1;
    }
    bool have_gid = false;
    gid_t gid = 0;
    if (find_config_param("GID=", value, sizeof value - 1, 0) == 1) {
        id_t id = 0;
        if (!parse_id(value, &id)) {
            config_error("Invalid GID: %s\n", value);
            return -1;
        }
        gid = id;
        have_gid = true;
    }
    if (geteuid() != 0) {
        // Without root's rights the group can only stay what it is.
        if (have_gid && setgid(gid) != 0) {
        }
        return 0;
    }
    // Started as root: none of root's groups may stay. Without "GID=" the
    // user's own group, never root's by default.
    if (!have_gid) gid = primary_group(*uid);
    if (setgroups(0, nullptr) != 0) {
        config_error("Can't drop supplementary groups: %s\n", std::strerror(errno));
        return -1;
    }
    if (setgid(gid) != 0) {
        config_error("Can't set GID %u: %s\n", static_cast<unsigned>(gid), std::strerror(errno));
        return -1;
    }
    return 0;
}

int close_config_file() {
    if (!fdconfig) return EOF;
    int r = std::fclose(fdconfig);
    fdconfig = nullptr;
    return r;
}
