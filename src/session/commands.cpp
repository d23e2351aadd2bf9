#include "session/commands.h"

#include <unistd.h>

#include <set>
#include <stdexcept>

#include "core/clock.h"
#include "core/exception.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/signals.h"
#include "core/utils.h"
#include "desired_state/change_detection.h"
#include "desired_state/profile.h"
#include "desired_state/snapshot.h"
#include "desired_state/sync.h"
#include "messaging/messages.h"
#include "session/bootstrap.h"
#include "session/connection.h"
#include "session/credentials.h"
#include "telemetry/metrics_history.h"
#include "telemetry/reporting.h"

namespace velmo {

using nlohmann::json;

namespace {

// The library would silently truncate a float, wrap a huge number and take a
// boolean for a number; a command id or type must be a whole 32-bit number.
int32_t read_int32(const json& value) {
    json_number(value);
    if (!value.is_number_integer())
        throw json::type_error::create(302, "type must be an integer, but is " + value.dump(), &value);
    const bool in_range = value.is_number_unsigned() ? value.get<uint64_t>() <= INT32_MAX
                                                     : (value.get<int64_t>() >= INT32_MIN &&
                                                        value.get<int64_t>() <= INT32_MAX);
    if (!in_range) throw std::out_of_range("number out of the 32-bit range: " + value.dump());
    return static_cast<int32_t>(value.get<int64_t>());
}

int32_t now32() { return static_cast<int32_t>(now()); }

std::set<std::string> requested_metrics(const ConfigProfile& profile) {
    std::set<std::string> names;
    for (const auto& entry : reported_metrics(profile)) names.insert(entry.first);
    return names;
}

AgentState handle_rebootstrap(const json& message, MqttClientVelmo& client, AgentContext& context) {
    const ManagementCommand command = parse_command(message);
    client.publish(make_rebootstrap_response(command.id), false);
    client.publish(make_online_message(false), false);
    client.disconnect();
    reset_reboot_request(context.reboot_request);
    reset_sync_request(context.sync_request);
    clear_profile(context.config_profile);
    reset_metrics_history(context.metrics_history);
    clear_management_server(context.management_server);
    // The CA file and the last bootstrap address stay; without the CSR the
    // next bootstrap makes a new key.
    for (const std::string& path : {client_cert_path(), client_key_path(), client_csr_path()}) unlink(path.c_str());
    return AgentState::BOOTSTRAP;
}

AgentState handle_reboot(const json& message, AgentContext& context, ExitRequest& exit_request) {
    const ManagementCommand command = parse_command(message);
    context.reboot_request.request_id = command.id;
    context.reboot_request.response_sent = false;
    exit_request.reboot = true;
    return AgentState::EXIT;
}

AgentState handle_apply_config(const json& message, Schedule& schedule, AgentContext& context) {
    const ManagementCommand command = parse_command(message);
    const ApplyConfigPayload payload = parse_apply_config_payload(command.payload);
    // Decoding and parsing fail before anything is changed: a profile that was
    // never taken must not leave a pending request that the next sync would
    // answer as reached, with this profile's hash.
    const std::string text = decode_compressed_payload(payload.config);
    ConfigProfile profile;
    replace_profile_from_text(profile, text);

    SyncRequest& sync = context.sync_request;
    sync.status = static_cast<int32_t>(SyncStatus::Pending);
    sync.request_id = command.id;
    sync.response_sent = false;
    sync.config_hash = payload.config_hash;

    // The profile in memory may be one whose reporting section could not be read
    // (its command failed there and it stayed); it must not refuse every later
    // profile, so it counts as requesting no metrics.
    std::set<std::string> before;
    try {
        before = requested_metrics(context.config_profile);
    } catch (const std::exception&) {
    }
    context.config_profile = std::move(profile);
    const std::set<std::string> after = requested_metrics(context.config_profile);
    save_profile(context.config_profile);
    context.full_report_pending = true;

    for (const auto& name : after) {
        if (!before.count(name)) {
            // The new metrics are reported first; the pending sync follows.
            schedule.next_report_time = now32();
            return AgentState::REPORT_METRICS;
        }
    }
    return AgentState::SYNC_CONFIG_PROFILE;
}

AgentState handle_unsupported(const json& message, const MqttMessage& received, MqttClientVelmo& client) {
    vlog(LOG_WARNING, "Warning! An unsupported message arrived to topic '%s'", received.topic.c_str());
    if (message.is_object() && message.contains("id"))
        client.publish(make_unsupported_message_response(read_int32(message["id"]), received.topic), false);
    return AgentState::HANDLE_MANAGEMENT_COMMANDS;
}

AgentState dispatch(const json& message, const MqttMessage& received, MqttClientVelmo& client, Schedule& schedule,
                    AgentContext& context, ExitRequest& exit_request) {
    switch (static_cast<MessageType>(read_int32(message.at("t")))) {
        case MessageType::Rebootstrap:
            return handle_rebootstrap(message, client, context);
        case MessageType::Reboot:
            return handle_reboot(message, context, exit_request);
        case MessageType::Snapshot:
            return handle_snapshot_request(message, client);
        case MessageType::ApplyConfig:
            return handle_apply_config(message, schedule, context);
        case MessageType::ClientOverride:
            return handle_client_override(parse_client_override(message), context.config_profile);
        default:
            return handle_unsupported(message, received, client);
    }
}

// Any error ends the command, not the loop; changes it already made stay.
AgentState handle_message(const MqttMessage& received, MqttClientVelmo& client, Schedule& schedule,
                          AgentContext& context, ExitRequest& exit_request) {
    try {
        const json message = json::parse(received.payload);
        return dispatch(message, received, client, schedule, context, exit_request);
    } catch (const std::exception& e) {
        vlog(LOG_ERR, "Handling message failed: '%s'", e.what());
        return AgentState::HANDLE_MANAGEMENT_COMMANDS;
    }
}

constexpr int kReceiveTimeout = -9997;
constexpr int kReceiveDisconnected = -9996;

}  // namespace

ManagementCommand parse_command(const json& message) {
    ManagementCommand command;
    command.id = read_int32(message.at("id"));
    command.type = read_int32(message.at("t"));
    if (message.is_object() && message.contains("p")) command.payload = message["p"];
    return command;
}

AgentState handle_local_changes(MqttClientVelmo& client, Schedule& schedule, AgentContext& context) {
    if (schedule.next_local_check_time > now32()) return AgentState::HANDLE_MANAGEMENT_COMMANDS;
    try {
        const std::vector<ConfigChange> changes = detect_app_divergences(context.config_profile);
        if (changes.empty()) {
            schedule.next_local_check_time = now32() + kLocalCheckPeriod;
            return AgentState::HANDLE_MANAGEMENT_COMMANDS;
        }
        client.publish(make_sync_event_message(changes, format_utc_timestamp()), false);
        context.sync_request.status = static_cast<int32_t>(SyncStatus::Pending);
        return AgentState::SYNC_CONFIG_PROFILE;
    } catch (const std::exception& e) {
        schedule.next_local_check_time = now32() + kLocalCheckErrorPause;
        vlog(LOG_ERR, "handle_local_changes: '%s'", e.what());
        vlog(LOG_INFO, "Pausing execution of local checks for the next %d seconds due to errors.",
             kLocalCheckErrorPause);
        return AgentState::HANDLE_MANAGEMENT_COMMANDS;
    }
}

AgentState state_handle_management_commands(std::unique_ptr<MqttClientVelmo>& slot, Schedule& schedule,
                                            AgentContext& context, ExitRequest& exit_request) {
    MqttClientVelmo& client = *slot;
    RebootRequest& reboot = context.reboot_request;
    if (!reboot.response_sent && client.publish(make_reboot_response(reboot.request_id), false).ok())
        reboot.response_sent = true;

    for (;;) {
        if (schedule.next_report_time <= now32()) return AgentState::REPORT_METRICS;
        if (SIGTERM_ARRIVED) return AgentState::EXIT;
        if (!client.isConnected()) return AgentState::CONNECT_TO_MS;
        client.resendFailedMessages();

        // receive() returns as soon as a message is queued, so a command is
        // handled when it arrives; the slice only bounds how late the report
        // time, SIGTERM and a lost connection are noticed.
        MqttMessage message;
        const MqttResult result = client.receive(message, kReceiveSliceSeconds);
        if (result.ok()) {
            const AgentState next = handle_message(message, client, schedule, context, exit_request);
            if (next != AgentState::HANDLE_MANAGEMENT_COMMANDS) return next;
        } else if (result.code == kReceiveTimeout) {
            // A termination request ends the wait early; it is answered at the top of the pass.
            if (SIGTERM_ARRIVED) continue;
            switch (static_cast<SyncStatus>(context.sync_request.status)) {
                case SyncStatus::Reached: {
                    const AgentState next = handle_local_changes(client, schedule, context);
                    if (next != AgentState::HANDLE_MANAGEMENT_COMMANDS) return next;
                    break;
                }
                case SyncStatus::Pending:
                    return AgentState::SYNC_CONFIG_PROFILE;
                default:  // Failed: no local checks until the next profile
                    break;
            }
        } else if (result.code == kReceiveDisconnected || result.status == MqttStatus::Disconnected) {
            return AgentState::CONNECT_TO_MS;
        } else {
            vlog(LOG_ERR, "Receiving a message failed with error: '%s'.", result.message.c_str());
            sleep_seconds(kReceiveErrorPause);
        }
    }
}

std::string reboot_request_path() { return data_path("reboot_request.json"); }

void load_reboot_request(RebootRequest& request) {
    const std::string path = reboot_request_path();
    if (file_exists(path)) {
        try {
            const json j = json::parse(file_read(path));
            const bool sent = j.at("response_sent").get<bool>();
            request.request_id = read_int32(j.at("request_id"));
            request.response_sent = sent;
            return;
        } catch (const std::exception& e) {
            vlog(LOG_WARNING, "Failed to load data from file '%s'. (%s)", path.c_str(), e.what());
            file_quarantine(path);
        }
    }
    request = RebootRequest{};
}

void save_reboot_request(const RebootRequest& request) {
    const json j = {{"request_id", request.request_id}, {"response_sent", request.response_sent}};
    file_write(j.dump(), reboot_request_path(), "w");
}

void reset_reboot_request(RebootRequest& request) {
    unlink(reboot_request_path().c_str());
    load_reboot_request(request);
}

}  // namespace velmo
