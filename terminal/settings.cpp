// The terminals' settings file over the compiled-in values: read whole and
// checked before anything of it is used.
#include "settings.h"

#include "config.h"

#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef BOAT_CHECKIN_INTERVAL
#error "the compiled-in values (BOAT_CHECKIN_URL, BOAT_DB_*, ...) come from the build"
#endif

namespace {

template <size_t N>
constexpr std::array<char, N> text(const char* s) {
    std::array<char, N> a {};
    for (size_t i = 0; s[i] != '\0' && i + 1 < N; i++) a[i] = s[i];
    return a;
}

constexpr TerminalSettings kDefaults {
    text<kUrlMax + 1>(BOAT_CHECKIN_URL),
    text<254>(BOAT_CHECKIN_CA),
    text<254>(BOAT_CHECKIN_PINNED_KEY),
    text<254>(BOAT_DB_HOST),
    text<254>(BOAT_DB_USER),
    text<254>(BOAT_DB_PASSWORD),
    text<254>(BOAT_DB_NAME),
    text<254>(BOAT_GPSD_HOST),
    text<6>(BOAT_GPSD_PORT),
    text<254>(BOAT_GPIO_CHIP),
    text<254>(BOAT_SPI_DEVICE),
    text<6>(BOAT_CHECKIN_INTERVAL),
    text<254>(""),
    text<254>(""),
    text<254>(""),
    text<254>(""),
    text<254>(""),
    text<254>("uplink"),
    text<254>("gull317"),
};

// The seconds of a CHECKIN_INTERVAL value: 0 for the empty text, -1 for
// anything but a decimal number from 1 to kCheckinIntervalMax.
constexpr long interval_value(const char* s) {
    long v = 0;
    for (const char* p = s; *p != '\0'; p++) {
        if (*p < '0' || *p > '9') return -1;
        v = v * 10 + (*p - '0');
        if (v > static_cast<long>(kCheckinIntervalMax)) return -1;
    }
    return s[0] != '\0' && v == 0 ? -1 : v;
}

constexpr size_t kBuiltInUrlLength = sizeof BOAT_CHECKIN_URL - 1;
static_assert(kBuiltInUrlLength <= kUrlMax, "BOAT_CHECKIN_URL: longer than the request buffer leaves room for");
static_assert(interval_value(BOAT_CHECKIN_INTERVAL) >= 0,
              "BOAT_CHECKIN_INTERVAL: not a number of seconds (1 to kCheckinIntervalMax)");
static_assert(interval_value(BOAT_CHECKIN_INTERVAL) == 0 || kBuiltInUrlLength <= kUrlMaxWithKind,
              "BOAT_CHECKIN_URL: too long for the kind of check-in that BOAT_CHECKIN_INTERVAL adds");

enum class Rule {
    url,       // http or https, fits the request buffer, no user name
    any,       // any text, empty too
    nonempty,  // any text but the empty one
    port,      // 1 to 65535
    chip,      // empty, a device path or a GPIO chip's label
    device,    // a device path
    seconds,   // empty, or 1 to kCheckinIntervalMax
    file,      // empty, or a regular file this process can read
    link,      // empty, or an http or https URL without user name
};

// The longest label the kernel gives a GPIO chip.
constexpr size_t kChipLabelMax = GPIO_MAX_NAME_SIZE - 1;  // less its NUL

// One row per key.
struct Key {
    const char* name;
    Rule rule;
    char* (*field)(TerminalSettings&);
    size_t size;
};

constexpr Key kKeys[] = {
    {"URL", Rule::url, [](TerminalSettings& s) { return s.url.data(); }, sizeof(TerminalSettings::url)},
    {"CA_FILE", Rule::any, [](TerminalSettings& s) { return s.ca_file.data(); }, sizeof(SettingText)},
    {"PINNED_KEY", Rule::any, [](TerminalSettings& s) { return s.pinned_key.data(); }, sizeof(SettingText)},
    {"DB_HOST", Rule::nonempty, [](TerminalSettings& s) { return s.db_host.data(); }, sizeof(SettingText)},
    {"DB_USER", Rule::nonempty, [](TerminalSettings& s) { return s.db_user.data(); }, sizeof(SettingText)},
    {"DB_PASSWORD", Rule::any, [](TerminalSettings& s) { return s.db_password.data(); }, sizeof(SettingText)},
    {"DB_NAME", Rule::nonempty, [](TerminalSettings& s) { return s.db_name.data(); }, sizeof(SettingText)},
    {"GPSD_HOST", Rule::nonempty, [](TerminalSettings& s) { return s.gpsd_host.data(); }, sizeof(SettingText)},
    {"GPSD_PORT", Rule::port, [](TerminalSettings& s) { return s.gpsd_port.data(); }, sizeof(TerminalSettings::gpsd_port)},
    {"GPIO_CHIP", Rule::chip, [](TerminalSettings& s) { return s.gpio_chip.data(); }, sizeof(SettingText)},
    {"SPI_DEVICE", Rule::device, [](TerminalSettings& s) { return s.spi_device.data(); }, sizeof(SettingText)},
    {"CHECKIN_INTERVAL", Rule::seconds, [](TerminalSettings& s) { return s.checkin_interval.data(); },
     sizeof(TerminalSettings::checkin_interval)},
    {"CLIENT_CERT", Rule::file, [](TerminalSettings& s) { return s.client_cert.data(); }, sizeof(SettingText)},
    {"CLIENT_KEY", Rule::file, [](TerminalSettings& s) { return s.client_key.data(); }, sizeof(SettingText)},
    {"UPLINK_URL", Rule::link, [](TerminalSettings& s) { return s.uplink_url.data(); }, sizeof(SettingText)},
    {"UPLINK_CA_FILE", Rule::any, [](TerminalSettings& s) { return s.uplink_ca_file.data(); }, sizeof(SettingText)},
    {"UPLINK_TOKEN", Rule::any, [](TerminalSettings& s) { return s.uplink_token.data(); }, sizeof(SettingText)},
    {"UPLINK_DB_USER", Rule::nonempty, [](TerminalSettings& s) { return s.uplink_db_user.data(); }, sizeof(SettingText)},
    {"UPLINK_DB_PASSWORD", Rule::any, [](TerminalSettings& s) { return s.uplink_db_password.data(); }, sizeof(SettingText)},
};
constexpr size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];

constexpr bool same_text(const char* a, const char* b) {
    for (; *a != '\0' && *a == *b; a++, b++) {}
    return *a == *b;
}

// The row of the key called `name`; the checks below name their keys, so
// rows can be added anywhere.
constexpr size_t key(const char* name) {
    for (size_t i = 0; i < kKeyCount; i++)
        if (same_text(kKeys[i].name, name)) return i;
    return kKeyCount;
}
constexpr size_t kUrlKey = key("URL"), kCaKey = key("CA_FILE"), kPinKey = key("PINNED_KEY"),
                 kPasswordKey = key("DB_PASSWORD"), kIntervalKey = key("CHECKIN_INTERVAL"),
                 kCertKey = key("CLIENT_CERT"), kClientKeyKey = key("CLIENT_KEY"), kChipKey = key("GPIO_CHIP"),
                 kSpiKey = key("SPI_DEVICE");
// Secrets beside DB_PASSWORD: the boat's token and the uplink's password.
constexpr size_t kSecretKeys[] = {key("UPLINK_TOKEN"), key("UPLINK_DB_PASSWORD")};
static_assert(std::max({kUrlKey, kCaKey, kPinKey, kPasswordKey, kIntervalKey, kCertKey, kClientKeyKey, kChipKey,
                        kSpiKey, kSecretKeys[0], kSecretKeys[1]}) < kKeyCount,
              "every key the checks name has its row");

// http or https, a host part without user name, then the path. Blanks and
// control characters would end up inside the request line.
bool valid_url(const char* url) {
    const char* host = nullptr;
    if (strncmp(url, "http://", 7) == 0) host = url + 7;
    if (strncmp(url, "https://", 8) == 0) host = url + 8;
    if (!host) return false;
    for (const char* p = url; *p; p++)
        if (static_cast<unsigned char>(*p) <= ' ' || *p == 0x7f) return false;
    const char* path = strchr(host, '/');
    return path && path > host && !memchr(host, '@', static_cast<size_t>(path - host));
}

bool is_https(const char* url) { return strncmp(url, "https://", 8) == 0; }

using Why = std::array<char, 128>;

// Why `value` does not suit `key`; the empty text when it does.
Why refusal(const Key& key, const char* value) {
    Why why {};
    auto say = [&why](const char* fmt, auto... args) { snprintf(why.data(), why.size(), fmt, args...); };
    size_t len = strlen(value);
    switch (key.rule) {
    case Rule::url:
        if (len > kUrlMax)
            say("longer than %zu characters", kUrlMax);
        else if (!valid_url(value))
            say("%s", "not an http or https URL with a path and without user name");
        break;
    case Rule::any:
        break;
    case Rule::nonempty:
        if (len == 0) say("%s", "empty");
        break;
    case Rule::port: {
        unsigned long port = 0;
        if (!config_decimal(value, &port) || port < 1 || port > 65535) say("%s", "not a port number (1 to 65535)");
        break;
    }
    case Rule::chip:
        if (value[0] != '/' && len > kChipLabelMax)
            say("neither a device path nor a GPIO chip label (at most %zu characters)", kChipLabelMax);
        break;
    case Rule::device:
        if (value[0] != '/') say("%s", "not a device path");
        break;
    case Rule::seconds:
        if (interval_value(value) < 0) say("not a number of seconds (1 to %u)", kCheckinIntervalMax);
        break;
    case Rule::file: {
        if (len == 0) break;
        const int fd = open(value, O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0)
            say("cannot be read: %s", strerror(errno));
        else if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
            say("%s", "not a regular file");
        if (fd >= 0) close(fd);
        break;
    }
    case Rule::link:
        if (len != 0 && !valid_url(value)) say("%s", "not an http or https URL with a path and without user name");
        break;
    }
    return why;
}

void note(SettingsNote* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void note(SettingsNote* out, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(out->data(), out->size(), fmt, ap);
    va_end(ap);
}

struct Walk {
    const char* path;
    TerminalSettings settings;
    int line_of[kKeyCount];  // where each key was given; 0: not in the file
    SettingsNote* error;
    SettingsKeys keys;
};

constexpr char kUplinkPrefix[] = "UPLINK_";

bool take_line(const ConfigLine& line, void* ctx) {
    Walk& w = *static_cast<Walk*>(ctx);
    const size_t row = key(line.key);
    // A program of the board alone leaves the terminals' lines to them.
    if (w.keys == SettingsKeys::board && row != kChipKey && row != kSpiKey) return true;
    if (w.keys == SettingsKeys::uplink && strncmp(line.key, kUplinkPrefix, sizeof kUplinkPrefix - 1) != 0) return true;
    if (line.cut) {
        note(w.error, "%s:%d: %s: line longer than the 253 characters read", w.path, line.number, line.key);
        return false;
    }
    if (!line.value) {
        note(w.error, "%s:%d: %s: not a KEY=value line", w.path, line.number, line.key);
        return false;
    }
    if (row == kKeyCount) {
        note(w.error, "%s:%d: %s: unknown key", w.path, line.number, line.key);
        return false;
    }
    const Key& k = kKeys[row];
    if (w.line_of[row] != 0) return true;  // the first line of a key wins
    const Why why = refusal(k, line.value);
    if (why[0] != '\0') {
        note(w.error, "%s:%d: %s: %s", w.path, line.number, k.name, why.data());
        return false;
    }
    snprintf(k.field(w.settings), k.size, "%s", line.value);
    w.line_of[row] = line.number;
    return true;
}

// A verified link is never given up quietly: a CA file, pin or client
// certificate, the file's or the build's, with an http URL is refused.
bool link_consistent(Walk& w) {
    TerminalSettings& s = w.settings;
    if (is_https(s.url.data())) return true;
    for (size_t i : {kCaKey, kPinKey, kCertKey, kClientKeyKey}) {
        if (w.line_of[i] != 0 && kKeys[i].field(s)[0] != '\0') {
            note(w.error, "%s:%d: %s: needs an https URL", w.path, w.line_of[i], kKeys[i].name);
            return false;
        }
    }
    if (s.ca_file[0] == '\0' && s.pinned_key[0] == '\0') return true;
    note(w.error, "%s:%d: URL: http, but the build's CA file or pinned key needs https (set CA_FILE= and PINNED_KEY= "
                  "empty to go without)",
         w.path, w.line_of[kUrlKey]);
    return false;
}

// A client certificate is nothing without its key, nor a key without it.
bool client_pair_whole(Walk& w) {
    TerminalSettings& s = w.settings;
    const bool cert = s.client_cert[0] != '\0', key = s.client_key[0] != '\0';
    if (cert == key) return true;
    const size_t given = cert ? kCertKey : kClientKeyKey, missing = cert ? kClientKeyKey : kCertKey;
    note(w.error, "%s:%d: %s: needs %s", w.path, w.line_of[given], kKeys[given].name, kKeys[missing].name);
    return false;
}

// With a check-in interval the request also carries the kind of check-in,
// which the URL must leave room for in the request buffer.
bool url_fits_kind(Walk& w) {
    TerminalSettings& s = w.settings;
    if (s.checkin_interval[0] == '\0' || strlen(s.url.data()) <= kUrlMaxWithKind) return true;
    if (w.line_of[kUrlKey] != 0)
        note(w.error, "%s:%d: URL: longer than %zu characters, the most that leave room for CHECKIN_INTERVAL's %s",
             w.path, w.line_of[kUrlKey], kUrlMaxWithKind, kKindPeriodic);
    else
        note(w.error,
             "%s:%d: CHECKIN_INTERVAL: the built-in URL is longer than %zu characters, the most that leave room for %s",
             w.path, w.line_of[kIntervalKey], kUrlMaxWithKind, kKindPeriodic);
    return false;
}

// The file may only be changed by its owner, and the owner must be root or
// the user reading it: whoever can rewrite it can grant boats.
bool guarded(const char* path, const struct stat& st, SettingsNote* error) {
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        note(error, "%s: owned by user %u, not by root", path, static_cast<unsigned>(st.st_uid));
        return false;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        note(error, "%s: others than its owner may write it (mode %04o)", path, static_cast<unsigned>(st.st_mode & 07777));
        return false;
    }
    return true;
}

int fail(int why) {
    errno = why;
    return -1;
}

// Opens `path` in the configuration reader: 0. -1 with errno when there is
// no file (*missing set) or it must not be read (*error set).
int open_settings_file(const char* path, bool* missing, struct stat* st, SettingsNote* error) {
    *missing = false;
    if (fdconfig) {
        note(error, "%s: the configuration reader has another file open", path);
        return fail(EBUSY);
    }
    if (stat(path, st) != 0) {
        const int why = errno;
        *missing = why == ENOENT;
        if (!*missing) note(error, "%s: cannot be read: %s", path, strerror(why));
        return fail(why);
    }
    if (!S_ISREG(st->st_mode)) {
        note(error, "%s: not a regular file", path);
        return fail(EINVAL);
    }
    if (open_config_file(path) != 0) {
        const int why = errno;
        note(error, "%s: cannot be read: %s", path, strerror(why));
        return fail(why);
    }
    // What was opened decides, not what the path named a moment before.
    const bool regular = fstat(fileno(fdconfig), st) == 0 && S_ISREG(st->st_mode);
    if (!regular) note(error, "%s: not a regular file", path);
    if (!regular || !guarded(path, *st, error)) {
        close_config_file();
        return fail(EINVAL);
    }
    return 0;
}

}  // namespace

TerminalSettings terminal_settings = kDefaults;

TerminalSettings default_terminal_settings() { return kDefaults; }

unsigned checkin_interval_seconds(const TerminalSettings& s) {
    const long v = interval_value(s.checkin_interval.data());
    return v > 0 ? static_cast<unsigned>(v) : 0;
}

int read_terminal_settings(const char* path, TerminalSettings* out, SettingsNote* error, SettingsNote* warning,
                           SettingsKeys keys) {
    (*error)[0] = '\0';
    (*warning)[0] = '\0';
    bool missing = false;
    struct stat st {};
    if (open_settings_file(path, &missing, &st, error) != 0) {
        if (!missing) return -1;
        *out = kDefaults;
        return 0;
    }
    Walk w {path, kDefaults, {}, error, keys};
    int walked = walk_config_lines(take_line, &w);
    close_config_file();
    if (walked < 0) {
        note(error, "%s: cannot be read", path);
        return fail(EIO);
    }
    if (walked != 1) return fail(EINVAL);
    if (keys == SettingsKeys::all && (!link_consistent(w) || !client_pair_whole(w) || !url_fits_kind(w)))
        return fail(EINVAL);
    if ((st.st_mode & S_IROTH) && w.line_of[kPasswordKey] != 0)
        note(warning, "%s: every user may read it, and it holds DB_PASSWORD= (chmod 640 %s)", path, path);
    for (size_t i : kSecretKeys) {
        if ((st.st_mode & S_IROTH) && w.line_of[i] != 0 && (*warning)[0] == '\0')
            note(warning, "%s: every user may read it, and it holds %s= (chmod 640 %s)", path, kKeys[i].name, path);
    }
    *out = w.settings;
    return 0;
}

int terminal_settings_path(SettingsPath* out) {
    const char* credentials = getenv("CREDENTIALS_DIRECTORY");
    if (credentials == nullptr || credentials[0] == '\0') {
        snprintf(out->data(), out->size(), "%s", kTerminalSettingsPath);
        return 0;
    }
    const int n = snprintf(out->data(), out->size(), "%s/%s", credentials, kTerminalSettingsCredential);
    if (n > 0 && static_cast<size_t>(n) < out->size()) return 0;
    return fail(ENAMETOOLONG);
}

int terminal_settings_startup(const char* path, SettingsKeys keys) {
    SettingsPath credential {};
    if (path == nullptr) {
        if (terminal_settings_path(&credential) != 0) {
            const char* too_long = "CREDENTIALS_DIRECTORY: longer than a path may be";
            fprintf(stderr, "%s\r\n", too_long);
            syslog(LOG_DAEMON | LOG_ERR, "%s", too_long);
            return fail(ENAMETOOLONG);
        }
        path = credential.data();
    }
    SettingsNote error {}, warning {};
    TerminalSettings read {};
    if (read_terminal_settings(path, &read, &error, &warning, keys) != 0) {
        const int why = errno;
        fprintf(stderr, "%s\r\n", error.data());
        syslog(LOG_DAEMON | LOG_ERR, "%s", error.data());
        return fail(why);
    }
    if (warning[0] != '\0') {
        fprintf(stderr, "%s\r\n", warning.data());
        syslog(LOG_DAEMON | LOG_WARNING, "%s", warning.data());
    }
    terminal_settings = read;
    return 0;
}
