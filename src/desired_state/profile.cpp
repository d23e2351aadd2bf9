#include "desired_state/profile.h"

#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <unistd.h>

#include "core/exception.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/utils.h"

namespace velmo {

using nlohmann::json;

std::string profile_path() { return data_path("config_profile.conf"); }

namespace {
// The profile holds the accounts' password hashes: only the agent reads it.
constexpr mode_t kProfileFileMode = 0600;
}  // namespace

void load_profile(ConfigProfile& profile) {
    profile = nullptr;
    const std::string path = profile_path();
    if (!file_exists(path)) return;
    try {
        profile = json::parse(file_read(path));
    } catch (const std::exception& e) {
        vlog(LOG_WARNING, "Failed to load config profile from file '%s'. (%s)", path.c_str(), e.what());
        file_quarantine(path);
        // The profile holds password hashes: the moved copy is private too.
        chmod((path + "_err").c_str(), kProfileFileMode);
        profile = nullptr;
    }
}

void save_profile(const ConfigProfile& profile) { file_write(profile.dump(), profile_path(), "w", kProfileFileMode); }

void clear_profile(ConfigProfile& profile) {
    unlink(profile_path().c_str());
    load_profile(profile);
}

void replace_profile_from_text(ConfigProfile& profile, const std::string& text) { profile = json::parse(text); }

void set_client_override(ConfigProfile& profile, const std::string& version, const std::string& url) {
    json* level = &profile;
    for (const char* key : {"apps", "velmo_client"}) {
        if (!level->is_object()) *level = json::object();
        level = &(*level)[key];
    }
    if (!level->is_object()) *level = json::object();
    (*level)["version"] = version;
    (*level)["url"] = url;
}

namespace {

// The entries of a section, or nullptr when there are none. A section of the
// wrong type is reported and read as empty.
const json* section(const ConfigProfile& profile, const char* name) {
    if (!profile.is_object()) return nullptr;
    auto it = profile.find(name);
    if (it == profile.end() || it->is_null()) return nullptr;
    if (it->is_object()) return &*it;
    vlog(LOG_WARNING, "Warning: Element '%s' has invalid datatype. Ignoring.", name);
    return nullptr;
}

std::string string_or_empty(const json& value) { return value.is_string() ? value.get<std::string>() : std::string(); }

}  // namespace

std::optional<DesiredApp> load_app_details(const std::string& name, const json& value) {
    if (value.is_null()) return std::nullopt;
    if (!value.is_object() || !value.contains("version")) {
        vlog(LOG_DEBUG, "load_app_details: Application '%s' does not contain '%s'.", name.c_str(), "version");
        return std::nullopt;
    }
    std::string version = string_or_empty(value["version"]);
    if (version == "deleted") return DesiredApp{name, version, ""};
    if (!value.contains("url")) {
        vlog(LOG_DEBUG, "load_app_details: Application '%s' does not contain '%s'.", name.c_str(), "url");
        return std::nullopt;
    }
    std::string url = string_or_empty(value["url"]);
    const char* invalid = version.empty() ? "version" : url.empty() ? "url" : nullptr;
    if (invalid) {
        vlog(LOG_DEBUG, "load_app_details: Application '%s' contains invalid data in '%s' element.", name.c_str(),
             invalid);
        return std::nullopt;
    }
    return DesiredApp{name, version, url};
}

std::optional<DesiredApp> get_desired_firmware(const ConfigProfile& profile) {
    if (!profile.is_object()) return std::nullopt;
    auto system = profile.find("system");
    if (system == profile.end() || !system->is_object()) return std::nullopt;
    auto firmware = system->find("firmware");
    if (firmware == system->end()) return std::nullopt;
    return load_app_details("firmware", *firmware);
}

std::vector<DesiredApp> get_desired_apps(const ConfigProfile& profile) {
    std::vector<DesiredApp> apps;
    const json* entries = section(profile, "apps");
    if (!entries) return apps;
    for (const auto& [name, value] : entries->items()) {
        if (auto app = load_app_details(name, value))
            apps.push_back(*app);
        else
            vlog(LOG_WARNING, "Warning: Application '%s' mentioned in config profile will be ignored (invalid config data).",
                 name.c_str());
    }
    return apps;
}

std::vector<std::pair<std::string, std::string>> get_desired_app_versions(const ConfigProfile& profile) {
    std::vector<std::pair<std::string, std::string>> versions;
    for (const auto& app : get_desired_apps(profile)) versions.emplace_back(app.name, app.version);
    return versions;
}

namespace {

// Each setting's "v" as a string; entries that have none keep their name with
// an empty value and are reported with the given line.
std::vector<std::pair<std::string, std::string>> settings_entries(const ConfigProfile& profile, const char* line) {
    std::vector<std::pair<std::string, std::string>> out;
    const json* entries = section(profile, "settings");
    if (!entries) return out;
    for (const auto& [name, value] : entries->items()) {
        std::string text;
        try {
            text = value.at("v").get<std::string>();
        } catch (const std::exception& e) {
            vlog(LOG_DEBUG, line, name.c_str(), e.what());
        }
        out.emplace_back(name, text);
    }
    return out;
}

}  // namespace

std::map<std::string, std::string> get_desired_settings(const ConfigProfile& profile) {
    std::map<std::string, std::string> settings;
    for (auto& [name, value] : settings_entries(profile, "get_desired_settings: Setting '%s' is NULL. (%s)"))
        settings[name] = value;
    return settings;
}

std::string get_desired_settings_as_ini(const ConfigProfile& profile) {
    std::string ini;
    for (const auto& [name, value] :
         settings_entries(profile, "get_desired_settings_as_ini: setting '%s' has no string value. (%s)")) {
        if (!ini.empty()) ini += '\n';
        ini += name + "=" + value;
    }
    return ini;
}

std::optional<std::string> read_user_passwd_hash(const json& value) {
    if (!value.is_object() || !value.contains("password")) return std::nullopt;
    try {
        return value["password"].get<std::string>();
    } catch (const std::exception& e) {
        vlog(LOG_DEBUG, "read_user_passwd_hash: Failed to read user password. (%s)", e.what());
        return std::nullopt;
    }
}

UserRole read_user_role(const json& value) {
    if (!value.is_object() || !value.contains("role")) return UserRole::User;
    try {
        // Out of the 32-bit range a role would wrap into another role
        // (4294967295 into EnsureNotPresent), so it is refused.
        return static_cast<UserRole>(json_integer(value["role"], INT32_MIN, INT32_MAX, true));
    } catch (const std::exception& e) {
        vlog(LOG_DEBUG, "read_user_role: Failed to read user role. (%s)", e.what());
        return UserRole::User;
    }
}

std::vector<UserAccount> get_desired_users(const ConfigProfile& profile) {
    std::vector<UserAccount> users;
    const json* entries = section(profile, "users");
    if (!entries) return users;
    for (const auto& [name, value] : entries->items()) {
        UserAccount account;
        account.name = name;
        account.password_hash = read_user_passwd_hash(value);
        account.role = read_user_role(value);
        if (name == "daemon") {
            vlog(LOG_DEBUG, "get_desired_users: User '%s' is a system user that should not be managed. Ignoring.",
                 name.c_str());
            continue;
        }
        users.push_back(std::move(account));
    }
    return users;
}

std::vector<DesiredFile> get_desired_files(const ConfigProfile& profile) {
    std::vector<DesiredFile> files;
    const json* entries = section(profile, "files");
    if (!entries) return files;
    for (const auto& [name, value] : entries->items()) {
        std::string path = name;
        if (value.is_object() && value.contains("path") && value["path"].is_string() &&
            !value["path"].get<std::string>().empty())
            path = value["path"].get<std::string>();
        if (!value.is_object() || !value.contains("data")) {
            vlog(LOG_ERR, "Cannot find element '%s' for file '%s' in configuration profile. Ignoring file.", "data",
                 name.c_str());
            continue;
        }
        files.push_back({name, path, base64_decode(value["data"].get<std::string>())});
    }
    return files;
}

std::map<std::string, ReportDescriptor> get_desired_reporting(const ConfigProfile& profile) {
    std::map<std::string, ReportDescriptor> reports;
    const json* entries = section(profile, "reporting");
    if (!entries) return reports;
    for (const auto& [name, value] : entries->items()) {
        if (name.empty()) throw VelmoException("Report attribute empty. (%s)", "report_name");
        std::string include = value.at("include").get<std::string>();
        if (include.empty()) throw VelmoException("Report attribute empty. (%s)", "include");
        ReportDescriptor report;
        report.name = name;
        if (value.contains("threshold")) {
            if (!value["threshold"].is_number()) throw VelmoException("Report attribute invalid datatype. (%s)", "threshold");
            report.threshold = value["threshold"].get<double>();
        }
        if (value.contains("args")) {
            if (!value["args"].is_string()) throw VelmoException("Report attribute invalid datatype. (%s)", "args");
            report.args = value["args"].get<std::string>();
        }
        report.type = report_type_from_string(name, include);
        reports[name] = report;
    }
    return reports;
}

ProfileBehaviours get_profile_behaviours(const ConfigProfile& profile) {
    ProfileBehaviours behaviours;
    if (!profile.is_object() || !profile.contains("system")) {
        vlog(LOG_ERR, "Cannot find element '%s' determining system configuration. Setting config profile behavior to '%s'.",
             "system", "Ignore");
        return behaviours;
    }
    const json& system = profile["system"];
    if (!system.is_object() || !system.contains("ub")) {
        vlog(LOG_INFO, "Cannot find element '%s' determining configuration behavior. Setting to '%s'.", "ub", "Ignore");
        return behaviours;
    }
    const json& ub = system["ub"];
    struct Member {
        const char* key;
        ProfileBehaviour* target;
        const char* missing;
    } members[] = {{"apps", &behaviours.apps, "Failed to get applications config profile behavior. Setting to '%s'."},
                   {"users", &behaviours.users, "Failed to get users config profile behavior. Setting to '%s'."}};
    for (const auto& m : members) {
        if (!ub.is_object() || !ub.contains(m.key)) {
            vlog(LOG_ERR, m.missing, "Ignore");
            continue;
        }
        if (!ub[m.key].is_number_integer()) continue;
        try {
            *m.target = static_cast<ProfileBehaviour>(json_integer(ub[m.key], INT32_MIN, INT32_MAX));
        } catch (const std::exception& e) {
            // A wrapped value could turn into Purge.
            vlog(LOG_ERR, "Config profile behavior '%s' is invalid (%s). Setting to '%s'.", m.key, e.what(), "Ignore");
        }
    }
    return behaviours;
}

std::string behaviour_to_string(ProfileBehaviour behaviour) {
    switch (behaviour) {
        case ProfileBehaviour::Ignore: return "Ignore";
        case ProfileBehaviour::Purge: return "Purge";
    }
    return "Unknown(" + std::to_string(static_cast<int>(behaviour)) + ")";
}

std::string user_role_to_string(UserRole role) {
    switch (role) {
        case UserRole::User: return "User";
        case UserRole::Admin: return "Admin";
        case UserRole::EnsureNotPresent: return "EnsureNotPresent";
    }
    return "Unknown(" + std::to_string(static_cast<int>(role)) + ")";
}

ReportType report_type_from_string(const std::string& metric, const std::string& text) {
    if (text == "OnChange") return ReportType::OnChange;
    if (text == "Always") return ReportType::Always;
    if (text == "Never") return ReportType::Never;
    vlog(LOG_WARNING, "Desired metric '%s' has an unsupported report type '%s'. Will treat it as OnChange.",
         metric.c_str(), text.c_str());
    return ReportType::OnChange;
}

const char* report_type_to_string(ReportType type) {
    switch (type) {
        case ReportType::Always: return "Always";
        case ReportType::OnChange: return "OnChange";
        case ReportType::Never: return "Never";
    }
    return "Unknown";
}

ApplyConfigPayload parse_apply_config_payload(const json& payload) {
    ApplyConfigPayload out;
    // A fraction is dropped as before; a size beyond 64 bits is refused, never
    // wrapped or converted out of range.
    out.config_size = json_integer(payload.at("config_size"), INT64_MIN, INT64_MAX, true);
    out.config = payload.at("config").get<std::string>();
    if (payload.contains("config_hash")) out.config_hash = payload["config_hash"].get<std::string>();
    return out;
}

}  // namespace velmo
