#pragma once
// One thin wrapper over syslog; every log line of the agent goes through it.
#include <syslog.h>

#include <functional>
#include <string>

namespace velmo {

void vlog(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Unit tests route the lines to a function of their own instead of syslog.
using LogSink = std::function<void(int priority, const std::string& line)>;
void set_log_sink(LogSink sink);


// "error" 3, "warning" 4, "info" 6, "debug" and "trace" 7; anything else raises.
int string_to_syslogLevel(const std::string& level);

}  // namespace velmo
