// The board's fault switches and their hand-over to the models.
#include "faults.h"

#include "devices.h"

#include <cstring>

namespace boatsim {

namespace {

constexpr uint32_t bit(Fault f) { return 1u << static_cast<unsigned>(f); }

static_assert(kFaultCount <= 32, "the board keeps the faults in one 32-bit word");

// The model a fault belongs to hears of it while the lock is held, so a
// program's next access already meets the new behaviour.
void notify(BoardState& s, Fault f, bool on) {
    switch (f) {
    case Fault::rc522_reset:
    case Fault::rc522_absent_low:
    case Fault::rc522_absent_high:
    case Fault::rc522_antenna_off:
        mfrc522_fault(s, f, on);
        break;
    default:
        break;  // cards and the NFC reader look the fault up as they answer
    }
}

}  // namespace

const FaultInfo* fault_by_name(const char* name) {
    if (!name) return nullptr;
    for (const FaultInfo& i : kFaults)
        if (strcmp(i.name, name) == 0) return &i;
    return nullptr;
}

const char* fault_name(Fault f) {
    for (const FaultInfo& i : kFaults)
        if (i.fault == f) return i.name;
    return "?";
}

bool fault_active(const BoardState& s, Fault f) { return (s.faults & bit(f)) != 0; }

void fault_set(BoardState& s, Fault f, bool on) {
    Lock lock(&s);
    if (fault_active(s, f) == on) return;
    if (on)
        s.faults |= bit(f);
    else
        s.faults &= ~bit(f);
    notify(s, f, on);
}

void fault_clear_all(BoardState& s) {
    for (const FaultInfo& i : kFaults) fault_set(s, i.fault, false);
}

}  // namespace boatsim
