// boat_uplink: forwards the tracker's rows to the shore, each once. The
// boat's table GPS is the buffer: rows after the mark are sent in id order,
// and the mark moves only past rows the shore says it has stored. A kill
// at any moment at worst sends a batch again, which the shore stores once.
#include "batch.h"
#include "link.h"
#include "rows.h"
#include "settings.h"

#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using uplink::Batch;
using uplink::Body;
using uplink::BoatRows;
using uplink::kBatchRows;
using uplink::ShoreLink;

constexpr long kPollMs = 1000;         // idle: a look at the newest id a second
constexpr long kFirstPauseMs = 1000;   // after a failure, doubled each time
constexpr long kDefaultMaxPauseS = 60;
// While catching up, the newest fix goes ahead of the backlog this often.
constexpr long long kAheadEveryMs = 10000;
constexpr const char* kBoatIdFile = "boatid.txt";

volatile sig_atomic_t Stop = 0;

void on_stop(int) { Stop = 1; }

// Sleeps `ms`, or less when a stop signal comes.
void pause_ms(long ms) {
    timespec t {ms / 1000, (ms % 1000) * 1000000L};
    while (!Stop && nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

int usage(const char* why) {
    fprintf(stderr, "boat_uplink: %s\nusage: boat_uplink [--max-pause SECONDS]\n", why);
    return 2;
}

// The boat number as the terminals read it.
bool read_boat(int* boat) {
    FILE* f = fopen(kBoatIdFile, "r");
    if (!f) return false;
    char text[32] = {};
    const bool read = fgets(text, sizeof text, f) != nullptr;
    fclose(f);
    char* end = nullptr;
    const long n = read ? strtol(text, &end, 10) : 0;
    if (!read || end == text || (*end != '\0' && *end != '\n' && *end != '\r') || n < 0 || n > 1000000) return false;
    *boat = static_cast<int>(n);
    return true;
}

struct Failures {
    long next_ms;
    long max_ms;
    // Reports the failure and waits, each time longer up to the bound.
    void wait(const char* what) {
        fprintf(stderr, "boat_uplink: %s; again in %ld ms\n", what, next_ms);
        pause_ms(next_ms);
        next_ms = next_ms * 2 > max_ms ? max_ms : next_ms * 2;
    }
    void reset() { next_ms = kFirstPauseMs; }
};

long long now_ms() {
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// The fresh gap the mark waits at, and since when by this clock: a row's
// age comes from the board's clock, which may have been set back, so the
// wait is bounded here too.
struct Gap {
    uint64_t before_id = 0;
    long long since_ms = 0;
};

size_t settle(uint64_t mark, const uplink::GpsRow* rows, size_t count, Gap* gap) {
    const size_t settled = uplink::settled_rows(mark, rows, count);
    if (settled == count) return count;
    if (gap->before_id != rows[settled].id) *gap = {rows[settled].id, now_ms()};
    return now_ms() - gap->since_ms >= uplink::kGapGraceS * 1000 ? count : settled;
}

}  // namespace

int main(int argc, char** argv) {
    long max_pause_s = kDefaultMaxPauseS;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--max-pause") == 0 && i + 1 < argc) {
            char* end = nullptr;
            max_pause_s = strtol(argv[++i], &end, 10);
            if (*end != '\0' || max_pause_s < 1 || max_pause_s > 3600) return usage("--max-pause: 1 to 3600 seconds");
        } else {
            return usage("unknown option");
        }
    }
    setvbuf(stderr, nullptr, _IOLBF, 0);
    if (terminal_settings_startup(nullptr, SettingsKeys::uplink) != 0) return 1;
    const TerminalSettings& s = terminal_settings;
    if (s.uplink_url[0] == '\0') {
        fprintf(stderr, "boat_uplink: no UPLINK_URL= in the settings: nothing to send to\n");
        return 0;
    }
    int boat = 0;
    if (!read_boat(&boat)) {
        fprintf(stderr, "boat_uplink: cannot read the boat number from %s\n", kBoatIdFile);
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = on_stop;  // no SA_RESTART: a sleep ends at once
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != 0) {
        fprintf(stderr, "boat_uplink: cannot set libcurl up\n");
        return 1;
    }
    ShoreLink link;
    if (!link.open(s)) {
        fprintf(stderr, "boat_uplink: %s\n", link.error());
        return 1;
    }

    static Batch batch;
    static Body body;
    BoatRows rows;
    Failures failures {kFirstPauseMs, max_pause_s * 1000};
    Gap gap;
    uint64_t newest_sent = 0;  // the newest row sent ahead of the backlog
    long long ahead_at = 0;
    bool reported_up = false;
    while (!Stop) {
        if (!rows.connected()) {
            if (!rows.connect(s)) {
                failures.wait(rows.error());
                continue;
            }
            fprintf(stderr, "boat_uplink: boat %d, database %s, rows up to %llu stored ashore; sending to %s\n", boat,
                    rows.identity().data(), static_cast<unsigned long long>(rows.mark()), s.uplink_url.data());
        }
        uint64_t top = 0;
        if (!rows.newest(&top)) {
            failures.wait(rows.error());
            continue;
        }
        if (top <= rows.mark()) {
            failures.reset();
            pause_ms(kPollMs);
            continue;
        }
        // Far behind: where the boat is now goes first, then the backlog.
        const bool ahead = top - rows.mark() > kBatchRows && top != newest_sent &&
                           (newest_sent == 0 || now_ms() - ahead_at >= kAheadEveryMs);
        size_t count = 0;
        if (!rows.read(ahead ? top - 1 : rows.mark(), &batch, &count)) {
            failures.wait(rows.error());
            continue;
        }
        if (count == 0) {
            pause_ms(kPollMs);  // the rows went between the two statements
            continue;
        }
        if (ahead) count = 1;
        else count = settle(rows.mark(), batch.data(), count, &gap);
        if (count == 0) {
            pause_ms(kPollMs);  // a fresh gap: its row may still come
            continue;
        }
        const size_t len = uplink::format_batch(&body, boat, rows.identity(), batch.data(), count, &count);
        if (len == 0) {
            failures.wait("a batch does not fit the request body");
            continue;
        }
        uint64_t through = 0;
        if (!link.send(body, len, &through)) {
            reported_up = false;
            failures.wait(link.error());
            continue;
        }
        if (through < batch[0].id || through > batch[count - 1].id) {
            failures.wait("the shore's answer names rows that were not sent");
            continue;
        }
        if (!reported_up) fprintf(stderr, "boat_uplink: the shore takes rows\n");
        reported_up = true;
        failures.reset();
        if (ahead) {
            newest_sent = top;
            ahead_at = now_ms();
            continue;
        }
        if (!rows.set_mark(through)) failures.wait(rows.error());
    }
    curl_global_cleanup();
    return 0;
}
