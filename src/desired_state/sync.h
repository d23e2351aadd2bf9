#pragma once
// The desired-state sync: one pass brings the router to the configuration
// profile (firmware, files, apps, settings, accounts, in that order), collects
// what failed and answers the server's ApplyConfig request once.
#include <string>

#include "core/state.h"
#include "messaging/mqtt_client.h"

namespace velmo {

enum class SyncStatus : int32_t { Reached = 0, Pending = 1, Failed = 2 };  // values of SyncRequest::status

std::string sync_request_path();  // _top + _data + "sync_request.json"

// Never raises: a file that cannot be read is moved aside as path + "_err" and
// the defaults are used.
void load_sync_request(SyncRequest& request);
void save_sync_request(const SyncRequest& request);
void reset_sync_request(SyncRequest& request);

// The SYNC_CONFIG_PROFILE handler: EXIT when the pass needs the agent to end
// (reboot, own update or restart), CONNECT_TO_MS when the answer could not be
// sent for a lost connection, else HANDLE_MANAGEMENT_COMMANDS.
AgentState sync_config_profile(MqttClientVelmo& client, SyncRequest& sync_request, const ConfigProfile& profile,
                               ExitRequest& exit_request);

}  // namespace velmo
