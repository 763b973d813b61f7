// What the two check-in terminals share: their per-terminal values, the
// boat outputs, the hardware set-up and the check-in exchange with its
// program-wide state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>

// The values by which boat_checkin and boat_tracker differ; everything
// else in this folder is one implementation for both.
struct TerminalProfile {
    const char* name;           // "checkin", "tracker": how tools name the terminal
    uint8_t run_pin;
    uint8_t run_level_running;  // level of run_pin while the boat runs
    uint8_t kill_pin;
    uint8_t kill_level_active;  // level of kill_pin while the kill switch is set
    std::array<uint8_t, 2> relays_in_order;  // run_pin and kill_pin as start-up makes them outputs
    const char* led_line_end;   // appended to the LED messages
    bool spi_divider_256;       // fixed clock divider instead of 250000 / spi_speed
    const char* serial_format;  // per UID byte in the serial text
    int periodic_after;         // LastCheckin above this starts a periodic check-in
    bool report_transfer;       // "Contacting", "Do CURL", "CURL OK " messages
};

extern const TerminalProfile kCheckinTerminal;
extern const TerminalProfile kTrackerTerminal;

// The profile of that name, nullptr for none.
const TerminalProfile* terminal_profile(const char* name);

// The status LED's lines, the same in both terminals: green, blue, red, in
// the order they are written. A colour is lit while its line is low.
constexpr uint8_t kLedPins[] = {17, 22, 27};
constexpr uint8_t kLedOffLevel = 1;

// The profile in use. Every program that drives the outputs sets it
// before anything else; there is no default, as a wrong one would drive
// the wrong relay.
extern const TerminalProfile* Terminal;

// *Terminal; a program that has chosen none ends here, with a message,
// before it drives any line.
const TerminalProfile& chosen_profile();

// The SPI clock of both terminals' bus set-up, in kHz.
constexpr uint32_t kTerminalSpiKhz = 5000;

// The signal pin, pulsed around each card that was read: a BCM GPIO
// number, 18 in both terminals and "GPIO=" in tag_reader; none (255, and
// use_gpio 0) until a program's start-up sets it.
extern uint8_t gpio;
extern uint8_t use_gpio;

// Boat outputs: each drives its lines and writes its message to stderr.
void SetBlue();
void SetRed();
void SetGreen();
void SetOff();
void StartBoat();
void StopBoat();
void KillBoat();
void UnKillBoat();

// One-time hardware set-up: 0 when ready, 1 when the bcm2835 library failed.
// The SPI clock divider follows from spi_speed, unless the profile fixes
// it; tag_reader, which has no relays, runs it without a profile.
uint8_t HW_init(uint32_t spi_speed, uint8_t gpio);

// Start-up of the outputs: the LED's lines and the profile's relays made
// outputs, in that order.
void terminal_output_pins();

// The safe state every way out of a terminal leaves: the boat stopped,
// then the LED off. The kill relay keeps its level.
void leave_boat_safe();
