#pragma once
#include <string>

namespace velmo {

constexpr unsigned kWatchdogPeriodSeconds = 120;
constexpr long kHeartbeatAgeLimitSeconds = 86400;

// One check: starts the agent when no process of it runs, restarts it when
// its heartbeat file is missing or 24 hours old or older.
void watchdog_pass(const std::string& heartbeat_file);

// The program: returns 0 at once when the agent is disabled, otherwise checks
// every 120 seconds for ever.
int watchdog_main();

}  // namespace velmo
