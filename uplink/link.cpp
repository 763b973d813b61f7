#include "link.h"

#include <cstdio>
#include <cstring>

namespace uplink {

namespace {

// A shore that does not answer a batch within these is treated as down;
// a stalled transfer is given up rather than waited for.
constexpr long kConnectTimeoutS = 10;
constexpr long kTransferTimeoutS = 30;
constexpr long kLowSpeedBytes = 1;
constexpr long kLowSpeedTimeS = 15;

}  // namespace

ShoreLink::~ShoreLink() {
    if (curl_) curl_easy_cleanup(curl_);
    curl_slist_free_all(headers_);
}

size_t ShoreLink::take(char* data, size_t size, size_t n, void* self) {
    ShoreLink& link = *static_cast<ShoreLink*>(self);
    const size_t bytes = size * n;
    if (bytes > link.answer_.size() - link.answer_len_) {
        link.answer_cut_ = true;
        return 0;  // ends the transfer: no answer is this long
    }
    memcpy(link.answer_.data() + link.answer_len_, data, bytes);
    link.answer_len_ += bytes;
    return bytes;
}

bool ShoreLink::open(const TerminalSettings& s) {
    curl_ = curl_easy_init();
    snprintf(auth_.data(), auth_.size(), "Authorization: Bearer %s", s.uplink_token.data());
    curl_slist* h = curl_slist_append(nullptr, "Content-Type: application/json");
    if (h) headers_ = h;
    h = h ? curl_slist_append(headers_, auth_.data()) : nullptr;
    // No "Expect: 100-continue" round trip before each body.
    h = h ? curl_slist_append(headers_, "Expect:") : nullptr;
    if (!curl_ || !h) {
        snprintf(error_.data(), error_.size(), "cannot set the link up: out of memory");
        return false;
    }
    curl_easy_setopt(curl_, CURLOPT_URL, s.uplink_url.data());
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(curl_, CURLOPT_POST, 1L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &ShoreLink::take);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, curl_error_.data());
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutS);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT, kTransferTimeoutS);
    curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytes);
    curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, kLowSpeedTimeS);
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 0L);
    if (s.uplink_ca_file[0] != '\0') curl_easy_setopt(curl_, CURLOPT_CAINFO, s.uplink_ca_file.data());
    return true;
}

bool ShoreLink::send(const Body& body, size_t len, uint64_t* through) {
    answer_len_ = 0;
    answer_cut_ = false;
    curl_error_[0] = '\0';
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE, static_cast<long>(len));
    const CURLcode rc = curl_easy_perform(curl_);
    if (rc != CURLE_OK) {
        snprintf(error_.data(), error_.size(), "the shore did not answer: %s",
                 answer_cut_ ? "answer too long" : curl_error_[0] ? curl_error_.data() : curl_easy_strerror(rc));
        return false;
    }
    long status = 0;
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        const int shown = static_cast<int>(answer_len_ < 200 ? answer_len_ : 200);
        snprintf(error_.data(), error_.size(), "the shore answered %ld: %.*s", status, shown, answer_.data());
        return false;
    }
    if (!parse_answer(answer_.data(), answer_len_, through)) {
        snprintf(error_.data(), error_.size(), "the shore's answer names no rows stored");
        return false;
    }
    return true;
}

}  // namespace uplink
