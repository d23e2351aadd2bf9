#include "deployment/apps.h"

#include <sys/stat.h>
#include <unistd.h>

#include "core/exception.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/router.h"
#include "core/scratch_dir.h"
#include "core/shell.h"
#include "core/utils.h"
#include "deployment/downloads.h"
#include "telemetry/status_reader.h"

namespace velmo {
namespace {

const char kAgentName[] = "velmo_client";

std::string q(const std::string& value) { return shell_quote(value); }

// "rm -rf W; ln -s A/www W": the app's web content appears under the web root.
void link_web_dir(const std::string& app, const std::string& web) {
    run_command("rm -rf " + q(web) + "; ln -s " + q(app + "/www") + " " + q(web));
}

[[noreturn]] void copy_failed(const std::string& from, const std::string& to) {
    throw VelmoException("install_downloaded_actual_app: Failed to copy '%s' to '%s'.", from.c_str(), to.c_str());
}

// Copies the extracted app directory into the apps directory. A failed copy
// removes the half-copied app and ends the installation: the steps after it
// would run scripts that are not there and report an app that is not there.
void copy_app_into_place(const std::string& extracted, const std::string& app) {
    if (run_command("cp -rdf " + q(extracted) + " " + q(apps_root_dir())) == 0) return;
    run_command("rm -rf " + q(app));
    copy_failed(extracted, apps_root_dir());
}

// Sets the app's settings aside before its directory is removed. False when
// there are settings and the copy failed: the update must stop there, as
// removing the app would lose them.
bool back_up_settings(const std::string& app, const std::string& backup) {
    std::string settings = app + "/etc/settings";
    return run_command("cp " + q(settings) + " " + q(backup)) == 0 || !file_exists(settings);
}

// The extraction directory lies in the world-writable temporary directory:
// it is made afresh, and the installation goes on only when the directory
// that is there now is the one this process made.
void make_extraction_dir(const std::string& extraction) {
    scratch_dir_remove(extraction);
    scratch_dir_unlink_impostor(extraction);
    run_command("mkdir " + q(extraction));
    if (!scratch_dir_is_ours(extraction))
        throw VelmoException("Extraction directory '%s' could not be created.", extraction.c_str());
}

// The package file that the download of this URL produced, when it is a
// regular file whose name begins with the item's name and names a package.
std::string downloaded_package(const std::string& name, const std::string& url) {
    std::string file = download_file_name(url);
    bool is_package = file.find(".tgz") != std::string::npos || file.find(".bin") != std::string::npos;
    struct stat st {};
    if (file.rfind(name, 0) != 0 || !is_package || lstat((tmp_dir() + file).c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode))
        return {};
    return file;
}

void restart_snmp_if_carried(const std::string& app) {
    if (file_exists(app + "/lib/snmpd.so")) run_command("/etc/rc.d/init.d/snmp restart");
}

// A name from the profile that cannot be a directory directly under the apps
// directory ("", ".", "..", anything with '/') never names an installed app.
bool is_plain_app_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

std::string package_version(const std::string& file_name) {
    size_t underscore = file_name.rfind('_');
    size_t begin = underscore == std::string::npos ? 0 : underscore + 1;
    size_t dot = file_name.rfind('.');
    if (dot == std::string::npos || dot < begin) return file_name.substr(begin);
    return file_name.substr(begin, dot - begin);
}

void install_downloaded_app(const std::string& name, bool is_firmware, const std::string& url) {
    // Only the file this download wrote: a leftover of an earlier failed or
    // rejected download (another version of the same app) is never installed.
    std::string package = downloaded_package(name, url);
    if (package.empty())
        throw VelmoException("Package for installing application '%s' was not found.", name.c_str());

    std::string package_path = tmp_dir() + package;
    std::string version = package_version(package);
    bool in_place = is_firmware ? is_firmware_version(version) : is_app_version(name, version);
    if (in_place) {
        unlink(package_path.c_str());
        return;
    }

    std::string extraction = module_tmp_dir();
    make_extraction_dir(extraction);
    if (is_firmware) {
        if (run_command("mv " + q(package_path) + " " + q(extraction)) != 0)
            throw VelmoException("Failed to move downloaded firmware file from '%s' to '%s'.", package_path.c_str(),
                                 extraction.c_str());
    } else {
        if (run_command("tar -xzf " + q(package_path) + " -C " + q(extraction)) != 0)
            throw VelmoException("Failed to extract downloaded application package '%s' to '%s'.",
                                 package_path.c_str(), extraction.c_str());
    }
    unlink(package_path.c_str());

    if (is_firmware)
        update_firmware(extraction + file_get_name(package_path), version);
    else
        install_downloaded_actual_app(name, version);
}

void update_firmware(const std::string& image_path, const std::string& version) {
    vlog(LOG_INFO, "Updating firmware to version '%s'.", version.c_str());
    int rc = run_command("fwupdate -i " + q(image_path) + " -n");
    if (rc == 0) return;
    if (rc == 4) throw VelmoException("update_firmware: Integrity check failed, aborting update.");
    throw VelmoException("update_firmware: Update failed with error '%d'", rc);
}

void install_downloaded_actual_app(const std::string& name, const std::string& version) {
    vlog(LOG_INFO, "%s '%s' version '%s'.", name == kAgentName ? "Updating" : "Installing", name.c_str(),
         version.c_str());
    std::string extraction = module_tmp_dir();
    auto dirs = file_list_dir(extraction, FILE_KIND_DIRS, "", "");
    if (dirs.empty()) throw VelmoException("install_downloaded_actual_app: No installation package was found.");

    for (const auto& dir : dirs) {
        std::string app = app_dir(dir);
        std::string web = web_dir(dir);
        std::string init = q(app + "/etc/init");
        if (!is_app_installed(dir)) {
            copy_app_into_place(extraction + dir, app);
            link_web_dir(app, web);
            run_command(q(app + "/etc/install"));
            run_command(init + " defaults");
            run_command(init + " start");
            restart_snmp_if_carried(app);
        } else if (dir != kAgentName) {
            std::string backup = extraction + "settings." + dir;
            run_command(init + " stop");
            if (!back_up_settings(app, backup)) {
                // Nothing was removed: the app runs on as it was.
                run_command(init + " start");
                copy_failed(app + "/etc/settings", backup);
            }
            run_command("rm -rf " + q(app));
            copy_app_into_place(extraction + dir, app);
            link_web_dir(app, web);
            run_command(q(app + "/etc/install"));
            run_command(init + " defaults");
            restore_settings(backup);
            run_command(init + " start");
            restart_snmp_if_carried(app);
        } else {
            // The agent replaces itself: its reinstall script takes the new
            // package from the extraction directory.
            run_command(q(client_path("etc/reinstall")));
        }
    }
    scratch_dir_remove(extraction);
}

void uninstall_app(const std::string& name) {
    if (!is_plain_app_name(name) || !is_app_installed(name)) {
        vlog(LOG_INFO, "Uninstalling '%s' (skipped: application not found).", name.c_str());
        return;
    }
    vlog(LOG_INFO, "Uninstalling '%s'.", name.c_str());
    std::string app = app_dir(name);
    run_command(q(app + "/etc/init") + " stop");
    run_command(q(app + "/etc/uninstall"));
    bool carries_snmp = file_exists(app + "/lib/snmpd.so");
    run_command("rm -rf " + q(app) + " " + q(web_dir(name)));
    run_command("rm -rf " + q(system_path("/var/data/" + name)));
    if (carries_snmp) restart_service("snmp");
}

std::string get_firmware_name() {
    std::string name = status_product_name();
    if (name.empty() || name == "N/A") throw VelmoException("Firmware name could not be determined.");
    return name;
}

std::string get_firmware_version() {
    std::string version = status_firmware_version();
    if (version.empty() || version == "N/A") throw VelmoException("Firmware version could not be determined.");
    return version.substr(0, version.find(" ("));
}

bool is_firmware_version(const std::string& version) { return get_firmware_version() == version; }

bool is_app_version(const std::string& name, const std::string& version) {
    std::string path = app_dir(name) + "/etc/version";
    if (!file_exists(path)) return false;
    std::string text = file_read(path);
    return text.substr(0, text.find(" (")) == version;
}

std::vector<std::string> get_installed_apps() {
    std::vector<std::string> apps;
    for (const auto& dir : file_list_dir(apps_root_dir(), FILE_KIND_DIRS, "", ""))
        if (is_app_installed(dir)) apps.push_back(dir);
    return apps;
}

VersionList get_installed_apps_except(const VersionList& except) {
    VersionList result;
    for (const auto& name : get_installed_apps()) {
        std::pair<std::string, std::string> entry{name, get_app_version(name)};
        bool listed = false;
        for (const auto& pair : except) listed = listed || pair == entry;
        if (!listed) result.push_back(std::move(entry));
    }
    return result;
}

VersionList get_installed_apps_with_versions() { return get_installed_apps_except({}); }

}  // namespace velmo
