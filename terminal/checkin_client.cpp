// The check-in exchange: one GET of "<URL>?RFID=<serial>&BoatID=<n>" per
// check-in, the answer classified by its start.
#include "checkin_client.h"

#include <curl/curl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

char* InBuff = nullptr;
int InBuffPointer = 0;
int Days = 0;
int Seconds = 0;
time_t StartTime = 0;
time_t EndTime = 0;

int Active = 0;
int LastCheckin = 0;
char* LastRFID = nullptr;
char* Buff = nullptr;
const char* URL = BOAT_CHECKIN_URL;
int BoatID = 0;

time_t (*terminal_time)(time_t*) = time;
int (*terminal_usleep)(useconds_t) = usleep;

namespace {

constexpr long kConnectTimeoutS = 10;
constexpr long kTransferTimeoutS = 30;

char* alloc_text(size_t size) {
    char* p = static_cast<char*>(calloc(size, 1));
    if (!p) abort();  // start-up only; nothing can run without them
    return p;
}

void pause_us(useconds_t us) { terminal_usleep(us); }

// The server link. Only http and https are spoken, also after a redirect,
// and a redirect may lead at most 5 times. From an https base URL every
// redirect must stay https: a verified link never continues in plain text.
// Over https the certificate chain and the host name are verified (against
// the system's CA store or the compiled-in CA file), and with a pinned key
// the server must also present exactly that key. A failed verification is
// a failed transfer like any other.
constexpr const char* kCheckinCa = BOAT_CHECKIN_CA;
constexpr const char* kCheckinPinnedKey = BOAT_CHECKIN_PINNED_KEY;
constexpr long kMaxRedirects = 5;

// The first option refused; then the transfer must not run, as it would
// run on a link less checked than asked for.
CURLcode set_link_options(CURL* curl) {
    const bool https = strncmp(URL, "https://", 8) == 0;
    CURLcode res = curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    if (res == CURLE_OK) res = curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, https ? "https" : "http,https");
    if (res == CURLE_OK) res = curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
    if (res == CURLE_OK) res = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    if (res == CURLE_OK) res = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (res == CURLE_OK && kCheckinCa[0] != '\0') res = curl_easy_setopt(curl, CURLOPT_CAINFO, kCheckinCa);
    if (res == CURLE_OK && kCheckinPinnedKey[0] != '\0')
        res = curl_easy_setopt(curl, CURLOPT_PINNEDPUBLICKEY, kCheckinPinnedKey);
    return res;
}

void start_answer() {
    memset(InBuff, 0, kInBuffSize);
    InBuffPointer = 0;
}

enum class Transfer { ok, failed, no_handle };

// Exchange steps shared by both kinds: request URL, GET, result. On
// failure *error names the reason.
Transfer exchange(const char* serial, bool card, const char** error) {
    CURL* curl = curl_easy_init();
    LastCheckin = 0;
    if (!curl) return Transfer::no_handle;
    if (card) {
        if (Terminal->report_transfer) fprintf(stderr, "Do CURL\r\n");
        snprintf(LastRFID, kLastRFIDSize, "%s", serial);
    }
    snprintf(Buff, kBuffSize, "%s?RFID=%s&BoatID=%d", URL, serial, BoatID);
    if (Terminal->report_transfer) fprintf(stderr, "Contacting %s\r\n", Buff);

    start_answer();
    curl_easy_setopt(curl, CURLOPT_URL, Buff);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_callback);
    // An error page is not an answer, and a silent server must not hold
    // the loop (and with it the session's expiry) for ever.
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutS);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, kTransferTimeoutS);
    CURLcode res = set_link_options(curl);
    if (res == CURLE_OK) res = curl_easy_perform(curl);
    curl_easy_cleanup(curl);

    if (res != CURLE_OK) {
        *error = curl_easy_strerror(res);
        return Transfer::failed;
    }
    if (InBuff[0] == '\0') {
        // An empty body would otherwise read as a grant.
        *error = "Empty answer";
        return Transfer::failed;
    }
    return Transfer::ok;
}

void red_pause_off() {
    SetRed();
    pause_us(2000000);
    SetOff();
}

void handle_answer(bool card) {
    switch (classify_answer(InBuff)) {
    case AnswerKind::kill:
        Active = 0;
        StopBoat();
        KillBoat();
        red_pause_off();
        return;
    case AnswerKind::bad:
        UnKillBoat();
        fprintf(stderr, "%s\r\n", InBuff);
        Active = 0;
        StopBoat();
        if (card) red_pause_off();
        return;
    case AnswerKind::grant:
        break;
    }
    UnKillBoat();
    fprintf(stderr, "%s\r\n", InBuff);
    Active = 1;
    SetGreen();
    StartBoat();
    // Two characters of any kind, then days and seconds; a number that does
    // not scan keeps its old value.
    const char* numbers = strnlen(InBuff, 2) == 2 ? InBuff + 2 : "";
    sscanf(numbers, "%d %d", &Days, &Seconds);
    fprintf(stderr, "Online for %d Days\r\n", Days);
    StartTime = terminal_time(nullptr);
    fprintf(stderr, "Current Time Stamp %lld\r\n", static_cast<long long>(StartTime));
    EndTime = StartTime + Seconds;
    fprintf(stderr, "Expire Time Stamp %lld\r\n", static_cast<long long>(EndTime));
}

}  // namespace

void checkin_buffers_init() {
    if (!LastRFID) LastRFID = alloc_text(kLastRFIDSize);
    if (!Buff) Buff = alloc_text(kBuffSize);
    if (!InBuff) InBuff = alloc_text(kInBuffSize);
}

uint8_t terminal_startup(uint8_t gpio) {
    checkin_buffers_init();
    BoatID = read_boat_id();
    fprintf(stderr, "I Am Boat %d\r\n", BoatID);
    return HW_init(5000, gpio);
}

int read_boat_id(const char* path) {
    int id = 0;
    FILE* f = fopen(path, "r");
    if (f) {
        // One byte short of the buffer so the text stays terminated.
        size_t n = fread(Buff, 1, kBuffSize - 1, f);
        Buff[n] = '\0';
        fclose(f);
    }
    if (sscanf(Buff, "%d", &id) != 1) id = 0;
    return id;
}

void format_serial(const uint8_t* sn, uint8_t sn_len, char* out, size_t size) {
    if (size == 0) return;
    out[0] = '\0';
    size_t at = 0;
    for (uint8_t i = 0; i < sn_len && at + 2 < size; i++) {
        snprintf(out + at, size - at, Terminal->serial_format, sn[i]);
        at += 2;
    }
}

size_t write_callback(char* ptr, size_t size, size_t nmemb, void* /*userdata*/) {
    size_t total = size * nmemb;
    if (InBuffPointer == 0) memset(InBuff, 0, kInBuffSize);
    size_t have = static_cast<size_t>(InBuffPointer);
    size_t room = kInBuffSize - 1 - have;
    size_t len = total < room ? total : room;
    memcpy(InBuff + have, ptr, len);
    InBuffPointer = static_cast<int>(have + len);
    InBuff[InBuffPointer] = '\0';
    return total;
}

AnswerKind classify_answer(const char* answer) {
    if (strncmp(answer, "KILL", 4) == 0) return AnswerKind::kill;
    if (strncmp(answer, "BAD", 3) == 0) return AnswerKind::bad;
    return AnswerKind::grant;
}

void card_checkin(const char* serial) {
    Days = 0;
    SetBlue();
    const char* error = "";
    switch (exchange(serial, true, &error)) {
    case Transfer::no_handle:
        SetRed();
        pause_us(500000);
        SetGreen();
        pause_us(500000);
        SetRed();
        pause_us(500000);
        SetOff();
        return;
    case Transfer::failed:
        SetRed();
        pause_us(500000);
        SetBlue();
        pause_us(500000);
        SetRed();
        pause_us(500000);
        SetOff();
        fprintf(stderr, "Network Error %s\r\n", error);
        return;
    case Transfer::ok:
        break;
    }
    if (Terminal->report_transfer) fprintf(stderr, "CURL OK \r\n");
    SetGreen();
    fprintf(stderr, "%s\r\n", InBuff);
    handle_answer(true);
}

void periodic_checkin() {
    fprintf(stderr, "Performing Check In\r\n");
    const char* error = "";
    if (exchange(LastRFID, false, &error) != Transfer::ok) return;
    handle_answer(false);
}

void session_expiry_step() {
    if (!Active) {
        SetOff();
        return;
    }
    time_t Now = terminal_time(nullptr);
    if (Now > EndTime) {
        Active = 0;
        SetOff();
        StopBoat();
    }
}
