// Stand-ins for what the fuzzed code talks to, linked in place of the real
// ones so a fuzz run spends its time in the code under test: libcurl's
// easy interface (a transfer delivers scripted chunks to the write
// function) and the GPIO lines of the bcm2835 library (levels recorded).
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzzlink {

// What the next curl_easy_perform delivers: `n` chunks, chunk i of
// sizes[i] bytes taken in turn from `data`; then it returns `result`
// (a CURLcode), and the response's status is `status`.
struct Transfer {
    const uint8_t* data = nullptr;
    const size_t* sizes = nullptr;
    size_t n = 0;
    int result = 0;
    long status = 200;
};
void next_transfer(const Transfer& t);

// Level last driven on a GPIO line (0 or 1), 255 before any write.
uint8_t level(uint8_t pin);
void reset_levels();

}  // namespace fuzzlink
