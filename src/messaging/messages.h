#pragma once
// The device id, the topics and every message the agent sends.
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "messaging/mqtt_client.h"

namespace velmo {

enum class MessageType : int {
    Online = 1,
    Metrics = 2,
    SyncEvent = 3,
    Rebootstrap = 4,
    RebootstrapResponse = 5,
    Reboot = 6,
    RebootResponse = 7,
    Snapshot = 8,
    SnapshotResponse = 9,
    ApplyConfig = 10,
    ApplyConfigResponse = 11,
    BootstrapRequest = 12,
    BootstrapResponse = 13,
    BootstrapRedirect = 14,
    Greetings = 15,
    UnsupportedMessageResponse = 16,
    ClientOverride = 30,
};

// One detected divergence of the router from the desired state.
struct ConfigChange {
    int type = 0;
    std::string name;
    std::string from;
    std::string to;
};

std::string device_id();

// Subscribed topics.
std::string topic_commands(const std::string& id);         // "sr/cmd/" + id + "/#"
std::string topic_greetings_replies(const std::string& id);  // "sr/greetings/" + id
std::string topic_bootstrap_replies(const std::string& id);  // "sr/bootstrap/" + id
// Published topics: "sr/" + id + suffix.
std::string topic_online(const std::string& id);
std::string topic_metrics(const std::string& id);
std::string topic_sync_event(const std::string& id);
std::string topic_rebootstrap_response(const std::string& id);
std::string topic_reboot_response(const std::string& id);
std::string topic_snapshot_response(const std::string& id);
std::string topic_apply_config_response(const std::string& id);
std::string topic_bootstrap_request(const std::string& id);
std::string topic_greetings(const std::string& id);

std::string make_reply_topic(const std::string& received_topic);

MqttMessage make_online_message(bool online);
MqttMessage make_metrics_message(const nlohmann::json& changed, const nlohmann::json& other,
                                 const std::string& report_time);
MqttMessage make_sync_event_message(const std::vector<ConfigChange>& changes, const std::string& event_time);
MqttMessage make_rebootstrap_response(int request_id);
MqttMessage make_reboot_response(int request_id);
MqttMessage make_snapshot_response(int request_id, int result_code, const std::string& snapshot);
MqttMessage make_apply_config_response(int request_id, int result_code, const std::string& error_text,
                                       const std::string& config_hash);
MqttMessage make_bootstrap_request(const std::string& csr);
MqttMessage make_greetings_message(const std::string& version, const std::string& config_hash);
MqttMessage make_unsupported_message_response(int request_id, const std::string& received_topic);

}  // namespace velmo
