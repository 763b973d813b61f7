// The check-in exchange: one GET of "<URL>?RFID=<serial>&BoatID=<n>" per
// check-in (with a check-in interval followed by "&Kind=card" or
// "&Kind=periodic"), the answer classified by its start.
#include "checkin_client.h"

#include "settings.h"
#include "stop.h"

#include <curl/curl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

char* InBuff = nullptr;
int InBuffPointer = 0;
int Days = 0;
int Seconds = 0;
time_t StartTime = 0;
time_t EndTime = 0;
time_t StartMonotonic = 0;

int Active = 0;
int LastCheckin = 0;
char* LastRFID = nullptr;
char* Buff = nullptr;
const char* URL = terminal_settings.url.data();
int BoatID = 0;
int64_t CheckinIntervalNs = 0;
int64_t LastCheckinNs = 0;

time_t (*terminal_time)(time_t*) = time;
time_t (*terminal_monotonic)() = monotonic_seconds;
int (*terminal_usleep)(useconds_t) = terminal_pause;

namespace {

constexpr long kConnectTimeoutS = 10;
constexpr long kTransferTimeoutS = 30;
constexpr long kFirstErrorStatus = 400;

char* alloc_text(size_t size) {
    char* p = static_cast<char*>(calloc(size, 1));
    if (!p) abort();  // start-up only; nothing can run without them
    return p;
}

void pause_us(useconds_t us) { terminal_usleep(us); }

// Bytes of the current body that arrived, kept or not: a grant is only
// believed when InBuff holds all of it.
size_t BodyLength = 0;

// The server link. Only http and https are spoken, also after a redirect,
// and a redirect may lead at most 5 times. From an https base URL every
// redirect must stay https: a verified link never continues in plain text.
// Over https the certificate chain and the host name are verified (against
// the system's CA store or the settings' CA file), and with a pinned key
// the server must also present exactly that key. With a client certificate
// in the settings the terminal shows it to a server that asks. A failed
// verification or a refused handshake is a failed transfer like any other.
constexpr long kMaxRedirects = 5;

// The client certificate and key of the settings, read once at start-up:
// boat_checkin gives up root after it, and a key is rightly root's alone.
// Both empty: none.
constexpr size_t kClientFileMax = 64 * 1024;
std::string ClientCert, ClientKey;

// The whole of `path` into *out; false (errno set) when it cannot be read
// or is longer than any certificate chain or key.
bool read_client_file(const char* path, std::string* out) {
    FILE* f = fopen(path, "rb");
    if (f == nullptr) return false;
    out->resize(kClientFileMax + 1);
    const size_t n = fread(&(*out)[0], 1, out->size(), f);
    const bool failed = ferror(f) != 0;
    fclose(f);
    out->resize(n);
    if (failed) {
        errno = EIO;
        return false;
    }
    if (n > kClientFileMax) {
        errno = EFBIG;
        return false;
    }
    return true;
}

// The first option refused; then the transfer must not run, as it would
// run on a link less checked than asked for.
CURLcode set_link_options(CURL* curl) {
    const bool https = strncmp(URL, "https://", 8) == 0;
    const char* ca = terminal_settings.ca_file.data();
    const char* pin = terminal_settings.pinned_key.data();
    CURLcode res = curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    if (res == CURLE_OK) res = curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, https ? "https" : "http,https");
    if (res == CURLE_OK) res = curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
    if (res == CURLE_OK) res = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    if (res == CURLE_OK) res = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (res == CURLE_OK && ca[0] != '\0') res = curl_easy_setopt(curl, CURLOPT_CAINFO, ca);
    if (res == CURLE_OK && pin[0] != '\0') res = curl_easy_setopt(curl, CURLOPT_PINNEDPUBLICKEY, pin);
    if (!ClientCert.empty()) {
        curl_blob cert {&ClientCert[0], ClientCert.size(), CURL_BLOB_NOCOPY};
        curl_blob key {&ClientKey[0], ClientKey.size(), CURL_BLOB_NOCOPY};
        if (res == CURLE_OK) res = curl_easy_setopt(curl, CURLOPT_SSLCERT_BLOB, &cert);
        if (res == CURLE_OK) res = curl_easy_setopt(curl, CURLOPT_SSLKEY_BLOB, &key);
    }
    return res;
}

void start_answer() {
    memset(InBuff, 0, kInBuffSize);
    InBuffPointer = 0;
    BodyLength = 0;
}

enum class Transfer { ok, failed, no_handle };

// Called by libcurl about once a second for the whole transfer, also while
// nothing arrives: a stop signal ends the transfer, and the paid time is
// watched as if the loop were running, and the service manager hears that
// the loop is alive, as the transfer is one of its waits. Non-zero aborts
// the transfer.
int transfer_progress(void* /*clientp*/, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    if (terminal_stop) return 1;
    paid_time_watch();
    terminal_alive();
    return 0;
}

// Exchange steps shared by both kinds: request URL, GET, result. On
// failure *error names the reason; *http_status is the final response's
// status code (0 when none came).
Transfer exchange(const char* serial, bool card, const char** error, long* http_status) {
    *http_status = 0;
    CURL* curl = curl_easy_init();
    LastCheckin = 0;
    LastCheckinNs = terminal_clock_ns();
    if (!curl) return Transfer::no_handle;
    if (card) {
        if (Terminal->report_transfer) fprintf(stderr, "Do CURL\r\n");
        snprintf(LastRFID, kLastRFIDSize, "%s", serial);
    }
    const char* kind = CheckinIntervalNs == 0 ? "" : card ? kKindCard : kKindPeriodic;
    const int n = snprintf(Buff, kBuffSize, kRequestFormat, URL, serial, BoatID, kind);
    if (n < 0 || static_cast<size_t>(n) >= kBuffSize) {
        // The settings keep the URL short enough; a cut request would ask
        // for something else.
        curl_easy_cleanup(curl);
        *error = "Request URL too long";
        return Transfer::failed;
    }
    if (Terminal->report_transfer) fprintf(stderr, "Contacting %s\r\n", Buff);

    start_answer();
    curl_easy_setopt(curl, CURLOPT_URL, Buff);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_callback);
    // A silent server must not hold the loop for ever; while it does, the
    // progress function keeps the paid time and the stop signals watched.
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutS);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, kTransferTimeoutS);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, transfer_progress);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    CURLcode res = set_link_options(curl);
    if (res == CURLE_OK) res = curl_easy_perform(curl);
    if (res == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, http_status);
    curl_easy_cleanup(curl);

    if (res != CURLE_OK) {
        *error = curl_easy_strerror(res);
        return Transfer::failed;
    }
    return Transfer::ok;
}

// The transfer's outcome once its body has been judged: a body that is
// neither a kill, a refusal nor a whole well-formed grant fails the
// exchange like a transfer error, and *answer is what was understood.
// An error status never grants, but its kill or refusal still stops the
// boat: stopping is the safe direction.
Transfer checked_exchange(const char* serial, bool card, const char** error, Answer* answer) {
    long http_status = 0;
    Transfer t = exchange(serial, card, error, &http_status);
    if (t != Transfer::ok) return t;
    *answer = classify_answer(InBuff);
    const bool stops = answer->kind == AnswerKind::kill || answer->kind == AnswerKind::bad;
    if (http_status >= kFirstErrorStatus && !stops) {
        *error = curl_easy_strerror(CURLE_HTTP_RETURNED_ERROR);
        return Transfer::failed;
    }
    if (InBuff[0] == '\0') {
        // The empty text is no answer at all, not even a bad one.
        *error = "Empty answer";
        return Transfer::failed;
    }
    // A grant cut at the buffer's end, or with more behind a NUL byte, is
    // not the whole answer.
    if (answer->kind == AnswerKind::grant && strlen(InBuff) != BodyLength) answer->kind = AnswerKind::invalid;
    if (answer->kind != AnswerKind::invalid) return t;
    *error = "Bad answer";
    return Transfer::failed;
}

void red_pause_off() {
    SetRed();
    pause_us(2000000);
    SetOff();
}

// The numbers of a grant. Only Grant::of() makes one, and only from an
// answer classified as a grant: no other answer can reach the grant steps.
class Grant {
public:
    static std::optional<Grant> of(const Answer& a) {
        if (a.kind != AnswerKind::grant) return std::nullopt;
        return Grant(a);
    }
    bool numbers() const { return numbers_; }
    int days() const { return days_; }
    int seconds() const { return seconds_; }

private:
    explicit Grant(const Answer& a) : numbers_(a.numbers), days_(a.days), seconds_(a.seconds) {}
    bool numbers_;
    int days_;
    int seconds_;
};

void apply_kill() {
    Active = 0;
    StopBoat();
    KillBoat();
    red_pause_off();
}

void apply_refusal(bool card) {
    UnKillBoat();
    fprintf(stderr, "%s\r\n", InBuff);
    Active = 0;
    StopBoat();
    if (card) red_pause_off();
}

void apply_grant(const Grant& grant) {
    UnKillBoat();
    fprintf(stderr, "%s\r\n", InBuff);
    Active = 1;
    SetGreen();
    StartBoat();
    // Without numbers the last grant's Days and Seconds stay.
    if (grant.numbers()) {
        Days = grant.days();
        Seconds = grant.seconds();
    }
    fprintf(stderr, "Online for %d Days\r\n", Days);
    StartTime = terminal_time(nullptr);
    StartMonotonic = terminal_monotonic();
    fprintf(stderr, "Current Time Stamp %lld\r\n", static_cast<long long>(StartTime));
    EndTime = session_end(StartTime, Seconds);
    fprintf(stderr, "Expire Time Stamp %lld\r\n", static_cast<long long>(EndTime));
}

void handle_answer(bool card, const Answer& answer) {
    switch (answer.kind) {
    case AnswerKind::kill:
        apply_kill();
        return;
    case AnswerKind::bad:
        apply_refusal(card);
        return;
    case AnswerKind::grant:
        if (const std::optional<Grant> grant = Grant::of(answer)) apply_grant(*grant);
        return;
    case AnswerKind::invalid:
        return;
    }
}

// The paid time has run out: more monotonic time has passed since the
// grant than its seconds, the length the Expire Time Stamp showed. On the
// monotonic clock, so that a step of the wall clock neither ends nor
// prolongs the session.
bool paid_time_over() {
    const long long elapsed = static_cast<long long>(terminal_monotonic()) - StartMonotonic;
    return elapsed > static_cast<long long>(EndTime) - StartTime;
}

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

const char* skip_space(const char* p) {
    while (is_space(*p)) p++;
    return p;
}

// One "%d" conversion at *p: white space, an optional sign, at least one
// digit. False when nothing scans or the number leaves int's range, which
// sscanf would not tell.
bool scan_int(const char** p, int* out) {
    const char* s = skip_space(*p);
    bool negative = *s == '-';
    if (*s == '-' || *s == '+') s++;
    if (*s < '0' || *s > '9') return false;
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        v = v * 10 + (*s - '0');
        if (v > -static_cast<long long>(std::numeric_limits<int>::min())) return false;
    }
    if (negative) v = -v;
    if (v > std::numeric_limits<int>::max()) return false;
    *out = static_cast<int>(v);
    *p = s;
    return true;
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
    CheckinIntervalNs = static_cast<int64_t>(checkin_interval_seconds(terminal_settings)) * 1000000000;
    LastCheckinNs = terminal_clock_ns();
    if (client_credentials_startup() != 0) return 1;
    return HW_init(5000, gpio);
}

int client_credentials_startup() {
    ClientCert.clear();
    ClientKey.clear();
    const char* files[] = {terminal_settings.client_cert.data(), terminal_settings.client_key.data()};
    std::string* into[] = {&ClientCert, &ClientKey};
    for (size_t i = 0; i < 2; i++) {
        if (files[i][0] == '\0') continue;
        if (read_client_file(files[i], into[i])) continue;
        const char* why = strerror(errno);
        fprintf(stderr, "%s: cannot be read: %s\r\n", files[i], why);
        syslog(LOG_DAEMON | LOG_ERR, "%s: cannot be read: %s", files[i], why);
        ClientCert.clear();
        ClientKey.clear();
        return 1;
    }
    return 0;
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
    if (InBuffPointer == 0) {
        memset(InBuff, 0, kInBuffSize);
        BodyLength = 0;
    }
    BodyLength += total;
    size_t have = static_cast<size_t>(InBuffPointer);
    size_t room = kInBuffSize - 1 - have;
    size_t len = total < room ? total : room;
    memcpy(InBuff + have, ptr, len);
    InBuffPointer = static_cast<int>(have + len);
    InBuff[InBuffPointer] = '\0';
    return total;
}

time_t monotonic_seconds() {
    // Boot time rather than plain monotonic: it also counts a suspend, in
    // which the paid time runs on just the same.
    timespec t {};
    clock_gettime(CLOCK_BOOTTIME, &t);
    return t.tv_sec;
}

Answer classify_answer(const char* text) {
    Answer a {AnswerKind::invalid, false, 0, 0};
    const char* p = text;
    for (;;) {
        if (is_space(*p))
            p++;
        else if (strncmp(p, "\xEF\xBB\xBF", 3) == 0)
            p += 3;
        else
            break;
    }
    if (strncmp(p, "KILL", 4) == 0) {
        a.kind = AnswerKind::kill;
        return a;
    }
    if (strncmp(p, "BAD", 3) == 0) {
        a.kind = AnswerKind::bad;
        return a;
    }
    if (strnlen(p, 2) < 2) return a;
    p += 2;  // two characters of any kind
    if (*skip_space(p) == '\0') {
        a.kind = AnswerKind::grant;
        return a;
    }
    int days = 0, seconds = 0;
    if (!scan_int(&p, &days) || !is_space(*p) || !scan_int(&p, &seconds) || *skip_space(p) != '\0') return a;
    a = {AnswerKind::grant, true, days, seconds};
    return a;
}

void card_checkin(const char* serial) {
    Days = 0;
    SetBlue();
    const char* error = "";
    Answer answer {};
    switch (checked_exchange(serial, true, &error, &answer)) {
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
    handle_answer(true, answer);
}

void periodic_checkin() {
    fprintf(stderr, "Performing Check In\r\n");
    const char* error = "";
    Answer answer {};
    if (checked_exchange(LastRFID, false, &error, &answer) != Transfer::ok) return;
    handle_answer(false, answer);
}

bool periodic_checkin_due() {
    if (CheckinIntervalNs == 0) return LastCheckin > Terminal->periodic_after;
    return terminal_clock_ns() - LastCheckinNs >= CheckinIntervalNs;
}

void session_expiry_step() {
    if (!Active) {
        SetOff();
        return;
    }
    if (!paid_time_over()) return;
    Active = 0;
    SetOff();
    StopBoat();
}

void paid_time_watch() {
    if (!Active || !paid_time_over()) return;
    Active = 0;
    StopBoat();
}
