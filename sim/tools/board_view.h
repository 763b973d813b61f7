// What a person sees on the simulated board: the LED colour and relay
// states read from the pins by the profile's wiring, for the control
// tool's show, events and watch.
#pragma once

#include "board_state.h"

#include <cstdio>

namespace boatsim {

struct Wiring {
    bool has_outputs;   // LED and relays wired (checkin, tracker)
    uint8_t green, blue, red;  // lit when low
    uint8_t run_pin;
    uint8_t run_level;  // level that means running
    uint8_t kill_pin;   // high = kill active
};

Wiring wiring_of(Profile p);

// "off", "blue", "red", "green" or "mixed".
const char* led_text(const BoardState& s);
// "running", "stopped" or "unset" (pin not an output).
const char* run_relay_text(const BoardState& s);
// "active", "off" or "unset".
const char* kill_relay_text(const BoardState& s);
// "input", "output" or "alt".
const char* pin_mode_text(uint8_t fsel);
// "idle", "ready", "active" or "halt" (starred states shown unstarred).
const char* card_state_text(uint8_t state);

// Copies the board under its lock, for printing without holding it.
void snapshot(BoardState* live, BoardState* copy);

void print_show_text(FILE* out, const BoardState& s);
void print_show_json(FILE* out, const BoardState& s);
void print_events(FILE* out, const BoardState& s, uint64_t since, bool json);

// One frame of the live panel, ANSI-coloured, into buf (NUL-terminated,
// cut to size). Returns its length.
size_t render_panel(const BoardState& s, const char* path, char* buf, size_t size);

}  // namespace boatsim
