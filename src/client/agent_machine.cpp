#include "client/agent_machine.h"

#include <algorithm>

#include "core/clock.h"
#include "desired_state/profile.h"
#include "desired_state/sync.h"
#include "session/bootstrap.h"
#include "session/commands.h"
#include "session/connection.h"
#include "telemetry/metrics_history.h"

namespace velmo {
namespace {

// Until metrics are reported, REPORT_METRICS only moves the report time on;
// the floor keeps a zero period from sending every pass of the command loop here.
constexpr int32_t kMinReportPeriod = 60;

AgentState skip_report(Schedule& schedule) {
    schedule.next_report_time = static_cast<int32_t>(now()) + std::max(schedule.report_period, kMinReportPeriod);
    return AgentState::HANDLE_MANAGEMENT_COMMANDS;
}

}  // namespace

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
    m.handlers[AgentState::REPORT_METRICS] = [](AgentRuntime& rt) { return skip_report(rt.schedule); };

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
