#pragma once
// Local change detection: a store of keyed digests of the managed files and
// of the files the profile placed, and the comparison of the router with the
// profile that yields one ConfigChange per divergence.
#include <string>
#include <vector>

#include "desired_state/settings.h"
#include "messaging/messages.h"

namespace velmo {

enum class ConfigChangeType : int {
    SettingChange = 0,
    AppChange = 1,
    FirmwareChange = 3,
    FileChange = 4,
    UserChange = 5,
};

// Checks the construction rules: a SettingChange needs a name, an AppChange a
// name, from and to (VelmoException otherwise).
ConfigChange make_config_change(ConfigChangeType type, const std::string& name, const std::string& from,
                                const std::string& to);

// The key of every digest of the hash store.
extern const char kDigestKey[];

// HMAC-MD5 of the file's content with the key (plain MD5 without one) as 32
// lower-case hexadecimal digits, computed in process. Raises VelmoException
// when the file does not exist or cannot be read.
std::string md5sum_file(const std::string& path, const std::string& key = "");

std::string hashes_dir();                           // _top + _data + "hashes/"
std::string hash_file_path(const std::string& path);  // hashes_dir + GROUP + "_HASH"
std::string read_stored_hash(const std::string& path);
void update_file_hash(const std::string& path);
void update_all_hashes();
std::vector<std::string> get_changed_managed_files();

std::vector<ConfigChange> detect_settings_file_changes(const std::string& path, const SettingsMap& desired);
std::vector<ConfigChange> detect_user_divergences(const std::vector<UserAccount>& desired);
std::vector<ConfigChange> detect_app_divergences(const ConfigProfile& profile);

}  // namespace velmo
