#pragma once
// The agent's own settings, read once at start from its settings file.
#include <cstdint>
#include <string>

namespace velmo {

struct AgentSettings {
    uint32_t enabled = 0;
    bool skip_bootstrap = false;
    std::string bootstrap_server;
    uint32_t bootstrap_port = 0;
    uint32_t ssl_disabled = 0;
    std::string log_level;
    uint32_t keepalive_interval = 0;
    uint32_t monitoring_enabled = 0;
    uint32_t monitoring_interval = 0;
};

void read_agent_settings(AgentSettings& settings);
// Rewrites the settings file with the agent's keys only; false when it
// cannot be written.
bool write_agent_settings(const AgentSettings& settings);
void set_bootstrap_server(AgentSettings& settings, const std::string& host);
void set_bootstrap_port(AgentSettings& settings, uint32_t port);

}  // namespace velmo
