#pragma once
// The router's managed files (firmware settings files, app settings files and
// the user scripts), their current content, the restore tool that applies
// desired settings, and the services a changed file must restart.
#include <map>
#include <string>
#include <vector>

#include "desired_state/profile.h"

namespace velmo {

using SettingsMap = std::map<std::string, std::string>;

std::string config_dir();             // _top + "/etc/"
std::string settings_scratch_path();  // _top + "/tmp/settings.ini"

// The firmware settings files (directory order), the app settings files that
// exist, then, when asked, the 21 user scripts whether they exist or not.
std::vector<std::string> list_managed_files(bool include_scripts);
const std::vector<std::string>& managed_script_paths();
bool is_managed_script(const std::string& path);

// KEY=VALUE lines; values verbatim, a later key wins. A line made only of
// '=' throws std::invalid_argument.
SettingsMap parse_settings_text(const std::string& text);
SettingsMap get_current_settings();
std::vector<DesiredFile> get_current_files();

// "mod_" + app name for an app's settings file, else the file name without a
// leading "settings.".
std::string config_group_name(const std::string& path);
std::vector<std::string> services_for_group(const std::string& group);

// Hands the INI text to the restore tool through the scratch file, which stays
// in place when the tool fails.
void apply_settings(const std::string& ini);

}  // namespace velmo
