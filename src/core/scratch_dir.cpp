#include "core/scratch_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include "core/utils.h"

namespace velmo {
namespace {

std::string without_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

void scratch_dir_unlink_impostor(const std::string& path) {
    std::string entry = without_trailing_slashes(path);
    struct stat st {};
    if (lstat(entry.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) unlink(entry.c_str());
}

void scratch_dir_remove(const std::string& path) {
    scratch_dir_unlink_impostor(path);
    dir_remove_recursive(path);
}

bool scratch_dir_is_ours(const std::string& path) {
    struct stat st {};
    return lstat(without_trailing_slashes(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}

}  // namespace velmo
