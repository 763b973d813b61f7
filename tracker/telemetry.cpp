// Fuel sample and GPS sample with their database row.
#include "telemetry.h"

#include <bcm2835.h>
#include <sys/random.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <ctime>

int32_t FuelLevel = 0;
namespace tracker {
struct gps_data_t gps_data;
}
MYSQL* connection = nullptr;
char* query = nullptr;
uint64_t RowKey = 0;
timespec_t LastRowFixTime {};

int32_t fuel_value(const uint8_t reply[3]) {
    // The converter drives only the last two bits of byte 1; the bits
    // before them are not defined (a floating line may read 1).
    return static_cast<int32_t>(reply[2]) + 256 * static_cast<int32_t>(reply[1] & 0x03);
}

void FuelSample(char* buf) {
    // Start bit, single-ended channel 0, then a byte that clocks the result out.
    char Send[4] = {0x01, static_cast<char>(0x80), 0x00, 0x00};
    fprintf(stderr, "Check Fuel\r\n");
    bcm2835_spi_transfernb(Send, buf, 3);
    const uint8_t* reply = reinterpret_cast<const uint8_t*>(buf);
    FuelLevel = fuel_value(reply);
    fprintf(stderr, "Fuel Value: %02X %02X %02X (%d)\r\n", reply[0], reply[1], reply[2], FuelLevel);
}

bool gps_fix_usable(const struct gps_data_t& g) {
    return g.fix.status >= STATUS_FIX && (g.fix.mode == MODE_2D || g.fix.mode == MODE_3D) &&
           !std::isnan(g.fix.latitude) && !std::isnan(g.fix.longitude);
}

namespace {

// A burst after a stall is read in one sample; the bound only keeps a pass
// finite should gpsd ever send faster than it can be read.
constexpr int kMaxReportsPerSample = 1000;

bool time_known(const timespec_t& t) { return t.tv_sec != 0 || t.tv_nsec != 0; }

// gpsd reports an epoch's fix again after each of the receiver's sentences,
// and SKY reports leave the fix as it was: a fix is new when its time is
// not the last row's. A fix without a time is new when its report is.
// A time earlier than the last row's is new too: receivers restart their
// clocks.
bool fix_is_new(const struct gps_fix_t& fix) {
    return fix.time.tv_sec != LastRowFixTime.tv_sec || fix.time.tv_nsec != LastRowFixTime.tv_nsec ||
           !time_known(fix.time);
}

uint64_t mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// Keys of different runs must not meet: random, and should the kernel
// have no randomness yet so early after boot, the clocks and the pid.
uint64_t draw_row_key() {
    uint64_t k = 0;
    if (getrandom(&k, sizeof k, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof k)) {
        timespec r {}, m {};
        clock_gettime(CLOCK_REALTIME, &r);
        clock_gettime(CLOCK_MONOTONIC, &m);
        k = mix(static_cast<uint64_t>(r.tv_sec) * 1000000000ull + static_cast<uint64_t>(r.tv_nsec)) ^
            mix(static_cast<uint64_t>(m.tv_sec) * 1000000000ull + static_cast<uint64_t>(m.tv_nsec) +
                (static_cast<uint64_t>(getpid()) << 40));
    }
    return k ? k : 1;
}

// "'%f'" for a value, NULL for a value the receiver did not give: the
// server refuses the text nan and would drop the whole row.
const char* sql_double(char* out, size_t size, double v) {
    if (std::isnan(v)) return "NULL";
    snprintf(out, size, "'%f'", v);
    return out;
}

// The fix's UTC time to the millisecond, NULL when gpsd gave none (or one
// the column cannot hold).
const char* sql_time(char* out, size_t size, const timespec_t& t) {
    if (!time_known(t)) return "NULL";
    time_t s = t.tv_sec;
    struct tm tm {};
    if (!gmtime_r(&s, &tm) || tm.tm_year + 1900 < 1000 || tm.tm_year + 1900 > 9999) return "NULL";
    long ms = t.tv_nsec / 1000000;
    if (ms < 0 || ms > 999) ms = 0;
    snprintf(out, size, "'%04d-%02d-%02d %02d:%02d:%02d.%03ld'", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
             tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return out;
}

}  // namespace

int format_gps_row(char* out, size_t size, const struct gps_fix_t& fix, int32_t fuel, int active, uint64_t key) {
    // A double's "%f" text can run to over 300 characters.
    char speed[330];
    char track[330];
    char when[40];
    int n = snprintf(out, size,
                     "INSERT INTO GPS (Lat, Lng, Speed, Bearing, FuelVoltage, Active, FixTime, RowKey) VALUES "
                     "('%f','%f',%s, %s,'%i', '%i', %s, '%llu')",
                     fix.latitude, fix.longitude, sql_double(speed, sizeof speed, fix.speed),
                     sql_double(track, sizeof track, fix.track), fuel, active, sql_time(when, sizeof when, fix.time),
                     static_cast<unsigned long long>(key));
    if (n < 0 || static_cast<size_t>(n) >= size) {
        if (size > 0) out[0] = '\0';
        return -1;
    }
    return n;
}

void GpsSample(int active) {
    using tracker::gps_data;
    // Everything gpsd sent since the last sample, the newest usable fix kept.
    bool read = false;
    bool fresh = false;
    struct gps_fix_t fix {};
    for (int n = 0; n < kMaxReportsPerSample; n++) {
        bool tpv = false;
        int rc = Telemetry.gps_fetch(&gps_data, &tpv);
        if (rc == 0) break;
        if (rc == -1) {
            printf("error occured reading gps data. code: %d, reason: %s\n", rc, gps_errstr(rc));
            break;
        }
        read = true;
        if (tpv && gps_fix_usable(gps_data) && fix_is_new(gps_data.fix)) {
            fix = gps_data.fix;
            fresh = true;
        }
    }
    if (!fresh) {
        if (read && !gps_fix_usable(gps_data)) printf("no GPS data available\n");
        return;
    }
    if (RowKey == 0) RowKey = draw_row_key();
    if (format_gps_row(query, kQuerySize, fix, FuelLevel, active, RowKey) < 0) {
        fprintf(stderr, "Database error: %s\r\n", "statement too long");
        return;
    }
    if (++RowKey == 0) RowKey = 1;
    LastRowFixTime = fix.time;
    fprintf(stderr, "%s\r\n", query);
    Telemetry.db_store(query);
    printf("latitude: %f, longitude: %f, speed: %f, bearing: %f\n", fix.latitude, fix.longitude, fix.speed,
           fix.track);
}
