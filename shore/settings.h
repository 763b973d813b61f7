// The shore server's settings file (/etc/boat/shore.conf): KEY=value lines,
// "#" comments; a missing file gives the defaults.
#pragma once

#include <string>

namespace shore {

inline constexpr const char* kDefaultConfig = "/etc/boat/shore.conf";

struct Settings {
    std::string database = "sqlite:/var/lib/boat-shore/shore.db";
    std::string listen = "0.0.0.0:8080";
    std::string cert;
    std::string key;
    // Days of boats' positions kept, whole days; older ones are dropped.
    std::string keep_days = "400";
    // The harbour console: map tiles ({z}/{x}/{y} URL; empty: no tiles, the
    // map still draws), the harbour as "LAT,LON", how long a staff login
    // lasts, and the check-in interval assumed for a boat until its own
    // check-ins show it.
    std::string map_tiles;
    std::string map_center = "0,0";
    std::string staff_session_seconds = "28800";
    std::string boat_interval = "2000";
};

// KEEP_DAYS= as a number (checked by read_settings).
int keep_days(const Settings& s);

// Reads `path` into *s. False with *error ("FILE:LINE: ...") on an unknown
// key, a line without "=", an unreadable file, or settings that do not go
// together.
bool read_settings(const std::string& path, Settings* s, std::string* error);

// LISTEN= split into host and port ("[::1]:8080" for IPv6). False when it
// is not address:port.
bool parse_listen(const std::string& listen, std::string* host, int* port);

}  // namespace shore
