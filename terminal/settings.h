// The terminals' settings: the server link, the tracker's database login
// and its gpsd, the board's GPIO chip and SPI device. Compiled-in defaults,
// which the root-only file /etc/boat/terminal.conf may replace key by key
// ("KEY=value" lines read by the configuration reader, "#" comments, the
// first line of a key wins). A fleet's server and password live there, not
// in a build.
//
// Link the library `terminal_settings` (it brings only `config`).
#pragma once

#include "request.h"

#include <array>
#include <climits>
#include <cstddef>

constexpr const char* kTerminalSettingsPath = "/etc/boat/terminal.conf";
// A terminal started by systemd without the rights to read that file gets
// a copy as the credential of this name (LoadCredential=).
constexpr const char* kTerminalSettingsCredential = "terminal.conf";

// A periodic check-in at most once a day.
constexpr unsigned kCheckinIntervalMax = 86400;

using SettingText = std::array<char, 254>;   // any value of one file line
using SettingsNote = std::array<char, 384>;  // one message about the file

struct TerminalSettings {
    std::array<char, kUrlMax + 1> url;  // http or https, no user name
    SettingText ca_file;                // https only; empty: the system's CA store
    SettingText pinned_key;             // https only; empty: no pin
    SettingText db_host;
    SettingText db_user;
    SettingText db_password;
    SettingText db_name;
    SettingText gpsd_host;
    std::array<char, 6> gpsd_port;  // decimal, 1 to 65535
    SettingText gpio_chip;          // a label or a device path; empty: the board's own
    SettingText spi_device;         // a device path
    std::array<char, 6> checkin_interval;  // seconds, 1 to kCheckinIntervalMax; empty: after the idle count
    SettingText client_cert;        // https only, with client_key; empty: none
    SettingText client_key;
    // boat_uplink: the shore's telemetry endpoint (empty: no uplink), the CA
    // its certificate must chain to (empty: the system's), the boat's token,
    // and its database login, which may only read the table GPS.
    SettingText uplink_url;
    SettingText uplink_ca_file;
    SettingText uplink_token;
    SettingText uplink_db_user;
    SettingText uplink_db_password;
};

// The periodic check-in's interval in seconds; 0 when the loop's count
// decides.
unsigned checkin_interval_seconds(const TerminalSettings& s);

// The settings in force; the compiled-in values until
// terminal_settings_startup has read the file.
extern TerminalSettings terminal_settings;

// The compiled-in values.
TerminalSettings default_terminal_settings();

// Which keys a program takes from the file: all of them (the terminals),
// only the board's GPIO_CHIP= and SPI_DEVICE= (tag_reader, boat_safe), or
// only the UPLINK_ ones (boat_uplink, whose user need not read the
// terminals' client certificate); the other lines are then the terminals'
// business and not checked.
enum class SettingsKeys { all, board, uplink };

// Reads the file at `path` over the compiled-in values into *out: 0. A
// missing file gives the compiled-in values. -1 with errno (the reason of
// stat or open when it cannot be read, else EINVAL) when the file must stop
// the program: a file that is not a regular file, cannot be read or may be
// written by another user than its owner (root or this process's user), a
// line that is not a known "KEY=value", a value out of its rules, a CA file,
// pin or client certificate with an http URL, a client certificate without
// its key or the other way round, a URL too long for the kind of check-in
// that a check-in interval adds. *error then holds one message naming the file,
// the line and the key, and *out is untouched. *warning gets a note that
// does not stop the program (a DB_PASSWORD in a file every user may read);
// empty when there is none. With SettingsKeys::board or ::uplink only those
// keys are read and checked; who may write the file still counts.
int read_terminal_settings(const char* path, TerminalSettings* out, SettingsNote* error, SettingsNote* warning,
                           SettingsKeys keys = SettingsKeys::all);

using SettingsPath = std::array<char, PATH_MAX>;

// The file the terminals read: the credential in $CREDENTIALS_DIRECTORY
// when systemd passed credentials, else kTerminalSettingsPath: 0. -1 with
// errno ENAMETOOLONG when that folder's name leaves no room for the file's.
int terminal_settings_path(SettingsPath* out);

// Start-up of both terminals, before any hardware access: reads `path`
// (null: terminal_settings_path()) into terminal_settings. A refused file
// is reported on stderr and to syslog (daemon, error) and leaves
// terminal_settings as it was; -1 with errno then, else 0. A warning goes the same
// ways at level warning.
int terminal_settings_startup(const char* path = nullptr, SettingsKeys keys = SettingsKeys::all);
