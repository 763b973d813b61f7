#include "settings.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace shore {

namespace {

struct Key {
    const char* name;
    std::string Settings::*field;
};

// One line per key.
constexpr Key kKeys[] = {
    {"DATABASE", &Settings::database},
    {"LISTEN", &Settings::listen},
    {"CERT", &Settings::cert},
    {"KEY", &Settings::key},
    {"KEEP_DAYS", &Settings::keep_days},
};

constexpr long kKeepDaysMax = 36500;

bool parse_keep_days(const std::string& text, long* days) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *days = std::stol(text);
    return *days >= 1 && *days <= kKeepDaysMax;
}

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return "";
    const size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

}  // namespace

bool parse_listen(const std::string& listen, std::string* host, int* port) {
    const size_t colon = listen.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string h = listen.substr(0, colon);
    const std::string p = listen.substr(colon + 1);
    if (h.front() == '[') {
        if (h.size() < 3 || h.back() != ']') return false;
        h = h.substr(1, h.size() - 2);
    } else if (h.find(':') != std::string::npos) {
        return false;
    }
    if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
    const int n = std::stoi(p);
    if (n < 1 || n > 65535) return false;
    *host = h;
    *port = n;
    return true;
}

bool read_settings(const std::string& path, Settings* s, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        if (errno == ENOENT) return true;
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        number++;
        const std::string text = trim(line);
        if (text.empty() || text[0] == '#') continue;
        const std::string where = path + ":" + std::to_string(number) + ": ";
        const size_t eq = text.find('=');
        if (eq == std::string::npos) {
            *error = where + "not KEY=value";
            return false;
        }
        const std::string name = trim(text.substr(0, eq));
        const Key* key = nullptr;
        for (const Key& k : kKeys)
            if (name == k.name) key = &k;
        if (!key) {
            *error = where + "unknown key " + name;
            return false;
        }
        s->*(key->field) = trim(text.substr(eq + 1));
    }
    long days = 0;
    if (!parse_keep_days(s->keep_days, &days)) {
        *error = path + ": KEEP_DAYS=" + s->keep_days + " is not a number of days from 1 to 36500";
        return false;
    }
    if (s->cert.empty() != s->key.empty()) {
        *error = path + ": CERT= and KEY= go together";
        return false;
    }
    std::string host;
    int port = 0;
    if (!parse_listen(s->listen, &host, &port)) {
        *error = path + ": LISTEN=" + s->listen + " is not address:port";
        return false;
    }
    return true;
}

int keep_days(const Settings& s) {
    long days = 0;
    if (!parse_keep_days(s.keep_days, &days)) throw std::invalid_argument("KEEP_DAYS=" + s.keep_days + " is not a number of days");
    return static_cast<int>(days);
}

}  // namespace shore
