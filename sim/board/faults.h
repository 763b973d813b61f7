// Faults the simulated board shows on demand: set and cleared by the control
// tool or a test while programs run, one interface for every model.
//
// The control side calls fault_set(); a model asks fault_active() at the
// point where its behaviour would change, and a model that must act at the
// moment a fault comes or goes (a chip losing its registers) gets the change
// through its hook in fault_set(). No model keeps fault flags of its own.
#pragma once

#include "board_state.h"

#include <cstddef>
#include <cstdint>

namespace boatsim {

enum class Fault : uint8_t {
    // MFRC522 reader chip (checkin, tagreader).
    rc522_reset,        // held in reset: back at its power-on values, again on every access while set
    rc522_absent_low,   // off the bus: MISO reads 0x00, nothing written arrives
    rc522_absent_high,  // off the bus: MISO reads 0xFF, nothing written arrives
    rc522_antenna_off,  // the antenna drivers switch themselves off (over-temperature) while set
    // Cards in the field (every card there).
    card_bad_bcc,     // anticollision answers carry a wrong BCC
    card_parity,      // answers arrive with a parity error
    card_bad_crc,     // answers that end in CRC_A carry a wrong one
    card_no_select,   // cards answer REQA and anticollision but never a SELECT
    // Emulated PN532 NFC reader (tracker).
    pn532_line_closed,  // the serial line is gone, as when the reader is unplugged
    pn532_mute,         // the reader takes frames but never answers
};

struct FaultInfo {
    Fault fault;
    const char* name;  // as the control tool and show --json spell it
    const char* help;
};

constexpr FaultInfo kFaults[] = {
    {Fault::rc522_reset, "rc522-reset", "reader chip held in reset (power-on register values)"},
    {Fault::rc522_absent_low, "rc522-absent-low", "reader chip off the bus, MISO reads 0x00"},
    {Fault::rc522_absent_high, "rc522-absent-high", "reader chip off the bus, MISO reads 0xFF"},
    {Fault::rc522_antenna_off, "rc522-antenna-off", "reader antenna drivers switched off (over-temperature)"},
    {Fault::card_bad_bcc, "card-bad-bcc", "cards answer anticollision with a wrong BCC"},
    {Fault::card_parity, "card-parity", "card answers arrive with a parity error"},
    {Fault::card_bad_crc, "card-bad-crc", "card answers carry a wrong CRC_A"},
    {Fault::card_no_select, "card-no-select", "cards answer REQA but never complete a select"},
    {Fault::pn532_line_closed, "pn532-line-closed", "NFC reader's serial line gone (unplugged)"},
    {Fault::pn532_mute, "pn532-mute", "NFC reader takes frames but never answers"},
};
constexpr size_t kFaultCount = sizeof kFaults / sizeof kFaults[0];

// The entry of a fault name; null when there is none of that name.
const FaultInfo* fault_by_name(const char* name);
const char* fault_name(Fault f);

// Whether a fault is set. Call with the board lock held (models do).
bool fault_active(const BoardState& s, Fault f);

// Sets or clears a fault and tells the model it belongs to. Takes the
// board lock itself.
void fault_set(BoardState& s, Fault f, bool on);
void fault_clear_all(BoardState& s);

}  // namespace boatsim
