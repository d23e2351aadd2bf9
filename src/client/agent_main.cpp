#include "client/agent_main.h"

#include <getopt.h>
#include <syslog.h>

#include <cstdio>
#include <exception>

#include "core/log.h"
#include "core/paths.h"
#include "core/router.h"
#include "core/scratch_dir.h"
#include "core/settings.h"
#include "core/signals.h"
#include "core/utils.h"

namespace velmo {

int agent_main(int argc, char** argv, const StateMachine& machine) {
    // Only the first option is examined.
    if (getopt(argc, argv, "d:") == 'd') FilesystemPaths::_top = optarg;

    AgentSettings settings;
    read_agent_settings(settings);

    int level;
    try {
        level = string_to_syslogLevel(settings.log_level);
    } catch (const std::exception& e) {
        // The log is not open yet: say why on standard error.
        fprintf(stderr, "velmo_client: %s (settings file '%s')\n", e.what(), settings_file_path().c_str());
        return 1;
    }
    openlog("velmo_client", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    setlogmask(LOG_UPTO(level));

    try {
        vlog(LOG_INFO, "Starting velmo_client version '%s'.", get_client_version().c_str());
        install_signal_handlers();
        scratch_dir_remove(module_tmp_dir());
        run_state_machine(settings, machine);
    } catch (const std::exception& e) {
        vlog(LOG_ERR, "%s", e.what());
        vlog(LOG_INFO, "Exiting...");
        closelog();
        return 1;
    }
    closelog();
    return 0;
}

}  // namespace velmo
