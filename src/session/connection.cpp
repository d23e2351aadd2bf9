#include "session/connection.h"

#include <climits>

#include "core/clock.h"
#include "core/exception.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/router.h"
#include "core/signals.h"
#include "core/utils.h"
#include "desired_state/profile.h"
#include "messaging/messages.h"
#include "session/bootstrap.h"
#include "session/credentials.h"

namespace velmo {

using nlohmann::json;

AgentState state_connect_to_ms(std::unique_ptr<MqttClientVelmo>& slot, const ManagementServer& server,
                               bool ssl_disabled, bool greeted) {
    MqttClientVelmo& client = *slot;
    if (ssl_disabled) {
        client.disableSSL();
        vlog(LOG_WARNING, "Warning: SSL is disabled (via settings).");
    } else {
        client.configureSSL(ca_cert_path(), client_cert_path(), client_key_path(), "");
    }
    const std::string id = device_id();
    const std::vector<std::string> topics = {topic_commands(id), topic_greetings_replies(id)};

    int pause = kFirstRetryPause;
    for (int attempt = 0;; ++attempt) {
        if (attempt == kConnectAttempts) {
            vlog(LOG_INFO, "Maximum number of attempts reached (%d).", kConnectAttempts);
            return AgentState::BOOTSTRAP;
        }
        try {
            if (!client.isConnected()) {
                MqttResult r = client.connect(server.addr, server.port, 30);
                if (!r.ok())
                    throw VelmoException("Connection to %s:%d failed: %s.", server.addr.c_str(), server.port,
                                         r.message.c_str());
            }
            if (client.subscriptions() != topics) {
                for (const auto& topic : topics) {
                    MqttResult r = client.subscribe(topic, 2);
                    if (!r.ok())
                        throw VelmoException("Subscribing to topic %s failed: %s.", topic.c_str(), r.message.c_str());
                }
            }
            MqttResult r = client.publish(make_online_message(true), true);
            if (!r.ok()) throw VelmoException("Sending an online/offline message failed: %s.", r.message.c_str());
            return greeted ? AgentState::HANDLE_MANAGEMENT_COMMANDS : AgentState::GREET_SERVER;
        } catch (const std::exception& e) {
            if (SIGTERM_ARRIVED) return AgentState::EXIT;
            vlog(LOG_ERR, "%s", e.what());
            vlog(LOG_INFO, "Next attempt in %ds.", pause);
            sleep_and_backoff(pause, kMaxRetryPause);
        }
    }
}

AgentState state_greet_server(std::unique_ptr<MqttClientVelmo>& slot, std::string config_hash) {
    const MqttMessage greeting = make_greetings_message(get_client_version(), config_hash);
    for (int attempt = 1; attempt <= kGreetingAttempts; ++attempt) {
        MqttResult r = slot->publish(greeting, true);
        if (r.ok()) return AgentState::HANDLE_MANAGEMENT_COMMANDS;
        vlog(LOG_ERR, "Sending a greetings message failed (attempt %d/%d): '%s'", attempt, kGreetingAttempts,
             r.message.c_str());
        sleep_seconds(kGreetingPause);
    }
    vlog(LOG_INFO, "Aborting sending greetings due to errors.");
    return AgentState::HANDLE_MANAGEMENT_COMMANDS;
}

ClientOverrideRequest parse_client_override(const json& message) {
    ClientOverrideRequest request;
    request.type = static_cast<int>(json_integer(message.at("t"), INT32_MIN, INT32_MAX));
    if (message.is_object() && message.contains("p")) {
        const json payload = message["p"];
        if (payload.is_object()) {
            if (payload.contains("update_url")) request.update_url = payload["update_url"].get<std::string>();
            if (payload.contains("update_version"))
                request.update_version = payload["update_version"].get<std::string>();
        }
    }
    return request;
}

AgentState handle_client_override(const ClientOverrideRequest& request, ConfigProfile& profile) {
    if (request.update_url.empty() || request.update_version.empty()) {
        vlog(LOG_ERR, "Ignoring a client override request: Invalid URL or Version (url='%s', version='%s').",
             request.update_url.c_str(), request.update_version.c_str());
    } else {
        vlog(LOG_WARNING, "Current client version is not supported by the server!");
        vlog(LOG_INFO, "Overriding the desired version with '%s', url '%s'.", request.update_version.c_str(),
             request.update_url.c_str());
        set_client_override(profile, request.update_version, request.update_url);
    }
    return AgentState::SYNC_CONFIG_PROFILE;
}

}  // namespace velmo
