// A private simulated board for one test: a fresh state file in a
// temporary directory, mapped into the test process, and the environment
// entry that points a program at it.
#pragma once

#include "board_state.h"
#include "process.h"

#include <string>
#include <vector>

namespace testsupport {

class TempBoard {
public:
    explicit TempBoard(boatsim::Profile profile);
    ~TempBoard();
    TempBoard(const TempBoard&) = delete;
    TempBoard& operator=(const TempBoard&) = delete;

    boatsim::BoardState& state() { return *state_; }
    const std::string& path() const { return path_; }
    std::string env() const { return "BOATSIM_STATE=" + path_; }  // for ProcessOptions::env

    // GPIO writes logged after sequence number `since`, oldest first.
    std::vector<boatsim::GpioEvent> events_since(uint64_t since);
    uint64_t last_seq();
    uint8_t level(uint8_t pin);

    // Puts/takes a card given as hex text (8, 14 or 20 digits).
    void put_card(const std::string& uid_hex);
    void take_card(const std::string& uid_hex);

private:
    TempDir dir_;
    std::string path_;
    boatsim::BoardState* state_ = nullptr;
};

// "0a1bc203" -> bytes. Fails the current test on bad text.
std::vector<uint8_t> hex_bytes(const std::string& hex);

}  // namespace testsupport
