#include "core/scratch_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/utils.h"

namespace velmo {
namespace {

std::string without_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// Makes the entry a real directory of this process's user before it is
// removed with "rm -rf ENTRY/": an entry that someone else owns can be swapped
// for a symbolic link at any moment (unlinking a planted link just before rm
// runs only opens a window for planting it again), and rm follows a link
// named with a trailing '/' and empties its target. Our own directory in the
// sticky temporary directory cannot be swapped. A non-directory is unlinked,
// another user's directory is moved aside under a name of its own. False when
// the entry could not be claimed (someone keeps planting one).
bool claim_for_removal(const std::string& entry) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        struct stat st {};
        if (lstat(entry.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode) && st.st_uid == geteuid()) return true;
            if (!S_ISDIR(st.st_mode))
                unlink(entry.c_str());
            else
                rename(entry.c_str(), (entry + ".stale." + std::to_string(getpid()) + "." +
                                       std::to_string(attempt)).c_str());
        } else if (errno != ENOENT) {
            return false;
        }
        if (mkdir(entry.c_str(), 0700) == 0) return true;
        // No parent directory: there is nothing to remove and nowhere to plant.
        if (errno == ENOENT) return true;
        if (errno != EEXIST) return false;
    }
    return false;
}

}  // namespace

void scratch_dir_unlink_impostor(const std::string& path) {
    std::string entry = without_trailing_slashes(path);
    struct stat st {};
    if (lstat(entry.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) unlink(entry.c_str());
}

void scratch_dir_remove(const std::string& path) {
    if (claim_for_removal(without_trailing_slashes(path))) dir_remove_recursive(path);
}

bool scratch_dir_is_ours(const std::string& path) {
    struct stat st {};
    return lstat(without_trailing_slashes(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}

}  // namespace velmo
