#include "core/heartbeat.h"

#include <sys/stat.h>

#include "core/clock.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/utils.h"

namespace velmo {

bool should_do_heartbeat() {
    struct stat st {};
    if (stat(heartbeat_path().c_str(), &st) != 0) {
        vlog(LOG_DEBUG, "should_do_heartbeat: Commnad failed with code (%d).", -1);
        return true;
    }
    return now() - st.st_mtime >= 3600;
}

void heartbeat() {
    if (!should_do_heartbeat()) return;
    vlog(LOG_DEBUG, "Doing watchdog a heartbeat.");
    file_create_empty(heartbeat_path());
}

}  // namespace velmo
