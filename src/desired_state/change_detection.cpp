#include "desired_state/change_detection.h"

#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <memory>

#include "core/exception.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/router.h"
#include "core/utils.h"
#include "deployment/apps.h"
#include "desired_state/accounts.h"

namespace velmo {

const char kDigestKey[] = "r8vto2kqe4z";

namespace {

const char kAgentName[] = "velmo_client";

struct MacDeleter {
    void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
    void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// Hands the file to feed in pieces (a signal during a read is retried);
// false on a read error or when feed fails.
bool feed_file(int fd, const std::function<bool(const unsigned char*, size_t)>& feed) {
    unsigned char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (!feed(buffer, static_cast<size_t>(n))) return false;
    }
}

// HMAC-MD5 (MD5 without a key) of the open file, "" on failure.
std::string digest_of(int fd, const std::string& key) {
    unsigned char out[EVP_MAX_MD_SIZE];
    if (key.empty()) {
        std::unique_ptr<EVP_MD_CTX, MacDeleter> ctx(EVP_MD_CTX_new());
        unsigned length = 0;
        bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) == 1 &&
                  feed_file(fd, [&](const unsigned char* p, size_t n) { return EVP_DigestUpdate(ctx.get(), p, n) == 1; }) &&
                  EVP_DigestFinal_ex(ctx.get(), out, &length) == 1;
        return ok ? hex_lower(out, length) : std::string();
    }
    std::unique_ptr<EVP_MAC, MacDeleter> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    std::unique_ptr<EVP_MAC_CTX, MacDeleter> ctx(mac ? EVP_MAC_CTX_new(mac.get()) : nullptr);
    char digest_name[] = "MD5";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name, 0),
                           OSSL_PARAM_construct_end()};
    size_t length = 0;
    bool ok = ctx &&
              EVP_MAC_init(ctx.get(), reinterpret_cast<const unsigned char*>(key.data()), key.size(), params) == 1 &&
              feed_file(fd, [&](const unsigned char* p, size_t n) { return EVP_MAC_update(ctx.get(), p, n) == 1; }) &&
              EVP_MAC_final(ctx.get(), out, &length, sizeof out) == 1;
    return ok ? hex_lower(out, length) : std::string();
}

std::string upper_ascii(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

void add(std::vector<ConfigChange>& changes, std::vector<ConfigChange>&& more) {
    for (auto& change : more) changes.push_back(std::move(change));
}

}  // namespace

ConfigChange make_config_change(ConfigChangeType type, const std::string& name, const std::string& from,
                                const std::string& to) {
    if (type == ConfigChangeType::SettingChange && name.empty())
        throw VelmoException("Config change object requires 'name' property.");
    if (type == ConfigChangeType::AppChange && (name.empty() || from.empty() || to.empty()))
        throw VelmoException("Config change object missing one of required properties.");
    return ConfigChange{static_cast<int>(type), name, from, to};
}

std::string md5sum_file(const std::string& path, const std::string& key) {
    if (!file_exists(path)) throw VelmoException("md5sum_file: File '%s' not found.", path.c_str());
    // Only a regular file is read: a FIFO or a device planted where a managed
    // or profile file was (under /tmp, say) would otherwise block the agent.
    int fd = open_regular_file(path);
    std::string hex = fd < 0 ? std::string() : digest_of(fd, key);
    if (fd >= 0) close(fd);
    if (hex.empty()) throw VelmoException("md5sum_file: Failed to read file '%s'.", path.c_str());
    return hex;
}

std::string hashes_dir() { return data_path("hashes/"); }

std::string hash_file_path(const std::string& path) {
    return hashes_dir() + upper_ascii(config_group_name(path)) + "_HASH";
}

std::string read_stored_hash(const std::string& path) { return file_read(hash_file_path(path)); }

void update_file_hash(const std::string& path) {
    std::string digest = md5sum_file(path, kDigestKey);
    file_ensure_dir_exists(hashes_dir());
    file_write(digest, hash_file_path(path), "w");
}

void update_all_hashes() {
    for (const auto& path : list_managed_files(true)) {
        if (!file_exists(path)) {
            vlog(LOG_DEBUG, "Skipping file '%s' (not found). Its hash will not be updated.", path.c_str());
            continue;
        }
        if (read_stored_hash(path) != md5sum_file(path, kDigestKey)) update_file_hash(path);
    }
}

std::vector<std::string> get_changed_managed_files() {
    std::vector<std::string> changed;
    for (const auto& path : list_managed_files(true)) {
        std::string stored = read_stored_hash(path);
        if (stored.empty()) continue;
        std::string current = file_exists(path) ? md5sum_file(path, kDigestKey) : "";
        if (current != stored) changed.push_back(path);
    }
    return changed;
}

std::vector<ConfigChange> detect_settings_file_changes(const std::string& path, const SettingsMap& desired) {
    if (is_managed_script(path)) return {make_config_change(ConfigChangeType::FileChange, path, "", "")};
    std::vector<ConfigChange> changes;
    SettingsMap current = parse_settings_text(file_read(path));
    for (const auto& [key, value] : desired) {
        auto found = current.find(key);
        if (found != current.end() && found->second != value)
            changes.push_back(make_config_change(ConfigChangeType::SettingChange, key, value, found->second));
    }
    return changes;
}

std::vector<ConfigChange> detect_user_divergences(const std::vector<UserAccount>& desired) {
    std::vector<ConfigChange> changes;
    std::vector<UserAccount> current = get_current_users();
    for (const auto& want : desired) {
        const UserAccount* have = nullptr;
        for (const auto& account : current) {
            if (account.name == want.name) {
                have = &account;
                break;
            }
        }
        if (have) {
            if (have->password_hash && want.password_hash && *have->password_hash != *want.password_hash)
                changes.push_back(
                    make_config_change(ConfigChangeType::UserChange, want.name, *have->password_hash, *want.password_hash));
            if (have->role != want.role && !is_system_user(want.name))
                changes.push_back(make_config_change(ConfigChangeType::UserChange, want.name,
                                                     user_role_to_string(have->role), user_role_to_string(want.role)));
        } else if (want.role != UserRole::EnsureNotPresent) {
            changes.push_back(make_config_change(ConfigChangeType::UserChange, want.name, want.name, ""));
        }
    }
    return changes;
}

namespace {

std::vector<ConfigChange> firmware_divergences(const ConfigProfile& profile) {
    std::string current = get_firmware_version();
    auto desired = get_desired_firmware(profile);
    if (!desired || desired->version == current) return {};
    std::string name = get_firmware_name();
    vlog(LOG_INFO, "Detected local changes. Firmware version is now '%s' instead of '%s'.", current.c_str(),
         desired->version.c_str());
    return {make_config_change(ConfigChangeType::FirmwareChange, name, desired->version, current)};
}

ConfigChange app_now_present(const std::string& name, const std::string& version) {
    vlog(LOG_INFO, "Detected local changes. App '%s' (%s) is now present.", name.c_str(), version.c_str());
    return make_config_change(ConfigChangeType::AppChange, name, "AppNotPresent", "AppPresent");
}

std::vector<ConfigChange> app_divergences(const ConfigProfile& profile) {
    std::vector<ConfigChange> changes;
    VersionList pairs = get_desired_app_versions(profile);
    ProfileBehaviours behaviours = get_profile_behaviours(profile);
    for (const auto& [name, version] : pairs) {
        if (!is_app_version(name, version) && version != "deleted") {
            if (name == kAgentName && is_forbidden_client_version(version)) {
                vlog(LOG_DEBUG, "detect_app_divergences: Skipping '%s' app divergency. Forbidden downgrade.",
                     name.c_str());
                continue;
            }
            vlog(LOG_INFO, "Detected local changes. App '%s' (%s) is no longer present.", name.c_str(),
                 version.c_str());
            changes.push_back(make_config_change(ConfigChangeType::AppChange, name, "AppPresent", "AppNotPresent"));
        }
        if (is_app_installed(name) && version == "deleted" && name != kAgentName)
            changes.push_back(app_now_present(name, version));
    }
    if (behaviours.apps == ProfileBehaviour::Purge)
        for (const auto& [name, version] : get_installed_apps_except(pairs))
            if (name != kAgentName) changes.push_back(app_now_present(name, version));
    return changes;
}

std::vector<ConfigChange> managed_file_divergences(const ConfigProfile& profile) {
    std::vector<ConfigChange> changes;
    std::vector<std::string> changed = get_changed_managed_files();
    if (changed.empty()) return changes;
    SettingsMap desired = get_desired_settings(profile);
    for (const auto& path : changed) {
        std::vector<ConfigChange> found = detect_settings_file_changes(path, desired);
        if (found.empty()) continue;
        vlog(LOG_INFO, "Detected local changes to file '%s'.", path.c_str());
        add(changes, std::move(found));
    }
    return changes;
}

std::vector<ConfigChange> user_divergences(const ConfigProfile& profile) {
    std::vector<UserAccount> desired = get_desired_users(profile);
    ProfileBehaviours behaviours = get_profile_behaviours(profile);
    std::vector<ConfigChange> changes = detect_user_divergences(desired);
    if (behaviours.users == ProfileBehaviour::Purge) {
        for (const auto& account : get_users_to_purge(desired)) {
            vlog(LOG_INFO, "Detected local changes. User '%s' is now present.", account.name.c_str());
            changes.push_back(make_config_change(ConfigChangeType::UserChange, account.name, "", account.name));
        }
    }
    return changes;
}

std::vector<ConfigChange> profile_file_divergences(const ConfigProfile& profile) {
    std::vector<ConfigChange> changes;
    for (const auto& file : get_desired_files(profile)) {
        std::string stored = read_stored_hash(file.path);
        if (stored.empty()) continue;
        if (file_exists(file.path)) {
            if (md5sum_file(file.path, kDigestKey) == stored) continue;
            vlog(LOG_INFO, "Detected local changes in file '%s'.", file.path.c_str());
            changes.push_back(make_config_change(ConfigChangeType::FileChange, file.path, file.data, file_read(file.path)));
        } else {
            vlog(LOG_INFO, "Detected local changes. File '%s' is not present.", file.path.c_str());
            changes.push_back(make_config_change(ConfigChangeType::FileChange, file.path, "FilePresent", "FileNotPresent"));
        }
    }
    return changes;
}

}  // namespace

std::vector<ConfigChange> detect_app_divergences(const ConfigProfile& profile) {
    std::vector<ConfigChange> changes = firmware_divergences(profile);
    add(changes, app_divergences(profile));
    add(changes, managed_file_divergences(profile));
    add(changes, user_divergences(profile));
    add(changes, profile_file_divergences(profile));
    return changes;
}

}  // namespace velmo
