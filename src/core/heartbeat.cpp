#include "core/heartbeat.h"

#include <fcntl.h>
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
    const std::string path = heartbeat_path();
    file_create_empty(path);
    // Without root, an existing 0444 file cannot be reopened for writing; its
    // owner may still set its time stamps to now, which is all a reader looks at.
    utimensat(AT_FDCWD, path.c_str(), nullptr, 0);
}

}  // namespace velmo
