#include "desired_state/sync.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <vector>

#include "core/exception.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/router.h"
#include "core/utils.h"
#include "deployment/apps.h"
#include "deployment/downloads.h"
#include "desired_state/accounts.h"
#include "desired_state/change_detection.h"
#include "desired_state/profile.h"
#include "desired_state/settings.h"
#include "messaging/messages.h"

namespace velmo {

using nlohmann::json;

namespace {

const char kAgentName[] = "velmo_client";

struct SyncFailure {
    std::string item;
    std::string reason;
};
using Failures = std::vector<SyncFailure>;

// A JSON number (floating point truncated toward zero) or a boolean as a
// 32-bit integer; anything else, or a value beyond that range, is an error.
int32_t read_int32(const json& value, const char* name) {
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    const double wide = std::trunc(json_number(value).get<double>());
    if (!(wide >= std::numeric_limits<int32_t>::min() && wide <= std::numeric_limits<int32_t>::max()))
        throw std::out_of_range(std::string("'") + name + "' out of range: " + value.dump());
    return static_cast<int32_t>(wide);
}

void set_defaults(SyncRequest& request) { request = SyncRequest{}; }

void sync_firmware(const ConfigProfile& profile, ExitRequest& exit_request, Failures& failures) {
    try {
        auto firmware = get_desired_firmware(profile);
        if (!firmware || is_firmware_version(firmware->version)) return;
        DownloadResult result = download_app(*firmware, true);
        if (result != DownloadResult::Ok) {
            const char* text = download_result_to_string(result);
            vlog(LOG_ERR, "Failure when syncing firmware: %s", text);
            failures.push_back({"firmware", text});
            return;
        }
        install_downloaded_app(get_app_name_from_url(firmware->url), true, firmware->url);
        exit_request.reboot = true;
    } catch (const std::exception& e) {
        failures.push_back({"firmware", e.what()});
        vlog(LOG_ERR, "Failure when syncing firmware: %s", e.what());
    }
}

// Creates the file anew with the text (up to its first NUL byte, like every
// whole-file write) and the mode. Profile files may live in world-writable
// directories: a symbolic link planted at the path after it was removed is
// removed again or makes the write fail, and is never written through, nor
// is its target's mode changed.
void write_new_file(const std::string& text, const std::string& path, mode_t mode) {
    binarybuff_to_file(text.c_str(), strlen(text.c_str()), path);
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        fchmod(fd, mode);
        fsync(fd);  // on disk before its digest is stored
        close(fd);
    }
}

void sync_files(const ConfigProfile& profile, Failures& failures) {
    try {
        for (const auto& file : get_desired_files(profile)) {
            file_ensure_path_exists(file_get_dir(file.path));
            unlink(file.path.c_str());
            write_new_file(file.data, file.path, 0750);
            update_file_hash(file.path);
        }
    } catch (const std::exception& e) {
        vlog(LOG_ERR, "Failure when syncing files: %s", e.what());
        failures.push_back({"files", e.what()});
    }
}

void sync_app(const DesiredApp& app, ExitRequest& exit_request, Failures& failures) {
    if (app.version == "deleted") {
        if (app.name == kAgentName)
            vlog(LOG_INFO, "Skipping syncing app '%s'. Cannot be deleted (forbidden).", app.name.c_str());
        else
            uninstall_app(app.name);
        return;
    }
    if (is_app_version(app.name, app.version)) return;
    if (app.name == kAgentName && is_forbidden_client_version(app.version)) {
        vlog(LOG_WARNING, "Failure when syncing app '%s': Version '%s' is deprecated. Continuing with current version '%s'.",
             kAgentName, app.version.c_str(), get_client_version().c_str());
        failures.push_back({kAgentName, "Skipping application downgrade (forbidden)."});
        return;
    }
    DownloadResult result = download_app(app, false);
    if (result != DownloadResult::Ok) {
        const char* text = download_result_to_string(result);
        vlog(LOG_ERR, "Failure when syncing app '%s': %s", app.name.c_str(), text);
        failures.push_back({app.name, text});
    } else if (app.name == kAgentName) {
        // The package stays in the temporary directory; the exit installs it.
        exit_request.update_client = true;
    } else {
        install_downloaded_app(app.name, false, app.url);
    }
}

void sync_apps(const ConfigProfile& profile, ExitRequest& exit_request, Failures& failures) {
    std::vector<DesiredApp> apps = get_desired_apps(profile);
    ProfileBehaviours behaviours = get_profile_behaviours(profile);
    for (const auto& app : apps) {
        try {
            sync_app(app, exit_request, failures);
        } catch (const std::exception& e) {
            vlog(LOG_ERR, "Failure when syncing app '%s': %s", app.name.c_str(), e.what());
            failures.push_back({app.name, e.what()});
        }
    }
    if (behaviours.apps == ProfileBehaviour::Purge)
        for (const auto& [name, version] : get_installed_apps_except(get_desired_app_versions(profile)))
            if (name != kAgentName) uninstall_app(name);
}

void sync_settings(const ConfigProfile& profile, ExitRequest& exit_request, Failures& failures) {
    std::vector<std::string> restarted;
    bool restart_self = false;
    try {
        std::string ini = get_desired_settings_as_ini(profile);
        std::vector<std::string> changed = get_changed_managed_files();
        apply_settings(ini);
        for (auto& path : get_changed_managed_files()) changed.push_back(std::move(path));
        update_all_hashes();
        for (const auto& path : changed) {
            std::vector<std::string> services = services_for_group(config_group_name(path));
            for (const auto& service : services) {
                bool done = false;
                for (const auto& r : restarted) done = done || r == service;
                if (done) continue;
                if (service == kAgentName) {
                    restart_self = true;
                } else {
                    restart_service(service);
                    restarted.push_back(service);
                }
            }
            vlog(LOG_DEBUG, "New configuration applied to '%s'. Services restarted: %s", path.c_str(),
                 string_join(services, ',').c_str());
        }
    } catch (const std::exception& e) {
        vlog(LOG_ERR, "Failure when syncing settings: %s", e.what());
        failures.push_back({"settings", e.what()});
    }
    if (!restarted.empty()) vlog(LOG_DEBUG, "Restarted services: %s", string_join(restarted, ',').c_str());
    if (restart_self) exit_request.restart_client = true;
}

void sync_users(const ConfigProfile& profile, Failures& failures) {
    std::vector<UserAccount> desired = get_desired_users(profile);
    ProfileBehaviours behaviours = get_profile_behaviours(profile);
    std::vector<UserAccount> current = get_current_users();
    for (const auto& account : desired) {
        try {
            sync_user(account, current);
        } catch (const std::exception& e) {
            vlog(LOG_ERR, "Failure when syncing user '%s': %s", account.name.c_str(), e.what());
            failures.push_back({account.name, e.what()});
        }
    }
    if (behaviours.users != ProfileBehaviour::Purge) return;
    for (const auto& account : get_users_to_purge(desired)) {
        try {
            delete_user(account);
        } catch (const std::exception& e) {
            vlog(LOG_ERR, "Failure when purging user '%s': %s", account.name.c_str(), e.what());
            failures.push_back({account.name, e.what()});
        }
    }
}

bool exit_requested(const ExitRequest& exit_request) {
    return exit_request.reboot || exit_request.update_client || exit_request.restart_client;
}

std::string join_failures(const Failures& failures) {
    std::string text;
    for (const auto& failure : failures) {
        if (!text.empty()) text += " | ";
        text += failure.item.empty() ? failure.reason : failure.item + ": " + failure.reason;
    }
    return text;
}

}  // namespace

std::string sync_request_path() { return data_path("sync_request.json"); }

void load_sync_request(SyncRequest& request) {
    const std::string path = sync_request_path();
    set_defaults(request);
    if (!file_exists(path)) return;
    try {
        json j = json::parse(file_read(path));
        SyncRequest loaded;
        const json& sent = j.at("response_sent");
        if (!sent.is_boolean())
            throw json::type_error::create(302, std::string("type must be boolean, but is ") + sent.type_name(), &sent);
        loaded.response_sent = sent.get<bool>();
        loaded.status = read_int32(j.at("status"), "status");
        loaded.request_id = read_int32(j.at("request_id"), "request_id");
        if (j.contains("config_hash")) loaded.config_hash = j.at("config_hash").get<std::string>();
        request = loaded;
    } catch (const std::exception& e) {
        vlog(LOG_WARNING, "Failed to load data from file '%s'. (%s)", path.c_str(), e.what());
        file_quarantine(path);
        set_defaults(request);
    }
}

void save_sync_request(const SyncRequest& request) {
    json j{{"config_hash", request.config_hash},
           {"request_id", request.request_id},
           {"response_sent", request.response_sent},
           {"status", request.status}};
    file_write(j.dump(), sync_request_path(), "w");
}

void reset_sync_request(SyncRequest& request) {
    unlink(sync_request_path().c_str());
    load_sync_request(request);
}

AgentState sync_config_profile(MqttClientVelmo& client, SyncRequest& sync_request, const ConfigProfile& profile,
                               ExitRequest& exit_request) {
    Failures failures;
    if (sync_request.status == static_cast<int32_t>(SyncStatus::Pending)) {
        vlog(LOG_INFO, "Applying desired state.");
        try {
            sync_firmware(profile, exit_request, failures);
            if (!exit_request.reboot) {
                sync_files(profile, failures);
                sync_apps(profile, exit_request, failures);
                sync_settings(profile, exit_request, failures);
                sync_users(profile, failures);
            }
        } catch (const std::exception& e) {
            // Outside the per-step and per-item handlers: the application ends here.
            failures.push_back({"", e.what()});
        }
        if (exit_requested(exit_request)) return AgentState::EXIT;
        sync_request.status = static_cast<int32_t>(failures.empty() ? SyncStatus::Reached : SyncStatus::Failed);
    }

    if (sync_request.response_sent) return AgentState::HANDLE_MANAGEMENT_COMMANDS;
    int flag = failures.empty() ? 0 : 1;
    vlog(LOG_INFO, "Informing the server about %s the desired state.", flag == 0 ? "reaching" : "failing to reach");
    MqttResult result = client.publish(
        make_apply_config_response(sync_request.request_id, flag, join_failures(failures), sync_request.config_hash),
        false);
    AgentState next = AgentState::HANDLE_MANAGEMENT_COMMANDS;
    if (!result.ok()) {
        vlog(LOG_ERR, "Could not send an ApplyConfig response: '%s'", result.message.c_str());
        if (result.status == MqttStatus::Disconnected) next = AgentState::CONNECT_TO_MS;
    }
    if (next != AgentState::CONNECT_TO_MS) sync_request.response_sent = true;
    return next;
}

}  // namespace velmo
