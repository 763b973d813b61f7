// boat_tracker's start-up steps and one pass of its loop, apart from main
// so that tests can drive the loop pass by pass.
#include "tracker_loop.h"

#include "checkin_client.h"
#include "stop.h"
#include "telemetry.h"
#include "terminal.h"

#include <bcm2835.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>

int Counter = 0;
uint8_t use_gpio = 1;
uint8_t gpio = 18;
nfc_context* context = nullptr;
nfc_device* pnd = nullptr;

namespace {

constexpr uint8_t kOutputPins[] = {17, 22, 27, 4, 15};  // LED, kill relay, run relay
constexpr nfc_modulation nmMifare = {NMT_ISO14443A, NBR_106};
constexpr size_t kMaxUid = 10;
// Counter is brought back by a multiple of 10 before it could overflow, so
// the GPS and blink cadences carry on unchanged (after about 3 years).
constexpr int kCounterWrap = 2000000000;
constexpr int kCounterRewind = kCounterWrap - 10;
// The shortest pass, about what a pass takes with every peer answering:
// cadences counted in passes (the blink, a row every tenth pass, the
// periodic check-in after 600) keep their time when a peer is gone and
// its calls return at once.
constexpr int64_t kPassFloorNs = 50'000'000;
// A pass that took this long has waited on a peer; a pass with every peer
// answering takes a few milliseconds.
constexpr int64_t kHeldPassNs = 500'000'000;
// Select errors in a row after which the reader counts as lost: a card
// leaving the field in the middle of a select fails one.
constexpr int kErrorsBeforeLost = 5;
// A lost reader is opened again every so many passes (3 s at the floor
// pace); opening a silent reader takes libnfc over a second.
constexpr int kReopenEveryPasses = 60;
// Cards answering, one after the other, since the last pass without a
// target: a reader may take turns between cards left together.
constexpr size_t kCardsInField = 4;

nfc_target nt;
char sn_str[255];

struct Uid {
    uint8_t len;
    uint8_t bytes[kMaxUid];
};
Uid in_field[kCardsInField];
size_t n_in_field = 0;
bool reader_lost = false;
int select_errors = 0;
int reopen_wait = 0;

// A card is checked in once per presentation: again only after a pass in
// which no card answered.
bool presented_anew(const uint8_t* uid, size_t len) {
    for (size_t i = 0; i < n_in_field; i++)
        if (in_field[i].len == len && memcmp(in_field[i].bytes, uid, len) == 0) return false;
    if (n_in_field == kCardsInField) {
        memmove(in_field, in_field + 1, sizeof in_field[0] * (kCardsInField - 1));
        n_in_field--;
    }
    in_field[n_in_field].len = static_cast<uint8_t>(len);
    memcpy(in_field[n_in_field].bytes, uid, len);
    n_in_field++;
    return true;
}

// nfc_open of the default device, initiator mode, finite select.
nfc_device* open_reader(bool report) {
    nfc_device* dev = nfc_open(context, nullptr);
    if (dev == nullptr) {
        if (report) printf("ERROR: %s\n", "Unable to open NFC device.");
        return nullptr;
    }
    if (nfc_initiator_init(dev) < 0) {
        if (report) nfc_perror(dev, "nfc_initiator_init");
        nfc_close(dev);
        return nullptr;
    }
    // libnfc's default select waits for a card for ever, which would stop
    // the telemetry, the expiry and the periodic check-in while no card is
    // near; one activation attempt per pass instead.
    // A reader that refuses is reported; it still checks cards in.
    if (nfc_device_set_property_bool(dev, NP_INFINITE_SELECT, false) < 0)
        nfc_perror(dev, "nfc_device_set_property_bool");
    return dev;
}

int select_from_reader(nfc_target* target) {
    return nfc_initiator_select_passive_target(pnd, nmMifare, nullptr, 0, target);
}

void close_lost_reader() {
    printf("NFC reader: %s lost: %s\n", nfc_device_get_name(pnd), nfc_strerror(pnd));
    nfc_close(pnd);
    pnd = nullptr;
}

bool reopen_reader() {
    pnd = open_reader(false);
    if (pnd == nullptr) return false;
    printf("NFC reader: %s opened\n", nfc_device_get_name(pnd));
    return true;
}

void led_and_expiry() {
    if (Counter <= 1) return;
    if (Counter % 2 == 0)
        session_expiry_step();
    else if (!Active)
        SetBlue();
}

// The card poll of a pass: true when a card is to be checked in.
bool card_presented() {
    if (reader_lost) {
        if (++reopen_wait < kReopenEveryPasses) return false;
        reopen_wait = 0;
        if (!tracker_reader_reopen()) return false;
        // Whatever lay on the reader meanwhile is a new presentation.
        reader_lost = false;
        n_in_field = 0;
        return false;
    }
    int res = tracker_select(&nt);
    if (res < 0) {
        // Like a pass without a card, except that a card still there stays
        // checked in.
        if (++select_errors < kErrorsBeforeLost) return false;
        select_errors = 0;
        reader_lost = true;
        reopen_wait = 0;
        tracker_reader_lost();
        return false;
    }
    select_errors = 0;
    if (res == 0) {
        n_in_field = 0;
        return false;
    }
    // libnfc packs its target records: the length may sit unaligned.
    size_t uid_len = 0;
    memcpy(&uid_len, reinterpret_cast<const char*>(&nt.nti.nai) + offsetof(nfc_iso14443a_info, szUidLen), sizeof uid_len);
    size_t len = uid_len < kMaxUid ? uid_len : kMaxUid;
    if (!presented_anew(nt.nti.nai.abtUid, len)) return false;
    format_serial(nt.nti.nai.abtUid, static_cast<uint8_t>(len), sn_str, sizeof sn_str);
    return true;
}

// A pass held by its peers (a silent reader's select, a reopen, the
// database's time-outs) watches the paid time after each such step, so
// that waits in a row cannot hold a boat past its end; a pass that kept
// its pace leaves the expiry to the even passes.
void watch_if_held(int64_t pass_start) {
    if (terminal_clock_ns() - pass_start > kHeldPassNs) paid_time_watch();
}

void pass_steps(int64_t start) {
    fprintf(stderr, "Start Loop\r\n");
    FuelSample(Buff);
    if (Counter >= kCounterWrap) Counter -= kCounterRewind;
    if (Counter % 10 == 0) GpsSample(Active);
    watch_if_held(start);
    // After a stop signal no wait on the reader begins: the loop ends.
    if (terminal_stop) return;
    Counter++;
    LastCheckin++;
    led_and_expiry();
    if (periodic_checkin_due()) periodic_checkin();

    const bool card = card_presented();
    watch_if_held(start);
    if (!card) return;
    // The card check-in's "Blue LED ON" ends this line.
    fprintf(stderr, "RFID: %s", sn_str);
    card_checkin(sn_str);
    fprintf(stderr, "End Read Loop\r\n");
    if (use_gpio) {
        bcm2835_gpio_write(gpio, HIGH);
        bcm2835_gpio_write(gpio, LOW);
    }
}

}  // namespace

int (*tracker_select)(nfc_target* nt) = select_from_reader;
void (*tracker_reader_lost)() = close_lost_reader;
bool (*tracker_reader_reopen)() = reopen_reader;

int tracker_board_startup() {
    use_gpio = 1;
    gpio = 18;
    if (terminal_startup(gpio) != 0) return 1;
    fprintf(stderr, "Setting default pins\r\n");
    for (uint8_t pin : kOutputPins) bcm2835_gpio_fsel(pin, BCM2835_GPIO_FSEL_OUTP);
    fprintf(stderr, "Pins Set\r\n");
    StopBoat();
    SetOff();
    Active = 0;
    Counter = 0;
    LastCheckin = 0;
    n_in_field = 0;
    reader_lost = false;
    select_errors = 0;
    reopen_wait = 0;
    return 0;
}

int tracker_nfc_startup(const char* program) {
    nfc_init(&context);
    if (context == nullptr) {
        printf("Unable to init libnfc (malloc)\n");
        return 1;
    }
    const char* acLibnfcVersion = nfc_version();
    printf("%s uses libnfc %s\n", program, acLibnfcVersion);
    pnd = open_reader(true);
    if (pnd == nullptr) return 1;
    printf("NFC reader: %s opened\n", nfc_device_get_name(pnd));
    return 0;
}

void tracker_pass() {
    int64_t start = terminal_clock_ns();
    pass_steps(start);
    int64_t took = terminal_clock_ns() - start;
    if (took >= 0 && took < kPassFloorNs) terminal_usleep(static_cast<useconds_t>((kPassFloorNs - took) / 1000));
}
