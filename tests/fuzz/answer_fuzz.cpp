// The answer path of one check-in as a transfer delivers it: the body in
// chunks through write_callback into InBuff, then the answer handled by a
// card or a periodic check-in (classification, grant scan, outputs).
//
// Input: a flags byte (bit 0 card check-in, bit 1 the transfer fails after
// its chunks, bit 2 a session runs before, bit 3 the tracker's profile,
// bit 4 the response has an error status), then chunks, each a length byte
// and that many body bytes.
//
// Checked besides the sanitizers: the answer stays terminated in InBuff; a
// failed transfer or an answer that is none changes neither the session
// nor the run relay; the run relay runs exactly while a session runs; a
// kill or refusal answer leaves the boat stopped; an error status never
// grants.
#include "checkin_client.h"
#include "fake_link.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

int no_sleep(useconds_t) { return 0; }
time_t fixed_time(time_t* t) {
    if (t) *t = 1700000000;
    return 1700000000;
}

void check(bool ok) {
    if (!ok) abort();
}

bool running() { return fuzzlink::level(Terminal->run_pin) == Terminal->run_level_running; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t flags = data[0];
    static size_t sizes[512];
    size_t n = 0;
    // Chunks are laid out as length byte + bytes; gather the bytes behind
    // each other for the fake transfer.
    static uint8_t bytes[65536];
    size_t have = 0;
    for (size_t at = 1; at < size && n < 512;) {
        size_t len = data[at++];
        if (len > size - at) len = size - at;
        memcpy(bytes + have, data + at, len);
        sizes[n++] = len;
        have += len;
        at += len;
    }

    Terminal = (flags & 8) ? &kTrackerTerminal : &kCheckinTerminal;
    terminal_usleep = no_sleep;
    terminal_time = fixed_time;
    checkin_buffers_init();
    fuzzlink::reset_levels();
    if (flags & 4) {
        Active = 1;
        StartBoat();
        StartTime = 1700000000 - 60;
        EndTime = StartTime + 600;
    } else {
        Active = 0;
        StopBoat();
    }
    const int active_before = Active;
    const time_t end_before = EndTime;
    const bool failing = flags & 2;
    const bool error_status = flags & 16;
    fuzzlink::next_transfer({bytes, sizes, n, failing ? 7 /* CURLE_COULDNT_CONNECT */ : 0, error_status ? 500 : 200});

    if (flags & 1)
        card_checkin("0a1bc203");
    else
        periodic_checkin();

    check(memchr(InBuff, '\0', kInBuffSize) != nullptr);
    check(Active == 0 || Active == 1);
    check(running() == (Active == 1));
    if (failing) {
        check(Active == active_before);
        check(EndTime == end_before);
    } else if (InBuff[0] != '\0' && n > 0) {
        const AnswerKind kind = classify_answer(InBuff).kind;
        if (kind == AnswerKind::kill || kind == AnswerKind::bad) check(Active == 0);
        // Not an answer at all: a failed exchange, the session as it was.
        if (kind == AnswerKind::invalid) check(Active == active_before && EndTime == end_before);
        if (error_status && kind != AnswerKind::kill && kind != AnswerKind::bad)
            check(Active == active_before && EndTime == end_before);
    }
    return 0;
}
