#pragma once
// Command line shared by the probes that run one agent operation in a
// simulated router: "-d DIR" sets the top prefix, "-e" sends the log lines to
// standard error ("<priority> line") instead of the system log; the other
// arguments are returned in order.
#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/paths.h"

namespace velmo {

inline std::vector<std::string> probe_arguments(int argc, char** argv) {
    std::vector<std::string> args;
    bool to_stderr = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-d") == 0 && i + 1 < argc) {
            FilesystemPaths::_top = argv[++i];
        } else if (strcmp(argv[i], "-e") == 0) {
            to_stderr = true;
        } else {
            args.emplace_back(argv[i]);
        }
    }
    if (to_stderr) {
        set_log_sink([](int priority, const std::string& line) { fprintf(stderr, "<%d> %s\n", priority, line.c_str()); });
    } else {
        openlog("velmo_client", LOG_PID | LOG_NDELAY, LOG_DAEMON);
        setlogmask(LOG_UPTO(LOG_DEBUG));
    }
    return args;
}

}  // namespace velmo
