// Calendar arithmetic of the proleptic Gregorian calendar, so that no
// time zone (TZ, /etc/localtime) can shift a time.
#include "utc_time.h"

#include <cstdio>

namespace track {

namespace {

constexpr int64_t kMsPerDay = 86400000;

// Days since 1970-01-01 of a civil date (H. Hinnant's algorithm).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int* y, unsigned* m, unsigned* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int>(yoe + era * 400 + (*m <= 2));
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned days_in_month(int y, unsigned m) {
    static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : kDays[m - 1];
}

// Exactly `n` decimal digits at *p.
bool digits(const char*& p, int n, int* value) {
    int v = 0;
    for (int i = 0; i < n; i++, p++) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + (*p - '0');
    }
    *value = v;
    return true;
}

bool expect(const char*& p, char c) {
    if (*p != c) return false;
    p++;
    return true;
}

// "YYYY-MM-DD", checked against the calendar.
bool date_part(const char*& p, int64_t* day) {
    int y, m, d;
    if (!digits(p, 4, &y) || !expect(p, '-') || !digits(p, 2, &m) || !expect(p, '-') || !digits(p, 2, &d)) return false;
    if (m < 1 || m > 12 || d < 1 || static_cast<unsigned>(d) > days_in_month(y, static_cast<unsigned>(m))) return false;
    *day = days_from_civil(y, static_cast<unsigned>(m), static_cast<unsigned>(d));
    return true;
}

// Up to `max_digits` decimals of the second, as milliseconds.
bool fraction(const char*& p, int max_digits, int* ms) {
    *ms = 0;
    if (*p != '.') return true;
    p++;
    int n = 0, scale = 100;
    while (*p >= '0' && *p <= '9') {
        if (++n > max_digits) return false;
        *ms += (*p - '0') * scale;
        scale /= 10;
        p++;
    }
    return n > 0;
}

}  // namespace

bool parse_iso_utc(const char* text, int64_t* ms) {
    const char* p = text;
    int64_t day;
    if (!date_part(p, &day)) return false;
    if (*p == '\0') {
        *ms = day * kMsPerDay;
        return true;
    }
    int h, mi, s = 0, frac = 0;
    if (!expect(p, 'T') || !digits(p, 2, &h) || !expect(p, ':') || !digits(p, 2, &mi)) return false;
    if (*p == ':' && (!expect(p, ':') || !digits(p, 2, &s) || !fraction(p, 3, &frac))) return false;
    if (!expect(p, 'Z') || *p != '\0') return false;
    if (h > 23 || mi > 59 || s > 59) return false;
    *ms = day * kMsPerDay + ((h * 60 + mi) * 60 + s) * int64_t{1000} + frac;
    return true;
}

bool parse_db_time(const char* text, int64_t* ms) {
    const char* p = text;
    int64_t day;
    int h, mi, s, frac;
    if (!date_part(p, &day) || !expect(p, ' ') || !digits(p, 2, &h) || !expect(p, ':') || !digits(p, 2, &mi) ||
        !expect(p, ':') || !digits(p, 2, &s) || !fraction(p, 6, &frac) || *p != '\0')
        return false;
    if (h > 23 || mi > 59 || s > 59) return false;
    *ms = day * kMsPerDay + ((h * 60 + mi) * 60 + s) * int64_t{1000} + frac;
    return true;
}

namespace {
struct Parts {
    int y;
    unsigned mo, d;
    int h, mi, s, ms;
};
Parts split(int64_t ms) {
    int64_t day = ms / kMsPerDay, rest = ms % kMsPerDay;
    if (rest < 0) {
        rest += kMsPerDay;
        day--;
    }
    Parts t {};
    civil_from_days(day, &t.y, &t.mo, &t.d);
    t.h = static_cast<int>(rest / 3600000);
    t.mi = static_cast<int>(rest / 60000 % 60);
    t.s = static_cast<int>(rest / 1000 % 60);
    t.ms = static_cast<int>(rest % 1000);
    return t;
}
}  // namespace

int format_iso_utc(char* out, size_t size, int64_t ms, bool millis) {
    const Parts t = split(ms);
    if (millis)
        return snprintf(out, size, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", t.y, t.mo, t.d, t.h, t.mi, t.s, t.ms);
    return snprintf(out, size, "%04d-%02u-%02uT%02d:%02d:%02dZ", t.y, t.mo, t.d, t.h, t.mi, t.s);
}

int format_db_time(char* out, size_t size, int64_t ms) {
    const Parts t = split(ms);
    return snprintf(out, size, "%04d-%02u-%02u %02d:%02d:%02d.%03d", t.y, t.mo, t.d, t.h, t.mi, t.s, t.ms);
}

}  // namespace track
