#pragma once
// The configuration profile: the management server's description of the
// desired state, kept as one JSON value and read through accessors that
// validate their section at every call.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/state.h"

namespace velmo {

enum class ProfileBehaviour : int { Ignore = 0, Purge = 2 };
enum class UserRole : int { EnsureNotPresent = -1, User = 0, Admin = 1 };
enum class ReportType : int { Always = 0, OnChange = 1, Never = 2 };

struct DesiredFile {
    std::string name;
    std::string path;
    std::string data;  // decoded content
};

struct UserAccount {
    std::string name;
    std::optional<std::string> password_hash;
    int uid = 0;
    int gid = 0;
    std::string gecos;
    std::string home;
    std::string shell;
    UserRole role = UserRole::User;
    std::string last_change, minimum_age, maximum_age, warning_period, inactivity_period, expiry_date;
};

struct ReportDescriptor {
    std::string name;
    ReportType type = ReportType::OnChange;
    std::optional<double> threshold;
    std::string args;
};

struct ProfileBehaviours {
    ProfileBehaviour apps = ProfileBehaviour::Ignore;
    ProfileBehaviour users = ProfileBehaviour::Ignore;
};

// The "p" member of an ApplyConfig command.
struct ApplyConfigPayload {
    int64_t config_size = 0;
    std::string config;       // base64 of the gzip-compressed profile text
    std::string config_hash;  // "" when absent
};

std::string profile_path();  // _top + _data + "config_profile.conf"

void load_profile(ConfigProfile& profile);
void save_profile(const ConfigProfile& profile);
void clear_profile(ConfigProfile& profile);
void replace_profile_from_text(ConfigProfile& profile, const std::string& text);
void set_client_override(ConfigProfile& profile, const std::string& version, const std::string& url);

std::optional<DesiredApp> load_app_details(const std::string& name, const nlohmann::json& value);
std::optional<DesiredApp> get_desired_firmware(const ConfigProfile& profile);
std::vector<DesiredApp> get_desired_apps(const ConfigProfile& profile);
std::vector<std::pair<std::string, std::string>> get_desired_app_versions(const ConfigProfile& profile);
std::map<std::string, std::string> get_desired_settings(const ConfigProfile& profile);
std::string get_desired_settings_as_ini(const ConfigProfile& profile);
std::optional<std::string> read_user_passwd_hash(const nlohmann::json& value);
UserRole read_user_role(const nlohmann::json& value);
std::vector<UserAccount> get_desired_users(const ConfigProfile& profile);
std::vector<DesiredFile> get_desired_files(const ConfigProfile& profile);
std::map<std::string, ReportDescriptor> get_desired_reporting(const ConfigProfile& profile);
ProfileBehaviours get_profile_behaviours(const ConfigProfile& profile);

std::string behaviour_to_string(ProfileBehaviour behaviour);
std::string user_role_to_string(UserRole role);
// Unsupported texts are logged and read as OnChange.
ReportType report_type_from_string(const std::string& metric, const std::string& text);
const char* report_type_to_string(ReportType type);

ApplyConfigPayload parse_apply_config_payload(const nlohmann::json& payload);

}  // namespace velmo
