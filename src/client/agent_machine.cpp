#include "client/agent_machine.h"

#include "desired_state/profile.h"
#include "session/bootstrap.h"
#include "session/connection.h"
#include "telemetry/metrics_history.h"

namespace velmo {

StateMachine agent_state_machine() {
    StateMachine m;
    m.handlers[AgentState::INITIAL] = [](AgentRuntime& rt) {
        return state_initial(rt.client, rt.settings, rt.context.management_server);
    };
    m.handlers[AgentState::BOOTSTRAP] = [](AgentRuntime& rt) {
        return state_bootstrap(rt.client, rt.settings, rt.context.management_server);
    };
    m.handlers[AgentState::CONNECT_TO_MS] = [](AgentRuntime& rt) {
        return state_connect_to_ms(rt.client, rt.context.management_server, rt.settings.ssl_disabled != 0, rt.greeted);
    };
    m.handlers[AgentState::GREET_SERVER] = [](AgentRuntime& rt) {
        return state_greet_server(rt.client, rt.context.sync_request.config_hash);
    };

    // Loaded in this order at start and saved in this order at exit.
    m.persisted.push_back({[](AgentContext& c) { load_metrics_history(c.metrics_history); },
                           [](AgentContext& c) { save_metrics_history(c.metrics_history); }});
    m.persisted.push_back({[](AgentContext& c) { load_management_server(c.management_server); },
                           [](AgentContext& c) { save_management_server(c.management_server); }});
    m.persisted.push_back({[](AgentContext& c) { load_profile(c.config_profile); },
                           [](AgentContext& c) { save_profile(c.config_profile); }});
    return m;
}

}  // namespace velmo
