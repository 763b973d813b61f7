#include "temp_board.h"

#include "field.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace testsupport {

TempBoard::TempBoard(boatsim::Profile profile) : path_(dir_.file("board.state")) {
    std::string err;
    state_ = boatsim::create_state(path_.c_str(), profile, &err);
    if (!state_) {
        ADD_FAILURE() << "cannot create board: " << err;
        std::abort();
    }
}

TempBoard::~TempBoard() { boatsim::unmap_state(state_); }

std::vector<boatsim::GpioEvent> TempBoard::events_since(uint64_t since) {
    boatsim::Lock lock(state_);
    std::vector<boatsim::GpioEvent> out;
    uint64_t last = state_->event_seq;
    uint64_t first = last > boatsim::kEventCapacity ? last - boatsim::kEventCapacity + 1 : 1;
    if (since + 1 > first) first = since + 1;
    for (uint64_t s = first; s <= last; s++) out.push_back(state_->events[(s - 1) % boatsim::kEventCapacity]);
    return out;
}

uint64_t TempBoard::last_seq() {
    boatsim::Lock lock(state_);
    return state_->event_seq;
}

uint8_t TempBoard::level(uint8_t pin) {
    boatsim::Lock lock(state_);
    return state_->gpio[pin].level;
}

void TempBoard::put_card(const std::string& uid_hex) {
    auto uid = hex_bytes(uid_hex);
    ASSERT_GE(boatsim::card_put(*state_, uid.data(), static_cast<uint8_t>(uid.size()), nullptr, -1), 0)
        << "card_put " << uid_hex;
}

void TempBoard::take_card(const std::string& uid_hex) {
    auto uid = hex_bytes(uid_hex);
    ASSERT_TRUE(boatsim::card_take(*state_, uid.data(), static_cast<uint8_t>(uid.size()))) << "card_take " << uid_hex;
}

std::vector<uint8_t> hex_bytes(const std::string& hex) {
    std::vector<uint8_t> out;
    if (hex.size() % 2 != 0) {
        ADD_FAILURE() << "odd hex text " << hex;
        return out;
    }
    for (size_t i = 0; i < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace testsupport
