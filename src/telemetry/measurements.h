#pragma once
// One measurement of the router for the metrics report: every requested
// metric's current value, and the traffic counters moved on to this reading.
#include "core/state.h"
#include "desired_state/profile.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>

namespace velmo {

struct Measurements {
    nlohmann::json values;       // metric name -> value
    TrafficCounter downloads;    // copies after this measurement
    TrafficCounter uploads;
};

// Measures every requested metric and moves the history's traffic counters
// on. Raises what its unguarded sources raise (CPU and memory figures, the
// interface counters, the PPP uptime, a GPS settings file without its port).
Measurements collect_measurements(const std::map<std::string, ReportDescriptor>& requested,
                                  MetricsHistory& history, int32_t ms_port);

class RouterDetailsReader {
public:
    // Milliseconds of the last echo reply from the host, or -1. Never raises.
    static int getLatency(const std::string& host, int count, int wait_seconds);
};

enum class TrafficDirection { Received, Sent };

// The interface's byte counter from ifconfig; 0 for "N/A" or "". Raises the
// standard conversion error on unreadable output.
uint64_t read_interface_bytes(const std::string& interface, TrafficDirection direction);

int get_cpu_usage();       // one-minute load average x 100
int get_mem_usage();       // megabytes of used memory
uint64_t get_ppp_uptime(); // hundredths of a second of the PPP link
unsigned long get_location_area_code(bool second = false);
std::string get_wan_ip(int32_t port);  // "" when unknown

struct GpsPosition {
    float latitude = 500.0f;
    float longitude = 500.0f;
    float altitude = 500.0f;
};
GpsPosition read_gps_position();

std::string get_custom_string(int n);
double get_custom_number(int n);
enum class CustomKind { String, Number };
void collect_custom_metrics(const std::map<std::string, ReportDescriptor>& requested, CustomKind kind,
                            nlohmann::json& values);

// Parsers and rules behind the readers above, exposed for their tests.

// The delta of a byte counter against the previous reading: the plain
// difference; the new counter itself when the counter went down (the low 32
// bits of the difference read as a negative number); the low 32 bits of the
// difference when a 32-bit counter wrapped.
uint64_t traffic_delta(uint64_t current, uint64_t previous);
// Bytes as megabytes (10^6), rounded to 5 decimal places.
double bytes_to_megabytes(uint64_t bytes);
// The latency in the output of the ping pipeline ("time=N" lines).
int parse_ping_output(const std::string& output);
// The counter in the awk-selected 'bytes:N' field of ifconfig's output.
uint64_t parse_interface_bytes(const std::string& output);
// Hundredths of a second of '2 days, 3 hours, 4 minutes'; 0 for "N/A".
uint64_t parse_ppp_uptime(const std::string& text);
// The address of the conntrack pipeline's output, or "" (logged).
std::string parse_wan_ip(const std::string& output);
// True for the name alone or the name followed by one or more digits.
bool is_numbered_metric(const std::string& name, const std::string& family);
// A status text as JSON: null for "" and "N/A"; a character cut in two at
// the end is dropped.
nlohmann::json string_or_null(const std::string& text);

}  // namespace velmo
