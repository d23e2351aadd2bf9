#include "client/driver.h"

#include "core/clock.h"
#include "core/exception.h"
#include "core/heartbeat.h"
#include "core/log.h"
#include "core/router.h"
#include "core/signals.h"
#include "deployment/apps.h"
#include "messaging/messages.h"

namespace velmo {
namespace {

// The download URL of the agent's own package in the profile: the update at
// exit installs the file that this download wrote.
std::string own_package_url(const ConfigProfile& profile) {
    try {
        const auto& url = profile.at("apps").at("velmo_client").at("url");
        if (url.is_string()) return url.get<std::string>();
    } catch (const std::exception&) {
    }
    return {};
}

}  // namespace

void state_exit(std::unique_ptr<MqttClientVelmo>& client, AgentContext& context, const ExitRequest& exit_request,
                const std::vector<PersistedMember>& persisted) {
    try {
        for (const auto& member : persisted)
            if (member.save) member.save(context);
        if (client) client->publish(make_online_message(false), false);
        if (exit_request.reboot) {
            vlog(LOG_INFO, "Rebooting...");
            pause_seconds(1);  // SIGTERM may be why we are here: the pause still runs in full
            reboot_router();
        }
        if (exit_request.update_client) {
            vlog(LOG_INFO, "Updating client...");
            install_downloaded_app("velmo_client", false, own_package_url(context.config_profile));
        }
        if (exit_request.restart_client) {
            vlog(LOG_INFO, "Restarting client...");
            restart_service("velmo_client");
        }
    } catch (const std::exception& e) {
        vlog(LOG_ERR, "state_exit: '%s'", e.what());
    }
}

void run_state_machine(AgentSettings& settings, const StateMachine& machine) {
    AgentRuntime rt(settings);
    rt.schedule = make_schedule(settings.monitoring_interval);
    // Errors while loading reach main: each loader handles its own unreadable file.
    for (const auto& member : machine.persisted)
        if (member.load) member.load(rt.context);

    AgentState state = AgentState::INITIAL;
    for (;;) {
        try {
            vlog(LOG_DEBUG, "State: '%s'", state_to_string(state));
            if (SIGTERM_ARRIVED) state = AgentState::EXIT;
            if (state == AgentState::EXIT) {
                state_exit(rt.client, rt.context, rt.exit_request, machine.persisted);
                break;
            }
            auto handler = machine.handlers.find(state);
            if (handler == machine.handlers.end() || !handler->second)
                throw VelmoException("Unsupported state: %d", static_cast<int>(state));
            AgentState previous = state;
            state = handler->second(rt);
            if (previous == AgentState::BOOTSTRAP) rt.greeted = false;
            if (previous == AgentState::GREET_SERVER) rt.greeted = true;
            heartbeat();
        } catch (const std::exception& e) {
            vlog(LOG_ERR, "Critical error: '%s'", e.what());
            vlog(LOG_INFO, "Operations will resume in %d seconds.", static_cast<int>(kRecoveryPauseSeconds));
            sleep_seconds(kRecoveryPauseSeconds);
            state = AgentState::INITIAL;
        }
    }
    rt.client.reset();
}

}  // namespace velmo
