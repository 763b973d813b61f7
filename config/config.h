// The reader configuration file: one open key file, a first-match key
// lookup, and the user and group identity taken from it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>

// Path of the reader configuration, "/etc/RC522.conf".
extern char config_file[255];

// The open configuration file, null while none is open.
extern FILE* fdconfig;

// Line buffer shared by every lookup.
extern char str[255];

// Non-zero: config_error also writes its messages on stderr (tag_reader's
// debug mode).
extern int config_echo;

// Opens `path` for reading unless a file is already open (then `path` is
// ignored). 0 on success, -1 when it cannot be read or is not a regular
// file (a FIFO or a device is refused without blocking).
int open_config_file(const char* path);

// Finds the first line holding `name` (a plain substring, "#" starts a
// comment; a line longer than 253 characters is cut there, its rest
// discarded) and copies its trimmed value into `dest` as strncpy does with
// `len`. With `log` set the line is logged ("Found param. "). 1 when found,
// 0 when no line holds it, -1 when the file cannot be rewound.
int find_config_param(const char* name, char* dest, size_t len, int log);

// One line of the open file as walk_config_lines reports it: cut at its
// first "#"; the key is the text before the first "=" without the blanks
// in front of it; the value follows the "=", trimmed as find_config_param
// trims it. A line without "=" has the whole trimmed text as key and a
// null value. `cut`: the line was longer than the lookups read, and not
// within its comment, so its value may miss characters.
struct ConfigLine {
    int number;  // from 1
    const char* key;
    const char* value;
    bool cut;
};

// Reports each line of the open file that holds more than blanks, from the
// top, until `visit` returns false. 1 when every line was reported, 0 when
// visit stopped the walk, -1 when the file cannot be rewound.
int walk_config_lines(bool (*visit)(const ConfigLine& line, void* ctx), void* ctx);

// Takes the identity to run as: stores the "UID=" user id in *uid (left
// unchanged when there is no "UID=" line and we already run as an ordinary
// user) and switches the group. Started as root it drops every
// supplementary group and takes "GID=", or without it the primary group of
// *uid; a refused step is logged and fails. 0 to go on, -1 to stop; the
// caller switches the user.
int read_conf_uid(uid_t* uid);

// A plain decimal number (digits only, no sign or blank) that fits an
// unsigned long, into *out.
bool config_decimal(const char* text, unsigned long* out);

// Start-up refusals: syslog at priority 27, and stderr with config_echo.
void config_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The primary group of the account with user id `uid`, or the group with
// the same number when there is no such account.
gid_t primary_group(uid_t uid);

// Closes the file; the result of fclose (EOF when none was open).
int close_config_file();
