// The emulated PN532's host side: the byte stream from a host split into
// frames by Pn532Deframer, each command frame run by Pn532Chip against a
// simulated field with two cards, pending commands ticked to their end.
//
// Input: the bytes the host sends.
//
// Checked besides the sanitizers: every answer the chip gives frames and
// deframes back to exactly its data (TFI D5, or the error frame).
#include "board_state.h"
#include "field.h"
#include "pn532_chip.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

using namespace boatsim;

namespace {

void check(bool ok) {
    if (!ok) abort();
}

BoardState* g_board = nullptr;
Card g_cards[kMaxCards];

void setup() {
    char path[] = "/tmp/pn532fuzz.XXXXXX";
    int fd = mkstemp(path);
    check(fd >= 0);
    close(fd);
    std::string err;
    g_board = create_state(path, Profile::tracker, &err);
    check(g_board != nullptr);
    unlink(path);  // stays mapped
    const uint8_t uid4[] = {0x0a, 0x1b, 0xc2, 0x03};
    const uint8_t uid7[] = {0x04, 0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6};
    check(card_put(*g_board, uid4, sizeof uid4, nullptr, -1) >= 0);
    check(card_put(*g_board, uid7, sizeof uid7, nullptr, -1) >= 0);
    memcpy(g_cards, g_board->cards, sizeof g_cards);
}

void check_framing(const Pn532Reply& r) {
    uint8_t frame[kMaxFrameData + 16];
    size_t n;
    if (r.error_frame) {
        memcpy(frame, kPn532ErrorFrame, sizeof kPn532ErrorFrame);
        n = sizeof kPn532ErrorFrame;
    } else {
        n = pn532_frame(kTfiChip, r.data.data(), r.len, frame, sizeof frame);
        check(n > 0);
    }
    Pn532Deframer back;
    back.feed(frame, n);
    Pn532Deframer::Event ev = back.next();
    check(ev.kind == Pn532Deframer::Kind::info);
    if (r.error_frame) {
        check(ev.tfi == 0x7F && ev.len == 0);
    } else {
        check(ev.tfi == kTfiChip && ev.len == r.len && memcmp(ev.data, r.data.data(), r.len) == 0);
    }
    check(back.next().kind == Pn532Deframer::Kind::none);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!g_board) setup();
    {
        Lock lock(g_board);
        memcpy(g_board->cards, g_cards, sizeof g_cards);
        g_board->faults = 0;
    }
    auto chip = std::make_unique<Pn532Chip>(g_board);
    Pn532Deframer deframer;
    uint64_t now = 1'000'000'000;
    // Fed in two parts, as a line delivers bytes in pieces.
    const size_t half = size / 2;
    const uint8_t* parts[2] = {data, data + half};
    const size_t lens[2] = {half, size - half};
    for (int p = 0; p < 2; p++) {
        deframer.feed(parts[p], lens[p]);
        for (int events = 0; events < 64; events++) {
            Pn532Deframer::Event ev = deframer.next();
            if (ev.kind == Pn532Deframer::Kind::none) break;
            if (ev.kind == Pn532Deframer::Kind::ack) {
                chip->abort();
                continue;
            }
            if (ev.kind != Pn532Deframer::Kind::info || ev.tfi != kTfiHost) continue;
            Pn532Reply reply;
            Pn532Chip::Result res = chip->command(ev.data, ev.len, now, &reply);
            for (int ticks = 0; res == Pn532Chip::Result::pending && ticks < 8; ticks++) {
                uint64_t due = chip->deadline_ns();
                if (due == 0) break;
                now = due > now ? due : now;
                res = chip->tick(now, &reply);
            }
            if (res == Pn532Chip::Result::reply) check_framing(reply);
        }
    }
    return 0;
}
