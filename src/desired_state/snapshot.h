#pragma once
// The router's present configuration in the profile schema, sent back to the
// management server on request.
#include <nlohmann/json.hpp>

#include "core/state.h"
#include "messaging/mqtt_client.h"

namespace velmo {

// Firmware version, installed apps, accounts, settings and existing managed
// scripts; raises on the first source that fails.
nlohmann::json build_current_profile();

// command: the parsed JSON envelope of the received Snapshot command. Only an
// envelope without "id" raises.
AgentState handle_snapshot_request(const nlohmann::json& command, MqttClientVelmo& client);

}  // namespace velmo
