// boat_checkin's start-up and one pass of its card polling loop, apart
// from main so that tests can drive the loop pass by pass.
#include "checkin_loop.h"

#include "checkin_client.h"
#include "config.h"
#include "reader.h"
#include "terminal.h"

#include <bcm2835.h>
#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int Counter = 0;
uint8_t use_gpio = 1;
uint8_t gpio = 18;

namespace {

// Gives up root for good, when started as root: its supplementary groups, then its group for the
// primary group of `uid`'s account, then the user, which must come last as
// it takes the right to change the others. Every step is tried, so a
// refused one still leaves as little as possible; the first refusal is
// reported.
int drop_identity(uid_t uid) {
    // Started as an ordinary user (in the groups of the board's devices)
    // there is nothing to give up, and no right to change identity.
    if (geteuid() != 0) return 0;
    const gid_t gid = primary_group(uid);
    char failed[96] = "";
    auto step = [&failed](int rc, const char* call, long id) {
        if (rc == 0 || failed[0] != '\0') return;
        const char* why = strerror(errno);
        if (id < 0)
            snprintf(failed, sizeof failed, "%s: %s", call, why);
        else
            snprintf(failed, sizeof failed, "%s %ld: %s", call, id, why);
    };
    step(setgroups(0, nullptr), "setgroups", -1);
    step(setgid(gid), "setgid", static_cast<long>(gid));
    step(setuid(uid), "setuid", static_cast<long>(uid));
    if (failed[0] == '\0') return 0;
    fprintf(stderr, "Can't drop rights: %s\r\n", failed);
    return -1;
}

}  // namespace

int (*checkin_setuid)(uid_t) = drop_identity;

namespace {

constexpr uid_t kRunUid = 500;
constexpr useconds_t kIdlePollUs = 200000;
constexpr uint8_t kOutputPins[] = {17, 22, 27, 23, 14};  // LED, run relay, kill relay

uint16_t CType = 0;
uint8_t SN[10];
uint8_t SN_len = 0;
char sn_str[255];

void idle_poll() {
    Counter++;
    LastCheckin++;
    terminal_usleep(kIdlePollUs);
    if (Counter > 10) {
        if (Counter > 12) {
            Counter = 0;
            session_expiry_step();
        } else if (!Active) {
            SetBlue();
        }
    }
    if (periodic_checkin_due()) periodic_checkin();
}

// A card answered: read, check in and halt it. False when it could not be
// selected.
bool card() {
    if (select_tag_sn(SN, &SN_len) != READER_OK) return false;
    format_serial(SN, SN_len <= sizeof SN ? SN_len : sizeof SN, sn_str, sizeof sn_str);
    fprintf(stderr, "Serial: %s\n", sn_str);
    card_checkin(sn_str);
    if (use_gpio) bcm2835_gpio_write(gpio, HIGH);
    PcdHalt();
    if (use_gpio) bcm2835_gpio_write(gpio, LOW);
    return true;
}

void report_watch(uint8_t events) {
    if (events & WATCH_RESET) fprintf(stderr, "Reader reset\r\n");
    if (events & WATCH_LOST) fprintf(stderr, "Reader lost\r\n");
    if (events & WATCH_BACK) fprintf(stderr, "Reader back\r\n");
}

}  // namespace

int checkin_startup() {
    use_gpio = 1;
    gpio = 18;
    if (terminal_startup(gpio) != 0) return 1;
    // The peripherals stay open. A refused drop is reported and not fatal:
    // the terminal runs on with what it has.
    if (checkin_setuid(kRunUid) != 0) { /* runs on as started */ }
    InitRc522();
    if (!rc522_version_known(Rc522Version)) fprintf(stderr, "Reader not found (version 0x%02x)\r\n", Rc522Version);
    for (uint8_t pin : kOutputPins) bcm2835_gpio_fsel(pin, BCM2835_GPIO_FSEL_OUTP);
    StopBoat();
    SetOff();
    Active = 0;
    Counter = 0;
    LastCheckin = 0;
    return 0;
}

void checkin_pass() {
    uint8_t status = find_tag(&CType);
    bool read = (status == READER_OK || status == READER_COLLISION) && card();
    report_watch(watch_reader());
    // Whatever kept the card from being read (no card, a reader error, a
    // card that never completes a select), the pass is an idle poll: the
    // pause keeps the pace, and blinking, the session's end and the
    // periodic check-in go on.
    if (!read) {
        idle_poll();
    } else if (Active) {
        // A card that keeps answering (one that ignores HLTA) could make
        // most passes card passes; with the server out of reach nothing
        // else would end the session.
        session_expiry_step();
    }
}
