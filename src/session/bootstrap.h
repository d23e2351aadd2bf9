#pragma once
// The first two states: INITIAL decides from the files on disk whether the
// agent must bootstrap; BOOTSTRAP sends the CSR to the bootstrap server and
// receives the client certificate and the management server's address, or a
// redirect to another bootstrap server.
#include <memory>
#include <string>

#include "core/settings.h"
#include "core/state.h"
#include "messaging/mqtt_client.h"

namespace velmo {

// Default bootstrap host of the service, and that of the retired 2.x
// server generation, which INITIAL replaces by the current one.
extern const char* const kDefaultBootstrapHost;
extern const char* const kLegacyBootstrapHost;

constexpr int kBootstrapAttempts = 25;
constexpr int kFirstRetryPause = 20;
constexpr int kMaxRetryPause = 3600;

std::string management_server_path();  // _top + _data + "management-server.json"

std::string bootstrap_result_to_string(int code);

AgentState state_initial(std::unique_ptr<MqttClientVelmo>& client, AgentSettings& settings,
                         ManagementServer& server);
AgentState state_bootstrap(std::unique_ptr<MqttClientVelmo>& client, AgentSettings& settings,
                           ManagementServer& server);
AgentState handle_received_msg(const nlohmann::json& reply, AgentSettings& settings, ManagementServer& server);
void handle_redirect_bs_msg(const nlohmann::json& payload, AgentSettings& settings);

void load_management_server(ManagementServer& server);
void save_management_server(const ManagementServer& server);
void clear_management_server(ManagementServer& server);

}  // namespace velmo
