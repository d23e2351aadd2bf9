#include "client/agent_machine.h"

#include "desired_state/profile.h"
#include "desired_state/sync.h"
#include "session/bootstrap.h"
#include "session/commands.h"
#include "session/connection.h"
#include "telemetry/metrics_history.h"
#include "telemetry/reporting.h"

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
    m.handlers[AgentState::HANDLE_MANAGEMENT_COMMANDS] = [](AgentRuntime& rt) {
        return state_handle_management_commands(rt.client, rt.schedule, rt.context, rt.exit_request);
    };
    m.handlers[AgentState::SYNC_CONFIG_PROFILE] = [](AgentRuntime& rt) {
        return sync_config_profile(*rt.client, rt.context.sync_request, rt.context.config_profile, rt.exit_request);
    };
    m.handlers[AgentState::REPORT_METRICS] = [](AgentRuntime& rt) {
        return report_metrics(*rt.client, rt.schedule, rt.context, rt.settings.monitoring_enabled != 0);
    };

    // Loaded in this order at start and saved in this order at exit.
    m.persisted.push_back({[](AgentContext& c) { load_reboot_request(c.reboot_request); },
                           [](AgentContext& c) { save_reboot_request(c.reboot_request); }});
    m.persisted.push_back({[](AgentContext& c) { load_sync_request(c.sync_request); },
                           [](AgentContext& c) { save_sync_request(c.sync_request); }});
    m.persisted.push_back({[](AgentContext& c) { load_metrics_history(c.metrics_history); },
                           [](AgentContext& c) { save_metrics_history(c.metrics_history); }});
    m.persisted.push_back({[](AgentContext& c) { load_management_server(c.management_server); },
                           [](AgentContext& c) { save_management_server(c.management_server); }});
    m.persisted.push_back({[](AgentContext& c) { load_profile(c.config_profile); },
                           [](AgentContext& c) { save_profile(c.config_profile); }});
    return m;
}

}  // namespace velmo
