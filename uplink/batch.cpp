// Bounded formatting into the preallocated body: nothing is allocated per
// batch. Doubles go in their shortest form that reads back as the same
// value, so the shore stores exactly the boat's.
#include "batch.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace uplink {

namespace {

class Writer {
public:
    explicit Writer(Body* out) : out_(out) {}
    void add(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (!ok_) return;
        va_list ap;
        va_start(ap, fmt);
        const int n = vsnprintf(out_->data() + len_, out_->size() - len_, fmt, ap);
        va_end(ap);
        if (n < 0 || static_cast<size_t>(n) >= out_->size() - len_) ok_ = false;
        else len_ += static_cast<size_t>(n);
    }
    void real(const char* key, double v) {
        char text[32];
        const auto r = std::to_chars(text, text + sizeof text, v);
        add(",\"%s\":%.*s", key, static_cast<int>(r.ptr - text), text);
    }
    void number(const char* key, bool has, double v) {
        if (has) real(key, v);
        else add(",\"%s\":null", key);
    }
    size_t length() const { return ok_ ? len_ : 0; }
    // Back to an earlier length, after a row that did not fit.
    void cut(size_t len) {
        len_ = len;
        ok_ = true;
    }
    bool ok() const { return ok_; }

private:
    Body* out_;
    size_t len_ = 0;
    bool ok_ = true;
};

}  // namespace

size_t format_batch(Body* out, int boat, const Identity& identity, const GpsRow* rows, size_t count, size_t* sent) {
    constexpr size_t kClose = 2;  // "]}"
    Writer w(out);
    *sent = 0;
    w.add("{\"boat\":%d,\"database\":\"%s\",\"rows\":[", boat, identity.data());
    for (size_t i = 0; i < count; i++) {
        const GpsRow& r = rows[i];
        const size_t before = w.length();
        w.add("%s{\"id\":%" PRIu64, i ? "," : "", r.id);
        w.real("Lat", r.lat);
        w.real("Lng", r.lng);
        w.number("Speed", r.has_speed, r.speed);
        w.number("Bearing", r.has_bearing, r.bearing);
        w.add(",\"FuelVoltage\":%" PRId64 ",\"Active\":%d,\"Logged\":%" PRId64, r.fuel, r.active, r.logged);
        if (r.has_fix_time) w.add(",\"FixTime\":%" PRId64, r.fix_time_ms);
        else w.add(",\"FixTime\":null");
        if (r.has_row_key) w.add(",\"RowKey\":%" PRIu64 "}", r.row_key);
        else w.add(",\"RowKey\":null}");
        if (!w.ok() || w.length() + kClose >= out->size()) {
            w.cut(before);
            break;
        }
        ++*sent;
    }
    if (*sent == 0) return 0;
    w.add("]}");
    return w.length();
}

bool parse_answer(const char* text, size_t len, uint64_t* through) {
    const nlohmann::json a = nlohmann::json::parse(text, text + len, nullptr, false);
    if (!a.is_object()) return false;
    const auto t = a.find("through");
    if (t == a.end() || !t->is_number_unsigned()) return false;
    *through = t->get<uint64_t>();
    return true;
}

}  // namespace uplink
