#include "desired_state/settings.h"

#include <unistd.h>

#include "core/exception.h"
#include "core/paths.h"
#include "core/router.h"
#include "core/utils.h"
#include "deployment/apps.h"

namespace velmo {

std::string config_dir() { return FilesystemPaths::_top + "/etc/"; }
std::string settings_scratch_path() { return tmp_dir() + "settings.ini"; }

const std::vector<std::string>& managed_script_paths() {
    static const std::vector<std::string> scripts = {
        "/etc/rc.d/rc.local",
        "/etc/scripts/ip-down.local",
        "/etc/scripts/ip-up.local",
        "/etc/scripts/ip6-up.local",
        "/etc/scripts/ip6-down.local",
        "/etc/scripts/ipsec1-up.local",
        "/etc/scripts/ipsec1-down.local",
        "/etc/scripts/ipsec2-up.local",
        "/etc/scripts/ipsec2-down.local",
        "/etc/scripts/ipsec3-up.local",
        "/etc/scripts/ipsec3-down.local",
        "/etc/scripts/ipsec4-up.local",
        "/etc/scripts/ipsec4-down.local",
        "/etc/scripts/openvpn1-up.local",
        "/etc/scripts/openvpn1-down.local",
        "/etc/scripts/openvpn2-up.local",
        "/etc/scripts/openvpn2-down.local",
        "/etc/scripts/openvpn3-up.local",
        "/etc/scripts/openvpn3-down.local",
        "/etc/scripts/openvpn4-up.local",
        "/etc/scripts/openvpn4-down.local",
    };
    return scripts;
}

bool is_managed_script(const std::string& path) {
    for (const auto& script : managed_script_paths())
        if (script == path) return true;
    return false;
}

std::vector<std::string> list_managed_files(bool include_scripts) {
    std::vector<std::string> paths;
    for (const auto& name : file_list_dir(config_dir(), FILE_KIND_FILES, "settings.", ".hash"))
        paths.push_back(config_dir() + name);
    for (const auto& app : get_installed_apps()) {
        std::string path = app_dir(app) + "/etc/settings";
        if (file_exists(path)) paths.push_back(path);
    }
    if (include_scripts)
        for (const auto& script : managed_script_paths()) paths.push_back(script);
    return paths;
}

SettingsMap parse_settings_text(const std::string& text) {
    SettingsMap settings;
    for (const auto& line : string_split(text, '\n')) {
        if (line.empty()) continue;
        std::vector<std::string> pair = string_split_once(line, "=");
        settings[pair[0]] = pair[1];
    }
    return settings;
}

SettingsMap get_current_settings() {
    SettingsMap merged;
    for (const auto& path : list_managed_files(false))
        for (auto& [key, value] : parse_settings_text(file_read(path))) merged[key] = std::move(value);
    return merged;
}

std::vector<DesiredFile> get_current_files() {
    std::vector<DesiredFile> files;
    for (const auto& path : managed_script_paths())
        if (file_exists(path)) files.push_back({file_get_name(path), path, base64_encode(file_read(path))});
    return files;
}

std::string config_group_name(const std::string& path) {
    const std::string apps = apps_root_dir();
    if (string_starts_with(path, apps)) {
        std::string rest = path.substr(apps.size());
        return "mod_" + rest.substr(0, rest.find('/'));
    }
    std::string name = file_get_name(path);
    if (string_starts_with(name, "settings.")) name.erase(0, 9);
    return name;
}

namespace {

// "ipsec3-up.local" gives "ipsec3" for the prefix "ipsec"; "" when the group
// is not a tunnel hook of that kind with a digit from 0 to 4.
std::string tunnel_service(const std::string& group, const std::string& prefix) {
    if (!string_starts_with(group, prefix) || group.size() <= prefix.size()) return {};
    char digit = group[prefix.size()];
    if (digit < '0' || digit > '4') return {};
    std::string rest = group.substr(prefix.size() + 1);
    if (rest != "-up.local" && rest != "-down.local") return {};
    return prefix + digit;
}

}  // namespace

std::vector<std::string> services_for_group(const std::string& group) {
    std::string g = string_starts_with(group, "mod_") ? group.substr(4) : group;
    if (g == "wifi_sta" || g == "wifi_ap") return {"backrt", "wifi"};
    if (g == "sms") return {"ppp"};
    if (g == "eth" || g == "ppp" || g == "pppoe") return {"backrt", g};
    if (g == "fw_site") return {"dns"};
    for (const char* prefix : {"ipsec", "openvpn"}) {
        std::string service = tunnel_service(g, prefix);
        if (!service.empty()) return {service};
    }
    static const char* const kNone[] = {"ftp",         "policy",        "port",         "sim",
                                        "statrt",      "statrt6",       "smtp",         "rc.local",
                                        "ip-up.local", "ip-down.local", "ip6-up.local", "ip6-down.local"};
    for (const char* none : kNone)
        if (g == none) return {};
    return {g};
}

void apply_settings(const std::string& ini) {
    const std::string scratch = settings_scratch_path();
    // A fresh file of our own (mode 0600): a link planted under the
    // world-writable directory is removed, never followed.
    binarybuff_to_file(ini.data(), ini.size(), scratch);
    if (restore_settings(scratch) == 0) unlink(scratch.c_str());
}

}  // namespace velmo
