// The link to the shore: one libcurl handle kept for its connection, a
// POST of a batch and its answer into a fixed buffer.
#pragma once

#include "batch.h"
#include "settings.h"

#include <curl/curl.h>

#include <array>
#include <cstddef>

namespace uplink {

constexpr size_t kAnswerMax = 4096;

class ShoreLink {
public:
    ShoreLink() = default;
    ~ShoreLink();
    ShoreLink(const ShoreLink&) = delete;
    ShoreLink& operator=(const ShoreLink&) = delete;

    // Sets the handle up once; false with error() when it cannot be.
    bool open(const TerminalSettings& s);
    // Sends body[0..len) and, on a 200 answer that names the rows stored,
    // sets *through. False with error() for anything else (no link, a cut
    // or slow answer, an error status, an answer that is not one).
    bool send(const Body& body, size_t len, uint64_t* through);
    const char* error() const { return error_.data(); }

private:
    static size_t take(char* data, size_t size, size_t n, void* self);
    CURL* curl_ = nullptr;
    curl_slist* headers_ = nullptr;
    std::array<char, kAnswerMax> answer_ {};
    size_t answer_len_ = 0;
    bool answer_cut_ = false;
    std::array<char, CURL_ERROR_SIZE> curl_error_ {};
    std::array<char, 320> auth_ {};
    std::array<char, 384> error_ {};
};

}  // namespace uplink
