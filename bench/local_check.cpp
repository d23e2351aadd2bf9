// Cost of one local-change check of the files under the hash store: every
// managed file (settings files and user scripts) and every profile file with
// a stored digest is digested and compared. Runs inside a simulated router
// (bench/local_check sets one up) as the only process of its PID namespace,
// so the namespace's last PID tells how many processes a check started.
//
//   local_check -d TOP [CHECKS]
//
// Prints, side by side, the in-process keyed digest and the same check made
// with one "openssl dgst" process per file, and the ratio of their times.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/paths.h"
#include "core/shell.h"
#include "core/utils.h"
#include "desired_state/change_detection.h"
#include "desired_state/profile.h"
#include "desired_state/settings.h"

using namespace velmo;

namespace {

// The digest as one "openssl dgst" child prints it, read once through a pipe.
std::string tool_digest(const std::string& path) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    run_program_set_stdout(fds[1]);
    run_program("openssl", {"dgst", "-md5", "-hmac", kDigestKey, path});
    char buffer[129] = {};
    ssize_t n = read(fds[0], buffer, 128);
    close(fds[0]);
    std::string out(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    size_t eq = out.find('=');
    if (eq == std::string::npos || out.size() < eq + 3) return {};
    return out.substr(eq + 2, out.size() - eq - 3);
}

// One check; returns the number of files found changed.
template <typename Digest>
size_t check(const std::vector<DesiredFile>& files, Digest digest) {
    std::vector<std::string> paths = list_managed_files(true);
    for (const auto& file : files) paths.push_back(file.path);
    size_t changed = 0, digested = 0;
    for (const auto& path : paths) {
        std::string stored = read_stored_hash(path);
        if (stored.empty()) continue;
        ++digested;
        if ((file_exists(path) ? digest(path) : std::string()) != stored) ++changed;
    }
    if (digested != 61) fprintf(stderr, "warning: %zu files with a stored digest (61 expected)\n", digested);
    return changed;
}

long last_pid() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c, d;
    long pid = 0;
    in >> a >> b >> c >> d >> pid;
    return pid;
}

struct Figure {
    double ms_per_check;
    double children_per_check;
    size_t changed;
};

template <typename Digest>
Figure measure(const std::vector<DesiredFile>& files, int checks, Digest digest) {
    long before = last_pid();
    auto start = std::chrono::steady_clock::now();
    size_t changed = 0;
    for (int i = 0; i < checks; ++i) changed = check(files, digest);
    auto end = std::chrono::steady_clock::now();
    long after = last_pid();
    double ms = std::chrono::duration<double, std::milli>(end - start).count() / checks;
    // Reading /proc/loadavg starts no process; the PIDs used in between are the children.
    return {ms, static_cast<double>(after - before) / checks, changed};
}

}  // namespace

int main(int argc, char** argv) {
    int checks = 20;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-d") == 0 && i + 1 < argc)
            FilesystemPaths::_top = argv[++i];
        else
            checks = atoi(argv[i]);
    }
    if (checks <= 0) checks = 20;
    ConfigProfile profile;
    load_profile(profile);
    std::vector<DesiredFile> files = get_desired_files(profile);

    Figure tool = measure(files, checks, tool_digest);
    Figure in_process = measure(files, checks, [](const std::string& path) { return md5sum_file(path, kDigestKey); });
    if (tool.changed != in_process.changed) fprintf(stderr, "warning: the two checks disagree\n");

    printf("local-change check, %zu managed files + %zu profile files, %d checks each\n",
           list_managed_files(true).size(), files.size(), checks);
    printf("%-28s %14s %18s %8s\n", "digest", "ms per check", "children per check", "changed");
    printf("%-28s %14.3f %18.1f %8zu\n", "openssl dgst per file", tool.ms_per_check, tool.children_per_check,
           tool.changed);
    printf("%-28s %14.3f %18.1f %8zu\n", "in process (HMAC-MD5)", in_process.ms_per_check,
           in_process.children_per_check, in_process.changed);
    printf("speed-up: %.1f times\n", tool.ms_per_check / in_process.ms_per_check);
    return 0;
}
