#include "fake_link.h"

#include <bcm2835.h>
#include <curl/curl.h>

#include <cstdarg>
#include <cstring>

namespace fuzzlink {
namespace {

struct Handle {
    curl_write_callback write = nullptr;
    void* write_data = nullptr;
};

Handle g_handle;
Transfer g_next;
uint8_t g_levels[64];

}  // namespace

void next_transfer(const Transfer& t) { g_next = t; }
uint8_t level(uint8_t pin) { return pin < sizeof g_levels ? g_levels[pin] : 255; }
void reset_levels() { memset(g_levels, 255, sizeof g_levels); }

}  // namespace fuzzlink

using fuzzlink::g_handle;
using fuzzlink::g_next;

// libcurl's prototypes end in an enum before the "...", which clang warns
// about for va_start; the enum is passed as an int on every ABI we build for.
#pragma clang diagnostic ignored "-Wvarargs"

extern "C" {

CURL* curl_easy_init() {
    g_handle = {};
    return &g_handle;
}

CURLcode curl_easy_setopt(CURL* curl, CURLoption option, ...) {
    auto* h = static_cast<fuzzlink::Handle*>(curl);
    va_list ap;
    va_start(ap, option);
    if (option == CURLOPT_WRITEFUNCTION) h->write = va_arg(ap, curl_write_callback);
    if (option == CURLOPT_WRITEDATA) h->write_data = va_arg(ap, void*);
    va_end(ap);
    return CURLE_OK;
}

CURLcode curl_easy_perform(CURL* curl) {
    auto* h = static_cast<fuzzlink::Handle*>(curl);
    const uint8_t* p = g_next.data;
    for (size_t i = 0; i < g_next.n; i++) {
        // As libcurl: a copy of the chunk, and a short write ends the transfer.
        char chunk[CURL_MAX_WRITE_SIZE];
        size_t len = g_next.sizes[i] < sizeof chunk ? g_next.sizes[i] : sizeof chunk;
        memcpy(chunk, p, len);
        p += len;
        if (!h->write || h->write(chunk, 1, len, h->write_data) != len) return CURLE_WRITE_ERROR;
    }
    return static_cast<CURLcode>(g_next.result);
}

CURLcode curl_easy_getinfo(CURL*, CURLINFO info, ...) {
    va_list ap;
    va_start(ap, info);
    if (info == CURLINFO_RESPONSE_CODE) *va_arg(ap, long*) = g_next.status;
    va_end(ap);
    return CURLE_OK;
}

void curl_easy_cleanup(CURL*) {}

const char* curl_easy_strerror(CURLcode code) { return code == CURLE_OK ? "No error" : "Failure"; }

int bcm2835_init() { return 1; }
void bcm2835_gpio_fsel(uint8_t, uint8_t) {}
void bcm2835_gpio_write(uint8_t pin, uint8_t on) {
    if (pin < sizeof fuzzlink::g_levels) fuzzlink::g_levels[pin] = on ? 1 : 0;
}
void bcm2835_gpio_set(uint8_t pin) { bcm2835_gpio_write(pin, 1); }
void bcm2835_gpio_clr(uint8_t pin) { bcm2835_gpio_write(pin, 0); }
int bcm2835_spi_begin() { return 1; }
void bcm2835_spi_setBitOrder(uint8_t) {}
void bcm2835_spi_setDataMode(uint8_t) {}
void bcm2835_spi_setClockDivider(uint16_t) {}
void bcm2835_spi_chipSelect(uint8_t) {}
void bcm2835_spi_setChipSelectPolarity(uint8_t, uint8_t) {}

}  // extern "C"
