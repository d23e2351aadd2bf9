// The GPS position from the router's GPS daemon, through libgps.
#include "telemetry/measurements.h"

#include "core/clock.h"
#include "core/log.h"
#include "core/utils.h"

#include <gps.h>

#include <cerrno>
#include <cmath>

namespace velmo {

namespace {

constexpr int kAttempts = 20;
constexpr int64_t kAttemptWaitMs = 2000;
// Waits for data in slices and measures the attempt with the clock seam, so
// that tests can run the attempts without waiting 40 seconds.
constexpr int kWaitSliceUs = 100000;

bool wait_for_data(const gps_data_t& data) {
    int64_t deadline = monotonic_ms() + kAttemptWaitMs;
    do {
        if (gps_waiting(&data, kWaitSliceUs)) return true;
    } while (monotonic_ms() < deadline);
    return false;
}

}  // namespace

GpsPosition read_gps_position() {
    GpsPosition position;
    std::string port = file_get_key_value("/opt/gps/etc/settings", "MOD_GPS_GPSD_PORT_LISTEN");

    gps_data_t data {};
    if (gps_open("127.0.0.1", port.c_str(), &data) != 0) {
        vlog(LOG_INFO, "Failed to connect to GPS daemon ('127.0.0.1:%s'): %s.", port.c_str(), gps_errstr(errno));
        vlog(LOG_DEBUG, "Please make sure that GPSD is enabled in GPS settings.");
        return position;
    }
    gps_stream(&data, WATCH_ENABLE, nullptr);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (!wait_for_data(data)) continue;
        errno = 0;
        if (gps_read(&data, nullptr, 0) == -1) {
            vlog(LOG_ERR, "Error while reading gps data: %s", gps_errstr(errno));
            position = GpsPosition();
            continue;
        }
        if ((data.fix.mode == MODE_2D || data.fix.mode == MODE_3D) && !std::isnan(data.fix.latitude) &&
            !std::isnan(data.fix.longitude)) {
            position.latitude = static_cast<float>(data.fix.latitude);
            position.longitude = static_cast<float>(data.fix.longitude);
            position.altitude = static_cast<float>(data.fix.altMSL);
            break;
        }
    }
    gps_stream(&data, WATCH_DISABLE, nullptr);
    gps_close(&data);
    return position;
}

}  // namespace velmo
