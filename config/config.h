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

// Opens `path` for reading unless a file is already open (then `path` is
// ignored). 0 on success, -1 when it cannot be read.
int open_config_file(const char* path);

// Finds the first line holding `name` (a plain substring, "#" starts a
// comment) and copies its trimmed value into `dest` as strncpy does with
// `len`. With `log` set the line is logged ("Found param. "). 1 when found,
// 0 when no line holds it, -1 when the file cannot be rewound.
int find_config_param(const char* name, char* dest, size_t len, int log);

// Takes the identity to run as: stores the "UID=" user id in *uid (left
// unchanged when there is no "UID=" line and we already run as an ordinary
// user) and switches the group to "GID=". 0 to go on, -1 to stop.
int read_conf_uid(uid_t* uid);

// Closes the file; the result of fclose (EOF when none was open).
int close_config_file();
