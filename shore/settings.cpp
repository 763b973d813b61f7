#include "settings.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>

namespace shore {

namespace {

// The fault of a value, or nullptr when it is good.
using Check = const char* (*)(const std::string& value);

const char* any_value(const std::string&) { return nullptr; }

const char* database_value(const std::string& v) {
    if (v.rfind("sqlite:", 0) == 0 && v.size() > 7) return nullptr;
    if (v.rfind("postgresql://", 0) == 0 || v.rfind("postgres://", 0) == 0) return nullptr;
    return "not sqlite:PATH or a postgresql:// URI";
}

const char* listen_value(const std::string& v) {
    std::string host;
    int port = 0;
    return parse_listen(v, &host, &port) ? nullptr : "not address:port (1 to 65535; [v6]:port)";
}

struct Key {
    const char* name;
    std::string Settings::*field;
    Check check;
};

// One line per key.
constexpr Key kKeys[] = {
    {"DATABASE", &Settings::database, database_value},
    {"LISTEN", &Settings::listen, listen_value},
    {"CERT", &Settings::cert, any_value},
    {"KEY", &Settings::key, any_value},
};

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
    std::set<std::string> seen;
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
        if (seen.count(name)) {
            *error = where + name + ": given twice";
            return false;
        }
        seen.insert(name);
        const std::string value = trim(text.substr(eq + 1));
        if (const char* fault = key->check(value)) {
            *error = where + name + "=" + value + ": " + fault;
            return false;
        }
        s->*(key->field) = value;
    }
    if (s->cert.empty() != s->key.empty()) {
        *error = path + ": CERT= and KEY= go together";
        return false;
    }
    return true;
}

}  // namespace shore
