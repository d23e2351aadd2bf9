#include "core/log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

#include "core/exception.h"

namespace velmo {
namespace {
std::mutex sink_mutex;
LogSink sink;
}  // namespace

void set_log_sink(LogSink s) {
    std::lock_guard<std::mutex> lock(sink_mutex);
    sink = std::move(s);
}

void vlog(int priority, const char* format, ...) {
    char small[512];
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(small, sizeof small, format, args);
    va_end(args);
    std::string line;
    if (n < 0) {
        va_end(copy);
        return;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        line.assign(small, static_cast<size_t>(n));
    } else {
        std::vector<char> big(static_cast<size_t>(n) + 1);
        vsnprintf(big.data(), big.size(), format, copy);
        line.assign(big.data(), static_cast<size_t>(n));
    }
    va_end(copy);
    {
        std::lock_guard<std::mutex> lock(sink_mutex);
        if (sink) {
            sink(priority, line);
            return;
        }
    }
    syslog(priority, "%s", line.c_str());
}


int string_to_syslogLevel(const std::string& level) {
    if (level == "error") return LOG_ERR;
    if (level == "warning") return LOG_WARNING;
    if (level == "info") return LOG_INFO;
    if (level == "debug" || level == "trace") return LOG_DEBUG;
    throw VelmoException("string_to_syslogLevel: Could not translate '%s' to log level.", level.c_str());
}

}  // namespace velmo
