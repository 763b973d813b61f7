// Text, JSON and panel views of the simulated board.
#include "board_view.h"

#include "faults.h"
#include "field.h"

#include <bcm2835.h>

#include <cinttypes>
#include <cstdarg>
#include <cstring>

namespace boatsim {

namespace {

bool is_output(const BoardState& s, uint8_t pin) { return s.gpio[pin].fsel == BCM2835_GPIO_FSEL_OUTP; }

bool lit(const BoardState& s, uint8_t pin) { return is_output(s, pin) && s.gpio[pin].level == 0; }

void uid_hex(const Card& c, char out[21]) {
    for (int i = 0; i < c.uid_len; i++) snprintf(out + 2 * i, 3, "%02x", c.uid[i]);
    out[2 * c.uid_len] = '\0';
}

bool has_signal(const BoardState& s) { return s.signal_pin < kGpioCount; }

uint64_t first_event(const BoardState& s, uint64_t since) {
    const uint64_t last = s.event_seq;
    uint64_t first = last > static_cast<uint64_t>(kEventCapacity) ? last - kEventCapacity + 1 : 1;
    if (since + 1 > first) first = since + 1;
    return first;
}

// Appends to a fixed buffer, cutting what does not fit.
struct Buf {
    char* p;
    size_t size;
    size_t len;
    void add(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (len + 1 >= size) return;
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(p + len, size - len, fmt, ap);
        va_end(ap);
        if (n > 0) len = len + static_cast<size_t>(n) < size ? len + static_cast<size_t>(n) : size - 1;
    }
};

constexpr const char* kReset = "\x1b[0m";
constexpr const char* kBold = "\x1b[1m";
constexpr const char* kDim = "\x1b[2m";
constexpr const char* kRed = "\x1b[31m";
constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kYellow = "\x1b[33m";
constexpr const char* kCyan = "\x1b[36m";
constexpr const char* kClearLine = "\x1b[K";

}  // namespace

Wiring wiring_of(Profile p) {
    switch (p) {
    case Profile::checkin: return Wiring{true, 17, 22, 27, 23, 1, 14};
    case Profile::tracker: return Wiring{true, 17, 22, 27, 15, 0, 4};
    default: return Wiring{false, 0, 0, 0, kNoPin, 0, kNoPin};
    }
}

const char* led_text(const BoardState& s) {
    const Wiring w = wiring_of(s.profile);
    if (!w.has_outputs) return "off";
    const bool g = lit(s, w.green), b = lit(s, w.blue), r = lit(s, w.red);
    if (!g && !b && !r) return "off";
    if (b && !g && !r) return "blue";
    if (r && !g && !b) return "red";
    if (g && !b && !r) return "green";
    return "mixed";
}

const char* run_relay_text(const BoardState& s) {
    const Wiring w = wiring_of(s.profile);
    if (!w.has_outputs || !is_output(s, w.run_pin)) return "unset";
    return s.gpio[w.run_pin].level == w.run_level ? "running" : "stopped";
}

const char* kill_relay_text(const BoardState& s) {
    const Wiring w = wiring_of(s.profile);
    if (!w.has_outputs || !is_output(s, w.kill_pin)) return "unset";
    return s.gpio[w.kill_pin].level ? "active" : "off";
}

const char* pin_mode_text(uint8_t fsel) {
    if (fsel == BCM2835_GPIO_FSEL_INPT) return "input";
    if (fsel == BCM2835_GPIO_FSEL_OUTP) return "output";
    return "alt";
}

const char* card_state_text(uint8_t state) {
    switch (static_cast<CardState>(state)) {
    case CardState::ready:
    case CardState::ready_star: return "ready";
    case CardState::active:
    case CardState::active_star: return "active";
    case CardState::halt: return "halt";
    default: return "idle";
    }
}

void snapshot(BoardState* live, BoardState* copy) {
    Lock lock(live);
    memcpy(static_cast<void*>(copy), live, sizeof *copy);
}

void print_show_text(FILE* out, const BoardState& s) {
    const Wiring w = wiring_of(s.profile);
    fprintf(out, "profile     %s\n", profile_name(s.profile));
    fprintf(out, "led         %s\n", led_text(s));
    fprintf(out, "run relay   %s", run_relay_text(s));
    if (w.has_outputs) fprintf(out, " (GPIO %u %s)", w.run_pin, s.gpio[w.run_pin].level ? "high" : "low");
    fprintf(out, "\nkill relay  %s", kill_relay_text(s));
    if (w.has_outputs) fprintf(out, " (GPIO %u %s)", w.kill_pin, s.gpio[w.kill_pin].level ? "high" : "low");
    fputc('\n', out);
    if (has_signal(s))
        fprintf(out, "signal      GPIO %u %s, %" PRIu64 " pulses\n", s.signal_pin, s.gpio[s.signal_pin].level ? "high" : "low",
                s.signal_pulses);
    else
        fprintf(out, "signal      none\n");
    fprintf(out, "spi         %s, divider %u, mode %u, %s first, cs %u active %s, %" PRIu64 " transfers\n",
            s.spi.begun ? "begun" : "not begun", s.spi.divider, s.spi.mode,
            s.spi.bit_order == BCM2835_SPI_BIT_ORDER_LSBFIRST ? "lsb" : "msb", s.spi.cs, s.spi.cs_polarity ? "high" : "low",
            s.spi.transfers);
    fprintf(out, "outputs    ");
    for (int p = 0; p < kGpioCount; p++)
        if (is_output(s, static_cast<uint8_t>(p))) fprintf(out, " %d=%u", p, s.gpio[p].level);
    fputc('\n', out);
    fprintf(out, "cards      ");
    bool any = false;
    for (const Card& c : s.cards) {
        if (!c.in_field) continue;
        char uid[21];
        uid_hex(c, uid);
        fprintf(out, " %s (%s%s)", uid, card_state_text(c.state), uid_forbidden(c) ? ", forbidden UID" : "");
        any = true;
    }
    fprintf(out, "%s\n", any ? "" : " none");
    fprintf(out, "adc        ");
    for (int ch = 0; ch < kAdcChannels; ch++) fprintf(out, " %u", s.adc[ch]);
    fprintf(out, "\nfaults     ");
    bool faults = false;
    for (const FaultInfo& f : kFaults) {
        if (!fault_active(s, f.fault)) continue;
        fprintf(out, " %s", f.name);
        faults = true;
    }
    fprintf(out, "%s\nevents      %" PRIu64 "\n", faults ? "" : " none", s.event_seq);
}

void print_show_json(FILE* out, const BoardState& s) {
    fprintf(out, "{\"profile\": \"%s\", \"led\": \"%s\", \"run_relay\": \"%s\", \"kill_relay\": \"%s\", ",
            profile_name(s.profile), led_text(s), run_relay_text(s), kill_relay_text(s));
    const uint8_t sig = s.signal_pin;
    fprintf(out, "\"signal\": {\"gpio\": %u, \"level\": %u, \"pulses\": %" PRIu64 "}, ", sig,
            has_signal(s) ? s.gpio[sig].level : 0, s.signal_pulses);
    fputs("\"pins\": {", out);
    for (int p = 0; p < kGpioCount; p++)
        fprintf(out, "%s\"%d\": {\"mode\": \"%s\", \"level\": %u}", p ? ", " : "", p, pin_mode_text(s.gpio[p].fsel),
                s.gpio[p].level);
    fputs("}, \"cards\": [", out);
    bool first = true;
    for (const Card& c : s.cards) {
        if (!c.in_field) continue;
        char uid[21];
        uid_hex(c, uid);
        fprintf(out,
                "%s{\"uid\": \"%s\", \"state\": \"%s\", \"atqa\": \"%02x%02x\", \"sak\": \"%02x\", \"uid_forbidden\": %s}",
                first ? "" : ", ", uid, card_state_text(c.state), c.atqa[0], c.atqa[1], c.sak,
                uid_forbidden(c) ? "true" : "false");
        first = false;
    }
    fprintf(out,
            "], \"spi\": {\"begun\": %s, \"divider\": %u, \"mode\": %u, \"bit_order\": \"%s\", \"cs\": %u, "
            "\"cs_polarity\": %u, \"transfers\": %" PRIu64 "}, ",
            s.spi.begun ? "true" : "false", s.spi.divider, s.spi.mode,
            s.spi.bit_order == BCM2835_SPI_BIT_ORDER_LSBFIRST ? "lsb" : "msb", s.spi.cs, s.spi.cs_polarity,
            s.spi.transfers);
    fputs("\"adc\": [", out);
    for (int ch = 0; ch < kAdcChannels; ch++) fprintf(out, "%s%u", ch ? ", " : "", s.adc[ch]);
    fputs("], \"faults\": [", out);
    first = true;
    for (const FaultInfo& f : kFaults) {
        if (!fault_active(s, f.fault)) continue;
        fprintf(out, "%s\"%s\"", first ? "" : ", ", f.name);
        first = false;
    }
    fprintf(out, "], \"last_event\": %" PRIu64 "}\n", s.event_seq);
}

void print_events(FILE* out, const BoardState& s, uint64_t since, bool json) {
    const uint64_t first = first_event(s, since);
    const uint64_t last = s.event_seq;
    const uint64_t lost = last > since && first > since + 1 ? first - since - 1 : 0;
    if (json) fprintf(out, "{\"last_seq\": %" PRIu64 ", \"lost\": %" PRIu64 ", \"events\": [", last, lost);
    else if (lost) fprintf(out, "# %" PRIu64 " older events no longer in the log\n", lost);
    for (uint64_t q = first; q <= last; q++) {
        const GpioEvent& e = s.events[(q - 1) % kEventCapacity];
        if (json)
            fprintf(out, "%s{\"seq\": %" PRIu64 ", \"t_ns\": %" PRIu64 ", \"pin\": %u, \"level\": %u}", q == first ? "" : ", ",
                    e.seq, e.t_ns, e.pin, e.level);
        else
            fprintf(out, "%" PRIu64 " %" PRIu64 ".%09" PRIu64 " %u %u\n", e.seq, e.t_ns / 1000000000u, e.t_ns % 1000000000u,
                    e.pin, e.level);
    }
    if (json) fputs("]}\n", out);
}

size_t render_panel(const BoardState& s, const char* path, char* buf, size_t size) {
    Buf b{buf, size, 0};
    buf[0] = '\0';
    const Wiring w = wiring_of(s.profile);
    b.add("%sboatsim%s  %s  profile %s%s%s%s\n%s\n", kBold, kReset, path, kCyan, profile_name(s.profile), kReset, kClearLine,
          kClearLine);

    const char* led = led_text(s);
    const char* led_colour = strcmp(led, "green") == 0  ? "\x1b[42;30m"
                             : strcmp(led, "blue") == 0 ? "\x1b[44;37m"
                             : strcmp(led, "red") == 0  ? "\x1b[41;37m"
                             : strcmp(led, "mixed") == 0 ? "\x1b[45;37m"
                                                         : "\x1b[40;37m";
    if (w.has_outputs) {
        b.add("  LED         %s  %-5s  %s", led_colour, led, kReset);
        b.add("   %sG%u=%u B%u=%u R%u=%u%s%s\n", kDim, w.green, s.gpio[w.green].level, w.blue, s.gpio[w.blue].level, w.red,
              s.gpio[w.red].level, kReset, kClearLine);
        const char* run = run_relay_text(s);
        b.add("  run relay   %s%-8s%s %sGPIO %u=%u%s%s\n", strcmp(run, "running") == 0 ? kGreen : strcmp(run, "stopped") == 0 ? kRed : kDim,
              run, kReset, kDim, w.run_pin, s.gpio[w.run_pin].level, kReset, kClearLine);
        const char* kill = kill_relay_text(s);
        b.add("  kill relay  %s%-8s%s %sGPIO %u=%u%s%s\n", strcmp(kill, "active") == 0 ? "\x1b[1;31m" : strcmp(kill, "off") == 0 ? kGreen : kDim,
              kill, kReset, kDim, w.kill_pin, s.gpio[w.kill_pin].level, kReset, kClearLine);
    } else {
        b.add("  %sno LED or relays in this profile%s%s\n", kDim, kReset, kClearLine);
    }
    if (has_signal(s))
        b.add("  signal      %sGPIO %u %s%s  %" PRIu64 " pulses%s\n", s.gpio[s.signal_pin].level ? kYellow : kDim, s.signal_pin,
              s.gpio[s.signal_pin].level ? "HIGH" : "low", kReset, s.signal_pulses, kClearLine);
    else
        b.add("  signal      %snone%s%s\n", kDim, kReset, kClearLine);
    b.add("  spi         %s%s%s div %u mode %u, %" PRIu64 " transfers%s\n", s.spi.begun ? kGreen : kDim,
          s.spi.begun ? "begun" : "idle", kReset, s.spi.divider, s.spi.mode, s.spi.transfers, kClearLine);
    b.add("  faults     ");
    bool faults = false;
    for (const FaultInfo& f : kFaults) {
        if (!fault_active(s, f.fault)) continue;
        b.add(" %s%s%s", kRed, f.name, kReset);
        faults = true;
    }
    b.add("%s%s\n", faults ? "" : " none", kClearLine);
    if (s.profile == Profile::tracker) {
        b.add("  adc        ");
        for (int ch = 0; ch < kAdcChannels; ch++) b.add(" %4u", s.adc[ch]);
        b.add("%s\n", kClearLine);
    }
    b.add("%s\n  cards in the field:%s\n", kClearLine, kClearLine);
    bool any = false;
    for (const Card& c : s.cards) {
        if (!c.in_field) continue;
        char uid[21];
        uid_hex(c, uid);
        const char* st = card_state_text(c.state);
        const char* col = strcmp(st, "active") == 0 ? kGreen : strcmp(st, "halt") == 0 ? kDim : strcmp(st, "ready") == 0 ? kYellow : "";
        b.add("    %-20s %s%-6s%s%s%s\n", uid, col, st, kReset, uid_forbidden(c) ? "  forbidden UID" : "", kClearLine);
        any = true;
    }
    if (!any) b.add("    %snone%s%s\n", kDim, kReset, kClearLine);
    b.add("%s\n  last GPIO writes:%s\n", kClearLine, kClearLine);
    const uint64_t first = first_event(s, s.event_seq > 6 ? s.event_seq - 6 : 0);
    for (uint64_t q = s.event_seq; q >= first && q > 0; q--) {
        const GpioEvent& e = s.events[(q - 1) % kEventCapacity];
        b.add("    %s#%-7" PRIu64 "%s GPIO %2u <- %u%s\n", kDim, e.seq, kReset, e.pin, e.level, kClearLine);
    }
    b.add("%s\n  %sCtrl-C to quit%s%s\n", kClearLine, kDim, kReset, kClearLine);
    return b.len;
}

}  // namespace boatsim
