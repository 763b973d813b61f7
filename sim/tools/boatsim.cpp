// boatsim: the control tool of the simulated board. Creates the board,
// puts cards on the reader, sets converter inputs, and shows the outputs
// while programs run against the same state file (BOATSIM_STATE).
//
// Bad input is refused with one line on stderr and exit status 2 before
// the state file is touched; a request the board cannot satisfy (card
// already there, field full, card not there) exits with 1.
#include "board_state.h"
#include "board_view.h"
#include "faults.h"
#include "field.h"
#include "pn532_emulator.h"

#include <csignal>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace boatsim;

namespace {

constexpr int kBadInput = 2;
constexpr int kRefused = 1;

const char kUsage[] =
    "usage: boatsim new --profile checkin|tracker|tagreader [--signal-pin N|none]\n"
    "       boatsim card put UID_HEX [--atqa HEX4] [--sak HEX2]\n"
    "       boatsim card take UID_HEX|--all\n"
    "       boatsim adc CHANNEL VALUE\n"
    "       boatsim fault set|clear NAME | fault clear --all | fault list\n"
    "       boatsim show [--json]\n"
    "       boatsim events [--json] [--since SEQ]\n"
    "       boatsim watch\n"
    "       boatsim nfc ...\n"
    "The board is the file named by BOATSIM_STATE (default /tmp/boatsim/board.state).\n"
    "Faults are set and cleared while programs run; show lists those set.\n";

int fail(int status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int fail(int status, const char* fmt, ...) {
    fputs("boatsim: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
    return status;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hex text of 1 to `max` whole bytes; *n receives the count.
bool parse_hex(const char* text, uint8_t* out, size_t max, size_t* n) {
    const size_t len = strlen(text);
    if (len == 0 || len % 2 || len / 2 > max) return false;
    for (size_t i = 0; i < len; i += 2) {
        const int hi = hex_digit(text[i]), lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
    }
    *n = len / 2;
    return true;
}

// A decimal number in [0, max], the whole text.
bool parse_uint(const char* text, unsigned long long max, unsigned long long* out) {
    if (!text || !*text) return false;
    for (const char* p = text; *p; p++)
        if (*p < '0' || *p > '9') return false;
    if (strlen(text) > 19) return false;
    const unsigned long long v = strtoull(text, nullptr, 10);
    if (v > max) return false;
    *out = v;
    return true;
}

bool parse_uid(const char* text, uint8_t uid[10], uint8_t* len) {
    size_t n = 0;
    if (!parse_hex(text, uid, 10, &n) || (n != 4 && n != 7 && n != 10)) return false;
    *len = static_cast<uint8_t>(n);
    return true;
}

// Maps the board for a command; prints the error itself.
BoardState* open_board(const char* path) {
    std::string err;
    BoardState* s = map_state(path, &err);
    if (!s) fail(0, "no board: %s (create it with: boatsim new --profile ...)", err.c_str());
    return s;
}

// Large: holds the whole event log. One per process, never on the stack.
BoardState g_view;

int cmd_new(int argc, char** argv, const char* path) {
    const char* profile_arg = nullptr;
    const char* pin_arg = nullptr;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--profile") == 0 && i + 1 < argc)
            profile_arg = argv[++i];
        else if (strcmp(argv[i], "--signal-pin") == 0 && i + 1 < argc)
            pin_arg = argv[++i];
        else
            return fail(kBadInput, "new: unexpected argument '%s'", argv[i]);
    }
    if (!profile_arg) return fail(kBadInput, "new: --profile checkin|tracker|tagreader is required");
    const Profile profile = profile_from_name(profile_arg);
    if (profile == Profile::none) return fail(kBadInput, "new: unknown profile '%s'", profile_arg);
    unsigned long long pin = kNoPin;
    if (pin_arg && strcmp(pin_arg, "none") != 0 && !parse_uint(pin_arg, kGpioCount - 1, &pin))
        return fail(kBadInput, "new: --signal-pin must be a GPIO number 0-%d or none, not '%s'", kGpioCount - 1, pin_arg);

    std::string err;
    BoardState* s = create_state(path, profile, &err);
    if (!s) return fail(kBadInput, "new: %s", err.c_str());
    if (pin_arg) {
        Lock lock(s);
        s->signal_pin = static_cast<uint8_t>(pin);
    }
    unmap_state(s);
    return 0;
}

int cmd_card(int argc, char** argv, const char* path) {
    if (argc < 2) return fail(kBadInput, "card: expected 'put UID_HEX' or 'take UID_HEX|--all'");
    const bool put = strcmp(argv[0], "put") == 0;
    const bool take = strcmp(argv[0], "take") == 0;
    if (!put && !take) return fail(kBadInput, "card: unknown action '%s' (put or take)", argv[0]);

    if (take && strcmp(argv[1], "--all") == 0) {
        if (argc != 2) return fail(kBadInput, "card take: unexpected argument '%s'", argv[2]);
        BoardState* s = open_board(path);
        if (!s) return kBadInput;
        card_take_all(*s);
        unmap_state(s);
        return 0;
    }
    uint8_t uid[10];
    uint8_t uid_len = 0;
    if (!parse_uid(argv[1], uid, &uid_len))
        return fail(kBadInput, "card %s: UID must be 8, 14 or 20 hex digits, not '%s'", argv[0], argv[1]);

    uint8_t atqa[2];
    bool have_atqa = false;
    int sak = -1;
    for (int i = 2; i < argc; i++) {
        size_t n = 0;
        if (put && strcmp(argv[i], "--atqa") == 0 && i + 1 < argc) {
            if (!parse_hex(argv[++i], atqa, 2, &n) || n != 2)
                return fail(kBadInput, "card put: --atqa takes 4 hex digits, not '%s'", argv[i]);
            have_atqa = true;
        } else if (put && strcmp(argv[i], "--sak") == 0 && i + 1 < argc) {
            uint8_t v = 0;
            if (!parse_hex(argv[++i], &v, 1, &n) || n != 1)
                return fail(kBadInput, "card put: --sak takes 2 hex digits, not '%s'", argv[i]);
            sak = v;
        } else {
            return fail(kBadInput, "card %s: unexpected argument '%s'", argv[0], argv[i]);
        }
    }

    BoardState* s = open_board(path);
    if (!s) return kBadInput;
    int status = 0;
    if (put) {
        if (card_put(*s, uid, uid_len, have_atqa ? atqa : nullptr, sak) < 0)
            status = fail(kRefused, "card put: %s is already in the field, or the field holds %d cards", argv[1], kMaxCards);
    } else if (!card_take(*s, uid, uid_len)) {
        status = fail(kRefused, "card take: %s is not in the field", argv[1]);
    }
    unmap_state(s);
    return status;
}

int cmd_adc(int argc, char** argv, const char* path) {
    unsigned long long ch = 0, value = 0;
    if (argc != 2) return fail(kBadInput, "adc: expected CHANNEL VALUE");
    if (!parse_uint(argv[0], kAdcChannels - 1, &ch))
        return fail(kBadInput, "adc: channel must be 0-%d, not '%s'", kAdcChannels - 1, argv[0]);
    if (!parse_uint(argv[1], 1023, &value)) return fail(kBadInput, "adc: value must be 0-1023, not '%s'", argv[1]);
    BoardState* s = open_board(path);
    if (!s) return kBadInput;
    {
        Lock lock(s);
        s->adc[ch] = static_cast<uint16_t>(value);
    }
    unmap_state(s);
    return 0;
}

int cmd_fault(int argc, char** argv, const char* path) {
    if (argc == 1 && strcmp(argv[0], "list") == 0) {
        BoardState* s = open_board(path);
        if (!s) return kBadInput;
        snapshot(s, &g_view);
        unmap_state(s);
        for (const FaultInfo& f : kFaults)
            printf("%-18s %-3s %s\n", f.name, fault_active(g_view, f.fault) ? "set" : "-", f.help);
        return 0;
    }
    if (argc != 2 || (strcmp(argv[0], "set") != 0 && strcmp(argv[0], "clear") != 0))
        return fail(kBadInput, "fault: expected 'set NAME', 'clear NAME', 'clear --all' or 'list'");
    const bool on = strcmp(argv[0], "set") == 0;
    const bool all = !on && strcmp(argv[1], "--all") == 0;
    const FaultInfo* f = all ? nullptr : fault_by_name(argv[1]);
    if (!all && !f) return fail(kBadInput, "fault %s: unknown fault '%s' (see boatsim fault list)", argv[0], argv[1]);
    BoardState* s = open_board(path);
    if (!s) return kBadInput;
    if (all)
        fault_clear_all(*s);
    else
        fault_set(*s, f->fault, on);
    unmap_state(s);
    return 0;
}

int cmd_show(int argc, char** argv, const char* path) {
    bool json = false;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--json") == 0)
            json = true;
        else
            return fail(kBadInput, "show: unexpected argument '%s'", argv[i]);
    }
    BoardState* s = open_board(path);
    if (!s) return kBadInput;
    snapshot(s, &g_view);
    unmap_state(s);
    if (json)
        print_show_json(stdout, g_view);
    else
        print_show_text(stdout, g_view);
    return 0;
}

int cmd_events(int argc, char** argv, const char* path) {
    bool json = false;
    unsigned long long since = 0;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (strcmp(argv[i], "--since") == 0 && i + 1 < argc) {
            if (!parse_uint(argv[++i], UINT64_MAX, &since))
                return fail(kBadInput, "events: --since takes a sequence number, not '%s'", argv[i]);
        } else {
            return fail(kBadInput, "events: unexpected argument '%s'", argv[i]);
        }
    }
    BoardState* s = open_board(path);
    if (!s) return kBadInput;
    snapshot(s, &g_view);
    unmap_state(s);
    print_events(stdout, g_view, since, json);
    return 0;
}

volatile sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

bool same_file(const char* path, const struct stat& mapped) {
    struct stat now {};
    return stat(path, &now) == 0 && now.st_ino == mapped.st_ino && now.st_dev == mapped.st_dev;
}

// Redraws the panel ~8 times a second until SIGINT/SIGTERM; follows the
// state file when `boatsim new` replaces it.
int cmd_watch(int argc, char** argv, const char* path) {
    if (argc > 0) return fail(kBadInput, "watch: unexpected argument '%s'", argv[0]);
    BoardState* s = open_board(path);
    if (!s) return kBadInput;
    struct stat mapped {};
    stat(path, &mapped);

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    static char frame[16384];
    fputs("\x1b[?25l\x1b[H\x1b[2J", stdout);  // hide the cursor, clear once
    const timespec pause {0, 125 * 1000 * 1000};
    int pass = 0;
    while (!g_stop) {
        if (++pass % 8 == 0 && !same_file(path, mapped)) {
            std::string err;
            BoardState* fresh = map_state(path, &err);
            if (fresh) {
                unmap_state(s);
                s = fresh;
                stat(path, &mapped);
            }
        }
        snapshot(s, &g_view);
        const size_t n = render_panel(g_view, path, frame, sizeof frame);
        fputs("\x1b[H", stdout);
        fwrite(frame, 1, n, stdout);
        fputs("\x1b[J", stdout);
        fflush(stdout);
        nanosleep(&pause, nullptr);
    }
    fputs("\x1b[?25h\n", stdout);
    fflush(stdout);
    unmap_state(s);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fputs(kUsage, stderr);
        return kBadInput;
    }
    const char* cmd = argv[1];
    if (strcmp(cmd, "nfc") == 0) return boatsim::nfc_main(argc - 1, argv + 1);
    if (strcmp(cmd, "-h") == 0 || strcmp(cmd, "--help") == 0 || strcmp(cmd, "help") == 0) {
        fputs(kUsage, stdout);
        fputs("faults:\n", stdout);
        for (const FaultInfo& f : kFaults) printf("  %-18s %s\n", f.name, f.help);
        return 0;
    }
    const char* path = state_path_from_env();
    int rest_argc = argc - 2;
    char** rest = argv + 2;
    if (strcmp(cmd, "new") == 0) return cmd_new(rest_argc, rest, path);
    if (strcmp(cmd, "card") == 0) return cmd_card(rest_argc, rest, path);
    if (strcmp(cmd, "adc") == 0) return cmd_adc(rest_argc, rest, path);
    if (strcmp(cmd, "fault") == 0) return cmd_fault(rest_argc, rest, path);
    if (strcmp(cmd, "show") == 0) return cmd_show(rest_argc, rest, path);
    if (strcmp(cmd, "events") == 0) return cmd_events(rest_argc, rest, path);
    if (strcmp(cmd, "watch") == 0) return cmd_watch(rest_argc, rest, path);
    return fail(kBadInput, "unknown command '%s' (try boatsim help)", cmd);
}
