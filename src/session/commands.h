#pragma once
// HANDLE_MANAGEMENT_COMMANDS: the loop in which the agent waits for the
// management server's commands, executes them and, between commands, looks
// for local changes that diverge from the desired state. Also the pending
// answer to a Reboot command, which can only be sent after the reboot.
#include <nlohmann/json.hpp>

#include <memory>
#include <string>

#include "core/state.h"
#include "messaging/mqtt_client.h"

namespace velmo {

constexpr int kReceiveSliceSeconds = 3;
constexpr int kLocalCheckPeriod = 15;        // after a check that found nothing
constexpr int kLocalCheckErrorPause = 600;   // after a check that failed
constexpr unsigned kReceiveErrorPause = 30;  // after a receive failure other than timeout or disconnection

// A command of the management server in its parsed form.
struct ManagementCommand {
    int32_t type = 0;
    int32_t id = 0;
    nlohmann::json payload;  // "p"; null when absent
};

std::string reboot_request_path();  // _top + _data + "reboot_request.json"

AgentState state_handle_management_commands(std::unique_ptr<MqttClientVelmo>& client, Schedule& schedule,
                                            AgentContext& context, ExitRequest& exit_request);
// HANDLE_MANAGEMENT_COMMANDS to stay in the loop, SYNC_CONFIG_PROFILE after a divergence was found.
AgentState handle_local_changes(MqttClientVelmo& client, Schedule& schedule, AgentContext& context);
// Raises the JSON library's errors (and std::out_of_range for numbers outside 32 bits).
ManagementCommand parse_command(const nlohmann::json& message);

void load_reboot_request(RebootRequest& request);
void save_reboot_request(const RebootRequest& request);
void reset_reboot_request(RebootRequest& request);

}  // namespace velmo
