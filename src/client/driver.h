#pragma once
// The state machine that runs the agent's whole life: one handler at a time,
// each returning the next state; errors are logged, waited out for 300 s and
// answered by starting again from INITIAL.
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "core/settings.h"
#include "core/state.h"
#include "messaging/mqtt_client.h"

namespace velmo {

// What the driver owns for the whole run; handlers get references into it.
struct AgentRuntime {
    explicit AgentRuntime(AgentSettings& s) : settings(s) {}
    AgentSettings& settings;
    std::unique_ptr<MqttClientVelmo> client;  // the client slot
    AgentContext context;
    Schedule schedule;
    ExitRequest exit_request;
    bool greeted = false;
};

using StateHandler = std::function<AgentState(AgentRuntime&)>;

// A persisted member of AgentContext: loaded when the driver starts and saved
// by the EXIT handler, both in the order of registration.
struct PersistedMember {
    std::function<void(AgentContext&)> load;
    std::function<void(AgentContext&)> save;
};

struct StateMachine {
    std::map<AgentState, StateHandler> handlers;  // every state but EXIT
    std::vector<PersistedMember> persisted;
};

// Seconds the driver waits after an error before starting again.
constexpr unsigned kRecoveryPauseSeconds = 300;

// Returns when EXIT has been handled.
void run_state_machine(AgentSettings& settings, const StateMachine& machine);

// The EXIT handler: saves the persisted members, publishes the offline
// message, then reboots, updates or restarts the agent as requested. Never raises.
void state_exit(std::unique_ptr<MqttClientVelmo>& client, AgentContext& context, const ExitRequest& exit_request,
                const std::vector<PersistedMember>& persisted);

}  // namespace velmo
