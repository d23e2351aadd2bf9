#pragma once
// Installation of downloaded firmware and router-app packages, removal of
// apps, and the installed software's names and versions.
#include <string>
#include <utility>
#include <vector>

namespace velmo {

using VersionList = std::vector<std::pair<std::string, std::string>>;  // (app name, version)

// Version of a package file: the text between the last '_' and the last '.'
// ('gps_2.1.0.tgz' gives '2.1.0'); the name up to the last '.' without '_'.
std::string package_version(const std::string& file_name);

// Installs the package that download_app of this URL left in the temporary
// directory (its name is the URL's last part).
void install_downloaded_app(const std::string& name, bool is_firmware, const std::string& url);
void update_firmware(const std::string& image_path, const std::string& version);
void install_downloaded_actual_app(const std::string& name, const std::string& version);
void uninstall_app(const std::string& name);

std::string get_firmware_name();
std::string get_firmware_version();
bool is_firmware_version(const std::string& version);
bool is_app_version(const std::string& name, const std::string& version);

std::vector<std::string> get_installed_apps();
VersionList get_installed_apps_except(const VersionList& except);
VersionList get_installed_apps_with_versions();

}  // namespace velmo
