#include "telemetry/measurements.h"

#include "core/exception.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/router.h"
#include "core/shell.h"
#include "core/utils.h"
#include "telemetry/sim_stats.h"
#include "telemetry/status_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstddef>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace velmo {

namespace {

constexpr size_t kCustomStringMax = 40;

bool is_requested(const std::map<std::string, ReportDescriptor>& requested, const char* name) {
    return requested.count(name) != 0;
}

// The first max bytes of a text, cut back so that it never ends inside a
// UTF-8 sequence: a text cut there could not be written as JSON, and every
// report that carries it would fail.
std::string utf8_prefix(const std::string& text, size_t max) {
    size_t end = std::min(text.size(), max);
    size_t lead = end;
    while (lead > 0 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) --lead;
    if (lead > 0) {
        unsigned char c = static_cast<unsigned char>(text[lead - 1]);
        size_t length = (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
        if (lead - 1 + length > end) end = lead - 1;
    }
    return text.substr(0, end);
}

std::string custom_metrics_path(const std::string& file) {
    // The data directory without the top prefix: other software on the
    // router writes these files at their fixed place.
    return FilesystemPaths::_data + "/custom_metrics/" + file;
}

// The content of a custom metric file, or nullopt when no regular file is
// there. Other software leaves these files: a FIFO or a device in the place
// of one would block every report for good.
std::optional<std::string> read_custom_file(const std::string& path) {
    int fd = open_regular_file(path);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return text;
}

uint64_t device_uptime() {
    return std::strtoull(file_read("/proc/uptime").c_str(), nullptr, 10);
}

uint32_t today_cells() {
    // Zeroed areas with room to spare: a platform without the statistics
    // calls leaves both slots reading as not active.
    struct Areas {
        SimStatsArea sim[2];
        alignas(std::max_align_t) unsigned char scratch[1024] = {};
    };
    auto areas = std::make_unique<Areas>();
    int result = read_module_state(nullptr, areas->scratch, areas->sim[0].bytes, areas->sim[1].bytes);
    if (result == -1) return 0;
    uint32_t cells = 0;
    for (const auto& slot : areas->sim) {
        if (slot.active_today() != 0) cells += 1 + slot.cell_changes_today();
    }
    return cells;
}

// The modification time of a PPP state file, or the history's string for
// the metric when the file cannot be queried.
void connection_time(const std::map<std::string, ReportDescriptor>& requested, const MetricsHistory& history,
                     const char* metric, const char* path, nlohmann::json& values) {
    struct stat st {};
    if (stat(path, &st) != 0) {
        vlog(LOG_DEBUG, "Failed to obtain measurement '%s'. (%s)", metric, strerror(errno));
        if (!is_requested(requested, metric)) return;
        auto it = history.last_changed_values.find(metric);
        if (it != history.last_changed_values.end() && std::holds_alternative<std::string>(it->second)) {
            values[metric] = std::get<std::string>(it->second);
        } else {
            values[metric] = nullptr;
        }
        return;
    }
    if (is_requested(requested, metric)) values[metric] = format_utc_timestamp(st.st_mtime);
}

void collect_pings(const std::map<std::string, ReportDescriptor>& requested, nlohmann::json& values) {
    struct Ping {
        std::string name;
        bool latency;
        std::future<int> result;
    };
    std::vector<Ping> pings;
    for (const auto& [name, descriptor] : requested) {
        bool latency = is_numbered_metric(name, "PingLat");
        if (!latency && !is_numbered_metric(name, "PingStat")) continue;
        // Each ping in a thread of its own, so the slowest host sets the
        // duration of the whole step.
        pings.push_back({name, latency,
                         std::async(std::launch::async, RouterDetailsReader::getLatency, descriptor.args,
                                    latency ? 2 : 1, 8)});
    }
    for (auto& ping : pings) {
        int result = ping.result.get();
        if (ping.latency) {
            values[ping.name] = result;
        } else {
            values[ping.name] = result >= 0;
        }
    }
}

}  // namespace

bool is_numbered_metric(const std::string& name, const std::string& family) {
    if (!string_starts_with(name, family)) return false;
    std::string rest = name.substr(family.size());
    return rest.empty() || string_is_digits(rest);
}

nlohmann::json string_or_null(const std::string& text) {
    // Status texts arrive cut at a byte count, possibly inside a character.
    std::string whole = utf8_prefix(text, text.size());
    if (whole.empty() || whole == "N/A") return nullptr;
    return whole;
}

uint64_t traffic_delta(uint64_t current, uint64_t previous) {
    uint64_t difference = current - previous;
    uint32_t low = static_cast<uint32_t>(difference);
    // A difference that is negative in its low 32 bits: the counter went down
    // (the interface was reset), so everything it counted is new.
    if (static_cast<int32_t>(low) < 0) return current;
    // A 32-bit counter that wrapped past 2^32: the bytes counted are the low
    // 32 bits of the difference, not the 64-bit difference of about 2^64.
    if (current < previous) return low;
    return difference;
}

double bytes_to_megabytes(uint64_t bytes) {
    double megabytes = static_cast<double>(bytes) / 1000000.0;
    return std::round(megabytes * 100000.0) / 100000.0;
}

int parse_ping_output(const std::string& output) {
    auto lines = string_split(output, '\n');
    std::string last = lines.empty() ? std::string() : lines.back();
    return std::stoi(last.substr(5));
}

int RouterDetailsReader::getLatency(const std::string& host, int count, int wait_seconds) {
    // The host is put between single quotes; only names that need no quoting
    // at all are accepted, so no host can end the quotes and run a command.
    // An empty host runs and fails like any host that does not answer.
    if (!host.empty() && shell_quote(host) != host) {
        vlog(LOG_ERR, "getLatency: The host name holds characters that are not allowed; it is not pinged.");
        return -1;
    }
    char command[120];
    snprintf(command, sizeof command, "ping '%s' -c %d -W %d | grep ttl | grep -oE 'time=[0-9]+'", host.c_str(),
             count, wait_seconds);
    std::string output;
    int status = run_command_output(command, &output);
    if (status != 0) {
        vlog(LOG_DEBUG, "getLatency: Ping command failed with result '%d'. (%s)", status, output.c_str());
        return -1;
    }
    try {
        return parse_ping_output(output);
    } catch (const std::exception& e) {
        vlog(LOG_ERR, "Failed to parse output of a ping command: '%s'", e.what());
        vlog(LOG_DEBUG, "Ping command: '%s'", command);
        vlog(LOG_DEBUG, "Ping output: '%s'", output.c_str());
        return -1;
    }
}

uint64_t parse_interface_bytes(const std::string& output) {
    size_t colon = output.find(':');
    std::string number = colon == std::string::npos ? "0" : output.substr(colon + 1);
    // stoull would take "-1" for the largest counter; a byte counter is never negative.
    size_t first = number.find_first_not_of(" \t\n\r\f\v");
    if (first != std::string::npos && number[first] == '-') {
        throw std::invalid_argument("read_interface_bytes: negative counter");
    }
    return std::stoull(number);
}

uint64_t read_interface_bytes(const std::string& interface, TrafficDirection direction) {
    if (interface.empty() || interface == "N/A") return 0;
    const char* field = direction == TrafficDirection::Received ? "2" : "6";
    std::string output;
    run_command_output("ifconfig " + shell_quote(interface) + " | grep bytes | awk '{ print $" + field + " }'",
                       &output);
    return parse_interface_bytes(output);
}

int get_cpu_usage() {
    struct sysinfo info {};
    if (sysinfo(&info) != 0) throw VelmoException("get_cpu_usage: Failed to get CPU usage.");
    uint32_t load = static_cast<uint32_t>(info.loads[0]);
    return static_cast<int>((load * 100u) >> 16);
}

int get_mem_usage() {
    struct sysinfo info {};
    if (sysinfo(&info) != 0) throw VelmoException("get_mem_usage: Failed to get Memory usage.");
    return static_cast<int>(static_cast<double>((info.totalram - info.freeram) >> 10) * 0.001024);
}

uint64_t parse_ppp_uptime(const std::string& text) {
    if (text == "N/A") return 0;
    // '2 days, 3 hours, 4 minutes': the number before the first blank of each part.
    auto number = [](const std::string& part) {
        int value = std::stoi(part.substr(0, part.find(' ')));
        if (value < 0) throw std::out_of_range("get_ppp_uptime: negative duration");
        return static_cast<uint64_t>(value);
    };
    auto after_separator = [](const std::string& part) {
        size_t at = part.find(", ");
        if (at == std::string::npos) throw std::invalid_argument("get_ppp_uptime: unreadable uptime");
        return part.substr(at + 2);
    };
    std::string hours_part = after_separator(text);
    std::string minutes_part = after_separator(hours_part);
    uint64_t days = number(text.substr(0, text.find(',')));
    uint64_t hours = number(hours_part.substr(0, hours_part.find(',')));
    uint64_t minutes = number(minutes_part);
    return 100 * (days * 86400 + hours * 3600 + minutes * 60);
}

uint64_t get_ppp_uptime() { return parse_ppp_uptime(read_status_value("ppp", "Uptime")); }

unsigned long get_location_area_code(bool second) {
    const char* section = second ? "mobile 2" : "mobile";
    std::string code = read_status_value(section, "LAC");
    if (code == "N/A" || code.empty()) code = read_status_value(section, "TAC");
    return std::strtoul(code.c_str(), nullptr, 16);
}

std::string parse_wan_ip(const std::string& output) {
    auto lines = string_split(output, '\n');
    std::string line = lines.size() >= 2 ? lines[1] : output;
    size_t equals = line.find('=');
    std::string address = equals == std::string::npos ? std::string() : line.substr(equals + 1);
    if (is_ipv4_address(address)) return address;
    vlog(LOG_ERR, "Failed to read WanIp. (%s)", address.c_str());
    return "";
}

std::string get_wan_ip(int32_t port) {
    std::string output;
    int status = run_command_output(
        "conntrack -L | grep dport=" + std::to_string(port) + " | grep ESTABLISHED | awk '{ print $5 }'", &output);
    if (status != 0) {
        vlog(LOG_ERR, "Failed to read WanIp. (%s)", output.c_str());
        return "";
    }
    return parse_wan_ip(output);
}

std::string get_custom_string(int n) {
    std::string path = custom_metrics_path("custom_str" + std::to_string(n));
    std::string text = read_custom_file(path).value_or("");
    if (text.size() > kCustomStringMax) {
        vlog(LOG_WARNING, "Warning: CustomStr%i size was over the limit and had to be truncated (max size is %d).", n,
             static_cast<int>(kCustomStringMax));
        text = utf8_prefix(text, kCustomStringMax);
    }
    return text;
}

double get_custom_number(int n) {
    std::string path = custom_metrics_path("custom_number" + std::to_string(n));
    std::string text = read_custom_file(path).value_or("");
    if (text.empty()) return 0;
    try {
        double value = std::stod(text);
        // JSON has no NaN or infinity: such a figure is no number to report.
        if (std::isfinite(value)) return value;
    } catch (const std::exception&) {
    }
    vlog(LOG_WARNING, "Warning: File '%s' does not contain a valid number.", path.c_str());
    return 0;
}

void collect_custom_metrics(const std::map<std::string, ReportDescriptor>& requested, CustomKind kind,
                            nlohmann::json& values) {
    const char* family = kind == CustomKind::String ? "CustStr" : "CustNum";
    try {
        for (const auto& [name, descriptor] : requested) {
            if (!is_numbered_metric(name, family)) continue;
            int n = string_trailing_number(name);
            if (n == -2) n = 1;
            if (kind == CustomKind::String) {
                values[name] = string_or_null(get_custom_string(n));
            } else {
                values[name] = get_custom_number(n);
            }
        }
    } catch (const std::exception& e) {
        vlog(LOG_ERR, "Error while obtaining custom file measurements: '%s'", e.what());
    }
}

Measurements collect_measurements(const std::map<std::string, ReportDescriptor>& requested,
                                  MetricsHistory& history, int32_t ms_port) {
    auto wanted = [&](const char* name) { return is_requested(requested, name); };
    nlohmann::json values = nlohmann::json::object();

    // 1. Read whether requested or not.
    int kelvin = read_board_temperature();
    std::string interface = read_status_value("ppp", "Interface");
    std::string technology = status_mobile_technology();
    std::string operator_name = status_mobile_operator();

    // 2. Traffic since the last measurement; the history moves on at every call.
    uint64_t sent = read_interface_bytes(interface, TrafficDirection::Sent);
    uint64_t received = read_interface_bytes(interface, TrafficDirection::Received);
    for (auto [counter, bytes] : {std::pair<TrafficCounter*, uint64_t>{&history.uploads, sent},
                                  std::pair<TrafficCounter*, uint64_t>{&history.downloads, received}}) {
        counter->last_delta = traffic_delta(bytes, static_cast<uint64_t>(counter->last_interface_value));
        counter->last_interface_value = bytes;
    }

    // 3. GPS position.
    if (is_app_installed("gps")) {
        GpsPosition position = read_gps_position();
        if (position.latitude != 500.0f) {
            if (wanted("GpsLat")) values["GpsLat"] = position.latitude;
            if (wanted("GpsLon")) values["GpsLon"] = position.longitude;
            // A 2D fix has no altitude (NaN), which JSON cannot carry: it is
            // measured as null, so that it compares as "still no value" and
            // is not sent again at every report.
            if (wanted("GpsAlt"))
                values["GpsAlt"] =
                    std::isnan(position.altitude) ? nlohmann::json() : nlohmann::json(position.altitude);
        }
    }

    // 4. Custom values left in files by other software.
    collect_custom_metrics(requested, CustomKind::String, values);
    collect_custom_metrics(requested, CustomKind::Number, values);

    // 5. Latency and reachability of hosts.
    try {
        collect_pings(requested, values);
    } catch (const std::exception& e) {
        vlog(LOG_ERR, "Error while obtaining ping measurements: '%s'", e.what());
    }

    // 6. Kelvin to Celsius. 0 means the sensor has no reading, and -1 that the
    // device could not be opened: neither is a temperature.
    if (wanted("Temperature")) values["Temperature"] = kelvin > 0 ? nlohmann::json(kelvin - 273) : nlohmann::json();

    // 7. Traffic in megabytes.
    uint64_t up = static_cast<uint64_t>(history.uploads.last_delta);
    uint64_t down = static_cast<uint64_t>(history.downloads.last_delta);
    if (wanted("DataUpR")) values["DataUpR"] = bytes_to_megabytes(up);
    if (wanted("DataDownR")) values["DataDownR"] = bytes_to_megabytes(down);
    if (wanted("DataMixedR")) values["DataMixedR"] = bytes_to_megabytes(up + down);

    // 8. Device health and the mobile network, in this order (status cache).
    if (wanted("DeviceUptime")) values["DeviceUptime"] = device_uptime();
    if (wanted("SuppVoltage")) values["SuppVoltage"] = read_supply_voltage();
    if (wanted("CpuUsage")) values["CpuUsage"] = get_cpu_usage();
    if (wanted("MemUsage")) values["MemUsage"] = get_mem_usage();
    if (wanted("MoUptime")) values["MoUptime"] = get_ppp_uptime();
    if (wanted("MoChannel")) values["MoChannel"] = status_mobile_channel();
    if (wanted("MoSigStrength")) values["MoSigStrength"] = status_mobile_signal_strength();
    if (wanted("MoSigQuality")) values["MoSigQuality"] = status_mobile_signal_quality();
    if (wanted("MoCell")) values["MoCell"] = status_mobile_cell();
    if (wanted("MoLac")) values["MoLac"] = get_location_area_code();

    // 9. The platform is asked at every call.
    uint32_t cells = today_cells();
    if (wanted("MoTodayCells")) values["MoTodayCells"] = cells;

    // 10. Texts of the router and the mobile network.
    if (wanted("RtcBattery")) values["RtcBattery"] = read_status_value("sys", "RTC Battery") == "Ok";
    if (wanted("MoTechnology")) values["MoTechnology"] = string_or_null(technology);
    if (wanted("MoOperator")) values["MoOperator"] = string_or_null(operator_name);
    if (wanted("MoSim")) values["MoSim"] = string_or_null(read_status_value("ppp", "SIM Card"));
    if (wanted("MoPlmn")) values["MoPlmn"] = string_or_null(read_status_value("mobile", "PLMN"));
    if (wanted("MoBand")) values["MoBand"] = string_or_null(utf8_prefix(read_status_value("mobile", "Band"), 31));
    if (wanted("Iccid")) values["Iccid"] = string_or_null(status_module_iccid());
    if (wanted("WanIfaceIp")) values["WanIfaceIp"] = string_or_null(get_wan_ip(ms_port));
    if (wanted("ProdRevision")) values["ProdRevision"] = string_or_null(status_module_revision());

    // 11. When the PPP link last came up and went down.
    connection_time(requested, history, "MoLastConnect", "/var/ppp/iface-m0.now", values);
    connection_time(requested, history, "MoLastDisconnect", "/var/ppp/iface-m0.old", values);

    return Measurements{values, history.downloads, history.uploads};
}

}  // namespace velmo
