#pragma once
// A scratch directory in a world-writable directory (the package extraction
// directory in /tmp): anyone may plant an entry of that name, so an entry that
// is not a real directory is removed before the directory is used, and a
// directory that someone else made is never written into.
#include <string>

namespace velmo {

// Unlinks the entry at path (a trailing '/' is ignored) unless it is a real
// directory; a symbolic link is removed itself, never followed.
void scratch_dir_unlink_impostor(const std::string& path);
// dir_remove_recursive of path once the entry there is a real directory of
// this process's user (a planted link or file is unlinked, another user's
// directory moved aside); nothing is removed when it cannot be made so.
void scratch_dir_remove(const std::string& path);
// True when path is a real directory owned by this process's effective user.
bool scratch_dir_is_ours(const std::string& path);

}  // namespace velmo
