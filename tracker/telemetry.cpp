// Fuel sample and GPS sample with their database row.
#include "telemetry.h"

#include <bcm2835.h>

#include <cmath>
#include <cstdio>

int32_t FuelLevel = 0;
namespace tracker {
struct gps_data_t gps_data;
}
MYSQL* connection = nullptr;
char* query = nullptr;

int32_t fuel_value(const uint8_t reply[3]) {
    return static_cast<int32_t>(reply[2]) + 256 * static_cast<int32_t>(reply[1]);
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
    return g.fix.status == STATUS_FIX && (g.fix.mode == MODE_2D || g.fix.mode == MODE_3D) &&
           !std::isnan(g.fix.latitude) && !std::isnan(g.fix.longitude);
}

namespace {

// "'%f'" for a value, NULL for a value the receiver did not give: the
// server refuses the text nan and would drop the whole row.
const char* sql_double(char* out, size_t size, double v) {
    if (std::isnan(v)) return "NULL";
    snprintf(out, size, "'%f'", v);
    return out;
}

}  // namespace

int format_gps_row(char* out, size_t size, const struct gps_fix_t& fix, int32_t fuel, int active) {
    // A double's "%f" text can run to over 300 characters.
    char speed[330];
    char track[330];
    int n = snprintf(out, size,
                     "INSERT INTO GPS (Lat, Lng, Speed, Bearing, FuelVoltage, Active) VALUES ('%f','%f',%s, %s,'%i', '%i')",
                     fix.latitude, fix.longitude, sql_double(speed, sizeof speed, fix.speed),
                     sql_double(track, sizeof track, fix.track), fuel, active);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        if (size > 0) out[0] = '\0';
        return -1;
    }
    return n;
}

void GpsSample(int active) {
    using tracker::gps_data;
    int rc = Telemetry.gps_fetch(&gps_data);
    if (rc == 0) return;
    if (rc == -1) {
        printf("error occured reading gps data. code: %d, reason: %s\n", rc, gps_errstr(rc));
        return;
    }
    if (!gps_fix_usable(gps_data)) {
        printf("no GPS data available\n");
        return;
    }
    if (format_gps_row(query, kQuerySize, gps_data.fix, FuelLevel, active) < 0) {
        fprintf(stderr, "Database error: %s\r\n", "statement too long");
        return;
    }
    fprintf(stderr, "%s\r\n", query);
    Telemetry.db_store(query);
    printf("latitude: %f, longitude: %f, speed: %f, bearing: %f\n", gps_data.fix.latitude,
           gps_data.fix.longitude, gps_data.fix.speed, gps_data.fix.track);
}
