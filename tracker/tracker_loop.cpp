// boat_tracker's start-up steps and one pass of its loop, apart from main
// so that tests can drive the loop pass by pass.
#include "tracker_loop.h"

#include "checkin_client.h"
#include "telemetry.h"
#include "terminal.h"

#include <bcm2835.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

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

nfc_target nt;
char sn_str[255];

int select_from_reader(nfc_target* target) {
    return nfc_initiator_select_passive_target(pnd, nmMifare, nullptr, 0, target);
}

void led_and_expiry() {
    if (Counter <= 1) return;
    if (Counter % 2 == 0)
        session_expiry_step();
    else if (!Active)
        SetBlue();
}

}  // namespace

int (*tracker_select)(nfc_target* nt) = select_from_reader;

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
    pnd = nfc_open(context, nullptr);
    if (pnd == nullptr) {
        printf("ERROR: %s\n", "Unable to open NFC device.");
        return 1;
    }
    if (nfc_initiator_init(pnd) < 0) {
        nfc_perror(pnd, "nfc_initiator_init");
        return 1;
    }
    // libnfc's default select waits for a card for ever, which would stop
    // the telemetry, the expiry and the periodic check-in while no card is
    // near; one activation attempt per pass instead.
    // A reader that refuses is reported; it still checks cards in.
    if (nfc_device_set_property_bool(pnd, NP_INFINITE_SELECT, false) < 0)
        nfc_perror(pnd, "nfc_device_set_property_bool");
    printf("NFC reader: %s opened\n", nfc_device_get_name(pnd));
    return 0;
}

void tracker_pass() {
    fprintf(stderr, "Start Loop\r\n");
    FuelSample(Buff);
    if (Counter >= kCounterWrap) Counter -= kCounterRewind;
    if (Counter % 10 == 0) GpsSample(Active);
    Counter++;
    LastCheckin++;
    led_and_expiry();
    if (LastCheckin > Terminal->periodic_after) periodic_checkin();

    if (tracker_select(&nt) <= 0) return;
    // libnfc packs its target records: the length may sit unaligned.
    size_t uid_len = 0;
    memcpy(&uid_len, reinterpret_cast<const char*>(&nt.nti.nai) + offsetof(nfc_iso14443a_info, szUidLen), sizeof uid_len);
    size_t len = uid_len < kMaxUid ? uid_len : kMaxUid;
    format_serial(nt.nti.nai.abtUid, static_cast<uint8_t>(len), sn_str, sizeof sn_str);
    // The card check-in's "Blue LED ON" ends this line.
    fprintf(stderr, "RFID: %s", sn_str);
    card_checkin(sn_str);
    fprintf(stderr, "End Read Loop\r\n");
    if (use_gpio) {
        bcm2835_gpio_write(gpio, HIGH);
        bcm2835_gpio_write(gpio, LOW);
    }
}
