#include "core/state.h"

#include <cstdlib>

#include "core/clock.h"

namespace velmo {

const char* state_to_string(AgentState state) {
    switch (state) {
        case AgentState::INITIAL: return "INITIAL";
        case AgentState::BOOTSTRAP: return "BOOTSTRAP";
        case AgentState::CONNECT_TO_MS: return "CONNECT_TO_MS";
        case AgentState::HANDLE_MANAGEMENT_COMMANDS: return "HANDLE_MANAGEMENT_COMMANDS";
        case AgentState::GREET_SERVER: return "GREET_SERVER";
        case AgentState::REPORT_METRICS: return "REPORT_METRICS";
        case AgentState::SYNC_CONFIG_PROFILE: return "SYNC_CONFIG_PROFILE";
        case AgentState::EXIT: return "EXIT";
    }
    return "UNKNOWN";
}

Schedule make_schedule(uint32_t monitoring_interval_minutes) {
    Schedule s;
    s.report_period = static_cast<int32_t>(monitoring_interval_minutes * 60u);
    srand(static_cast<unsigned>(now()));
    s.next_report_time = static_cast<int32_t>(now()) + rand() % 30;
    s.next_full_report_time = static_cast<int32_t>(now());
    s.next_local_check_time = static_cast<int32_t>(now());
    return s;
}

}  // namespace velmo
