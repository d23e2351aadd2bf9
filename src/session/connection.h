#pragma once
// The management-server session: CONNECT_TO_MS opens it (mutual TLS),
// subscribes and announces the device online; GREET_SERVER tells the server
// the agent's version and configuration hash. A ClientOverride answer names
// the agent version the server wants installed instead.
#include <memory>
#include <string>

#include "core/state.h"
#include "messaging/mqtt_client.h"

namespace velmo {

constexpr int kConnectAttempts = 25;
constexpr int kGreetingAttempts = 6;
constexpr unsigned kGreetingPause = 10;

struct ClientOverrideRequest {
    int type = 0;
    std::string update_url;
    std::string update_version;
};

AgentState state_connect_to_ms(std::unique_ptr<MqttClientVelmo>& client, const ManagementServer& server,
                               bool ssl_disabled, bool greeted);
AgentState state_greet_server(std::unique_ptr<MqttClientVelmo>& client, std::string config_hash);
ClientOverrideRequest parse_client_override(const nlohmann::json& message);
AgentState handle_client_override(const ClientOverrideRequest& request, ConfigProfile& profile);

}  // namespace velmo
