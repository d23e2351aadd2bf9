#include "watchdog/watchdog.h"

#include <sys/stat.h>
#include <syslog.h>

#include <exception>

#include "core/clock.h"
#include "core/exception.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/router.h"
#include "core/settings.h"
#include "core/shell.h"

namespace velmo {

void watchdog_pass(const std::string& heartbeat_file) {
    try {
        std::string pids;
        run_command_output("pidof velmo_client", &pids);
        if (pids.empty()) {
            vlog(LOG_INFO, "velmo_client not running.");
            vlog(LOG_INFO, "Starting client...");
            restart_service("velmo_client");
        }
        time_t current = now();
        struct stat st {};
        if (stat(heartbeat_file.c_str(), &st) != 0) throw VelmoException("Cannot obtain heartbeat.");
        if (current - st.st_mtime >= kHeartbeatAgeLimitSeconds) {
            vlog(LOG_INFO, "velmo_client not responding.");
            vlog(LOG_INFO, "Restarting client...");
            restart_service("velmo_client");
        }
    } catch (const std::exception& e) {
        vlog(LOG_ERR, "%s", e.what());
        vlog(LOG_INFO, "Restarting client...");
        restart_service("velmo_client");
    }
}

int watchdog_main() {
    const std::string heartbeat_file = heartbeat_path();
    AgentSettings settings;
    read_agent_settings(settings);
    if (settings.enabled == 0) {
        closelog();
        return 0;
    }
    openlog("velmo_watchdog", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    setlogmask(0xff);
    for (;;) {
        sleep_seconds(kWatchdogPeriodSeconds);
        watchdog_pass(heartbeat_file);
    }
}

}  // namespace velmo
