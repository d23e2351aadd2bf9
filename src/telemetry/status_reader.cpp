#include "telemetry/status_reader.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/times.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "core/clock.h"
#include "core/shell.h"

namespace velmo {
namespace {

const char* const kStatusTool = "/usr/bin/status";
const char* const kNotAvailable = "N/A";
constexpr size_t kMaxOutput = 4095;      // bytes of tool output kept
constexpr size_t kMaxValue = 127;        // longest value a lookup returns
constexpr size_t kMaxSectionName = 31;   // characters of the cached section name
constexpr size_t kAccessorText = 31;     // characters kept by the typed accessors
constexpr int64_t kToolTimeoutMs = 5000; // a status tool still running then is given up
constexpr int64_t kToolCheckMs = 50;     // a quiet pipe this long: has the tool ended?

// One section's output, kept for the rest of the second it was read in and
// the whole next second. Each thread has its own.
struct StatusCache {
    bool filled = false;
    std::string section;  // at most kMaxSectionName characters
    int64_t expiry = 0;   // last monotonic second in which the output is used
    std::string output;   // at most kMaxOutput bytes
};

thread_local StatusCache status_cache;

// A descriptor above the standard streams, so that handing it to
// run_program can never be mistaken for "inherit the caller's stream".
int above_standard_streams(int fd) {
    if (fd < 0 || fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

// Milliseconds of real time since `start`, a value of times(2). Tools that
// speed up a whole process's clocks leave times(2) alone, so a slow tool is
// always judged by how long it really took.
int64_t real_ms_since(clock_t start) {
    static const long ticks_per_second = sysconf(_SC_CLK_TCK);
    struct tms unused {};
    unsigned long ticks = static_cast<unsigned long>(times(&unused)) - static_cast<unsigned long>(start);
    return static_cast<int64_t>(ticks) * 1000 / (ticks_per_second > 0 ? ticks_per_second : 100);
}

// The tool's wait status once it has ended, or -1 when it is still running
// at the deadline: it is killed then, with every process of its group, so
// that nothing it started is left hanging at each later lookup.
int reap_status_tool(pid_t pid, clock_t start) {
    int status = 0;
    for (;;) {
        pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended == pid) return status;
        if (ended < 0 && errno != EINTR) return -1;
        if (real_ms_since(start) >= kToolTimeoutMs) break;
        usleep(5000);
    }
    if (kill(-pid, SIGKILL) != 0) kill(pid, SIGKILL);  // no group of its own: the tool alone
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return -1;
}

// Runs "/usr/bin/status -v <section>" and keeps the first kMaxOutput bytes
// of its output. The pipe is read while the tool runs, so output larger than
// the pipe holds cannot block it, and a tool that has not finished within
// kToolTimeoutMs is killed. False when the pipe or process cannot be made,
// the tool times out or does not end with status 0, or the read fails.
bool run_status_tool(const std::string& section, std::string& output) {
    int fds[2];
    // Close-on-exec keeps the write end out of any other child started
    // meanwhile, which would otherwise hold the pipe open.
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    int read_end = above_standard_streams(fds[0]);
    int write_end = above_standard_streams(fds[1]);
    if (read_end < 0 || write_end < 0) {
        if (read_end >= 0) close(read_end);
        if (write_end >= 0) close(write_end);
        return false;
    }
    struct tms unused {};
    const clock_t start = times(&unused);
    run_program_set_stdout(write_end);  // start_program closes it
    pid_t pid = start_program(kStatusTool, {"-v", section}, true);
    if (pid < 0) {
        close(read_end);
        return false;
    }
    std::string text;
    bool at_end = false;
    bool failed = false;
    bool exited = false;  // the tool has ended and been reaped; `status` holds its wait status
    int status = 0;
    char buffer[4096];
    while (!at_end && !failed) {
        int64_t left = kToolTimeoutMs - real_ms_since(start);
        if (left <= 0) break;
        // Once the tool has ended, everything it wrote is in the pipe: what is
        // there now is its output, even when a process it left behind still
        // holds the pipe open and the end of the data never comes.
        pollfd readable{read_end, POLLIN, 0};
        int ready = poll(&readable, 1, exited ? 0 : static_cast<int>(std::min<int64_t>(left, kToolCheckMs)));
        if (ready < 0 && errno != EINTR) failed = true;
        if (ready == 0) {
            if (exited) {
                at_end = true;
            } else {
                pid_t ended = waitpid(pid, &status, WNOHANG);
                if (ended == pid) exited = true;
                else if (ended < 0 && errno != EINTR) failed = true;
            }
        }
        if (ready <= 0) continue;
        ssize_t n = read(read_end, buffer, sizeof buffer);
        if (n < 0) {
            failed = errno != EINTR;
        } else if (n == 0) {
            at_end = true;
        } else if (text.size() < kMaxOutput) {
            text.append(buffer, std::min(static_cast<size_t>(n), kMaxOutput - text.size()));
        }
    }
    close(read_end);
    if (!exited) status = reap_status_tool(pid, start);
    if (!at_end || failed || status != 0) return false;
    output.assign(text.c_str());  // the output is a text: it ends at a NUL byte
    return true;
}

std::string accessor_text(const std::string& section, const std::string& key) {
    return read_status_value(section, key).substr(0, kAccessorText);
}

const char* module_section(bool second) { return second ? "module 2" : "module"; }
const char* mobile_section(bool second) { return second ? "mobile 2" : "mobile"; }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads one hexadecimal field the way scanf's "%x" does (leading white space,
// optional sign, optional "0x"), without its undefined behaviour on overflow:
// any value that does not fit a byte comes back as 256.
bool scan_hex_field(const char*& p, unsigned& value) {
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex_digit(p[2]) >= 0) p += 2;
    if (hex_digit(*p) < 0) return false;
    unsigned v = 0;
    for (; hex_digit(*p) >= 0; ++p) {
        v = v * 16 + static_cast<unsigned>(hex_digit(*p));
        if (v > 255) v = 256;  // stays out of range, never overflows
    }
    if (negative && v != 0) v = 256;  // scanf would wrap it to a huge value
    value = v;
    return true;
}

// Six fields separated by `separator`, printed as "XX:XX:XX:XX:XX:XX"; empty
// unless six fields are read and each fits a byte. Text after the sixth field
// is ignored, as scanf ignores it.
std::string scan_mac(const std::string& text, char separator) {
    const char* p = text.c_str();
    unsigned fields[6];
    for (int i = 0; i < 6; ++i) {
        if (i > 0) {
            if (*p != separator) return "";
            ++p;
        }
        if (!scan_hex_field(p, fields[i]) || fields[i] > 255) return "";
    }
    char out[18];
    int n = snprintf(out, sizeof out, "%02X:%02X:%02X:%02X:%02X:%02X", fields[0], fields[1], fields[2], fields[3],
                     fields[4], fields[5]);
    return n == 17 ? std::string(out) : std::string();
}

using ModuleStateGet = int (*)(void*, void*);
using SimStatsInit = int (*)(void*, int);
using SimStatsLoad = int (*)(void*);

}  // namespace

std::string status_output_value(const std::string& output, const std::string& key) {
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        if (output.compare(start, key.size(), key) == 0) {
            // The first line that begins with the key decides, well formed or not.
            size_t separator = output.find(": ", start);
            if (separator == std::string::npos || separator >= end) return kNotAvailable;
            size_t value_start = separator + 2;
            if (value_start >= end) return kNotAvailable;
            if (end - value_start > kMaxValue) return kNotAvailable;
            return output.substr(value_start, end - value_start);
        }
        start = end + 1;
    }
    return kNotAvailable;
}

std::string read_status_value(const std::string& section, const std::string& key) {
    try {
        StatusCache& cache = status_cache;
        // A section name longer than the cache keeps is never served from the
        // cache, so two long names that share a beginning cannot mix.
        bool hit = cache.filled && cache.section == section && monotonic_seconds() <= cache.expiry;
        if (!hit) {
            std::string output;
            if (!run_status_tool(section, output)) return kNotAvailable;  // the cache stays as it was
            cache.section = section.substr(0, kMaxSectionName);
            cache.output = std::move(output);
            cache.expiry = monotonic_seconds() + 1;
            cache.filled = true;
        }
        return status_output_value(cache.output, key);
    } catch (const std::exception&) {
        return kNotAvailable;  // out of memory: this function never raises
    }
}

std::string status_product_name() { return accessor_text("sys", "Product Name"); }
std::string status_firmware_version() { return accessor_text("sys", "Firmware Version"); }
std::string status_serial_number() { return accessor_text("sys", "Serial Number"); }
std::string status_module_revision(bool second) { return accessor_text(module_section(second), "Revision"); }
std::string status_module_imei(bool second) { return accessor_text(module_section(second), "IMEI"); }
std::string status_module_iccid(bool second) { return accessor_text(module_section(second), "ICCID"); }
std::string status_mobile_operator(bool second) { return accessor_text(mobile_section(second), "Operator"); }
std::string status_mobile_technology(bool second) { return accessor_text(mobile_section(second), "Technology"); }

unsigned long status_mobile_cell(bool second) {
    return std::strtoul(read_status_value(mobile_section(second), "Cell").c_str(), nullptr, 16);
}

unsigned long status_mobile_channel(bool second) {
    return std::strtoul(read_status_value(mobile_section(second), "Channel").c_str(), nullptr, 10);
}

long status_mobile_signal_strength(bool second) {
    return std::strtol(read_status_value(mobile_section(second), "Signal Strength").c_str(), nullptr, 10);
}

long status_mobile_signal_quality(bool second) {
    return std::strtol(read_status_value(mobile_section(second), "Signal Quality").c_str(), nullptr, 10);
}

std::string normalize_mac_address(const std::string& text) {
    std::string mac = scan_mac(text, ':');
    if (mac.empty()) mac = scan_mac(text, '-');
    return mac;
}

std::string get_mac_address() {
    std::string value = read_status_value("lan", "MAC Address");
    if (value == kNotAvailable) return "";
    return normalize_mac_address(value);
}

std::string get_imei() {
    static std::once_flag once;
    static std::string imei;
    std::call_once(once, [] {
        std::string value = status_module_imei(false);
        imei = value == kNotAvailable ? "" : value;
    });
    return imei;
}

std::string get_serial_number() {
    std::string value = status_serial_number();
    return value == kNotAvailable ? "" : value;
}

int read_module_state(void* arg1, void* arg2, void* sim0_stats, void* sim1_stats) {
    // libquenno resolves symbols of the other two, so they are opened first
    // and with global visibility.
    void* ravelo = dlopen("/usr/lib/libravelo.so", RTLD_LAZY | RTLD_GLOBAL);
    void* torska = dlopen("/usr/lib/libtorska.so", RTLD_LAZY | RTLD_GLOBAL);
    void* quenno = dlopen("/usr/lib/libquenno.so", RTLD_LAZY);
    int result = -1;
    if (quenno) {
        dlerror();
        void* state_get = dlsym(quenno, "module_state_get");
        if (dlerror() == nullptr && state_get) result = reinterpret_cast<ModuleStateGet>(state_get)(arg1, arg2);

        dlerror();
        void* stats_init = dlsym(quenno, "sim_stats_init");
        void* stats_load = dlsym(quenno, "sim_stats_load");
        if (dlerror() == nullptr && stats_init && stats_load) {
            auto init = reinterpret_cast<SimStatsInit>(stats_init);
            auto load = reinterpret_cast<SimStatsLoad>(stats_load);
            init(sim0_stats, 0);
            load(sim0_stats);
            init(sim1_stats, 1);
            load(sim1_stats);
        }
        dlclose(quenno);
    }
    if (torska) dlclose(torska);
    if (ravelo) dlclose(ravelo);
    return result;
}

}  // namespace velmo
