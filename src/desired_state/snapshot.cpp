#include "desired_state/snapshot.h"

#include <cstdint>
#include <stdexcept>

#include "core/exception.h"
#include "core/log.h"
#include "core/utils.h"
#include "deployment/apps.h"
#include "desired_state/accounts.h"
#include "desired_state/settings.h"
#include "messaging/messages.h"

namespace velmo {

using nlohmann::json;

json build_current_profile() {
    json profile;
    profile["system"]["firmware"]["version"] = get_firmware_version();
    for (const auto& [name, version] : get_installed_apps_with_versions()) profile["apps"][name]["version"] = version;
    for (const auto& account : get_current_users()) {
        if (!account.password_hash) throw VelmoException("User '%s' has no password hash.", account.name.c_str());
        profile["users"][account.name] = {{"password", *account.password_hash},
                                          {"role", static_cast<int>(account.role)}};
    }
    json& settings = profile["settings"];
    for (const auto& [key, value] : get_current_settings()) settings[key] = {{"v", value}};
    json& files = profile["files"];
    for (const auto& file : get_current_files()) files[file.path] = {{"path", file.path}, {"data", file.data}};
    return profile;
}

AgentState handle_snapshot_request(const json& command, MqttClientVelmo& client) {
    // A number (a boolean is not one) that fits the 32-bit request id.
    const json& id = json_number(command.at("id"));
    const double value = id.get<double>();
    if (!(value >= INT32_MIN && value <= INT32_MAX)) throw std::out_of_range("request id out of range: " + id.dump());
    const int request_id = static_cast<int>(value);
    vlog(LOG_INFO, "Received a request to create a configuration profile.");
    int status = 0;
    std::string text;
    try {
        text = build_current_profile().dump();
    } catch (const std::exception& e) {
        vlog(LOG_ERR, "Errors while handling CreateConfigProfile message: '%s'", e.what());
        status = 1;
        text.clear();
    }
    MqttResult result = client.publish(make_snapshot_response(request_id, status, text), false);
    if (result.status == MqttStatus::Disconnected) {
        vlog(LOG_INFO, "Connection lost while sending new configuration profile.");
        return AgentState::CONNECT_TO_MS;
    }
    return AgentState::HANDLE_MANAGEMENT_COMMANDS;
}

}  // namespace velmo
