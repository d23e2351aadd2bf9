#include "messaging/messages.h"

#include <openssl/evp.h>

#include <stdexcept>

#include "core/exception.h"
#include "core/utils.h"
#include "telemetry/status_reader.h"

namespace velmo {
namespace {

using nlohmann::json;

constexpr int kQosOnce = 1;     // at least once
constexpr int kQosExactly = 2;  // exactly once

MqttMessage message(const std::string& topic, const json& body, int qos) {
    MqttMessage m;
    m.topic = topic;
    m.payload = body.dump();  // compact; members in name order; raises on invalid UTF-8
    m.qos = qos;
    m.retained = false;
    return m;
}

int type_code(MessageType type) { return static_cast<int>(type); }

// An answer to a command: {"c":code,"id":id,"t":type}.
json answer(MessageType type, int request_id, int code) {
    return json{{"c", code}, {"id", request_id}, {"t", type_code(type)}};
}

std::string sha1_hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha1(), nullptr) != 1)
        throw VelmoException("make_bootstrap_request: SHA-1 digest failed.");
    return hex_lower(digest, length);
}

json text_or_null(const std::string& text) { return text.empty() ? json(nullptr) : json(text); }

bool empty_or_null(const json& value) { return value.is_null() || value.empty(); }

}  // namespace

std::string device_id() { return get_mac_address(); }

std::string topic_commands(const std::string& id) { return "sr/cmd/" + id + "/#"; }
std::string topic_greetings_replies(const std::string& id) { return "sr/greetings/" + id; }
std::string topic_bootstrap_replies(const std::string& id) { return "sr/bootstrap/" + id; }
std::string topic_online(const std::string& id) { return "sr/" + id + "/notify/online"; }
std::string topic_metrics(const std::string& id) { return "sr/" + id + "/notify/metrics"; }
std::string topic_sync_event(const std::string& id) { return "sr/" + id + "/notify/sync-event"; }
std::string topic_rebootstrap_response(const std::string& id) { return "sr/" + id + "/cmd/rebootstrap"; }
std::string topic_reboot_response(const std::string& id) { return "sr/" + id + "/cmd/reboot"; }
std::string topic_snapshot_response(const std::string& id) { return "sr/" + id + "/cmd/snapshot"; }
std::string topic_apply_config_response(const std::string& id) { return "sr/" + id + "/cmd/config"; }
std::string topic_bootstrap_request(const std::string& id) { return "sr/" + id + "/bootstrap"; }
std::string topic_greetings(const std::string& id) { return "sr/" + id + "/greetings"; }

std::string make_reply_topic(const std::string& received_topic) {
    std::vector<std::string> pieces = string_split(received_topic, '/');
    if (pieces.empty()) throw std::out_of_range("make_reply_topic: empty topic");
    if (pieces.size() == 2) throw std::out_of_range("make_reply_topic: topic '" + received_topic + "' is too short");
    if (pieces.size() > 2) std::swap(pieces[1], pieces[2]);
    std::string out;
    for (const auto& piece : pieces) out += piece + '/';
    out.pop_back();
    return out;
}

MqttMessage make_online_message(bool online) {
    json body{{"p", {{"online", online}}}, {"t", type_code(MessageType::Online)}};
    return message(topic_online(device_id()), body, kQosOnce);
}

MqttMessage make_metrics_message(const json& changed, const json& other, const std::string& report_time) {
    json payload = json::object();
    if (!empty_or_null(changed)) payload["chv"] = changed;
    payload["dt"] = report_time;
    if (!empty_or_null(other)) payload["v"] = other;
    json body{{"p", payload}, {"t", type_code(MessageType::Metrics)}};
    return message(topic_metrics(device_id()), body, kQosExactly);
}

MqttMessage make_sync_event_message(const std::vector<ConfigChange>& changes, const std::string& event_time) {
    json list = json::array();
    for (const auto& change : changes) {
        json item{{"name", change.name}, {"type", change.type}};
        if (change.from != change.to) {
            item["from"] = change.from;
            item["to"] = change.to;
        }
        list.push_back(std::move(item));
    }
    json body{{"p", {{"changes", list}, {"dt", event_time}}}, {"t", type_code(MessageType::SyncEvent)}};
    return message(topic_sync_event(device_id()), body, kQosExactly);
}

MqttMessage make_rebootstrap_response(int request_id) {
    return message(topic_rebootstrap_response(device_id()), answer(MessageType::RebootstrapResponse, request_id, 0),
                   kQosOnce);
}

MqttMessage make_reboot_response(int request_id) {
    return message(topic_reboot_response(device_id()), answer(MessageType::RebootResponse, request_id, 0), kQosOnce);
}

MqttMessage make_snapshot_response(int request_id, int result_code, const std::string& snapshot) {
    json body = answer(MessageType::SnapshotResponse, request_id, result_code);
    if (result_code == 0) body["p"] = {{"snapshot", base64_encode(snapshot)}};
    return message(topic_snapshot_response(device_id()), body, kQosOnce);
}

MqttMessage make_apply_config_response(int request_id, int result_code, const std::string& error_text,
                                       const std::string& config_hash) {
    json body = answer(MessageType::ApplyConfigResponse, request_id, result_code);
    if (!error_text.empty()) body["err_msg"] = error_text;
    if (result_code == 0) body["p"] = {{"config_hash", config_hash}};
    return message(topic_apply_config_response(device_id()), body, kQosOnce);
}

MqttMessage make_bootstrap_request(const std::string& csr) {
    std::string imei = get_imei();
    std::string serial = get_serial_number();
    json payload{{"csr", csr}, {"imei", text_or_null(imei)},
                 {"serial", serial.empty() ? json(nullptr) : json(sha1_hex(serial))}};
    json body{{"p", payload}, {"t", type_code(MessageType::BootstrapRequest)}};
    return message(topic_bootstrap_request(device_id()), body, kQosOnce);
}

MqttMessage make_greetings_message(const std::string& version, const std::string& config_hash) {
    json body{{"p", {{"config_hash", config_hash}, {"version", version}}}, {"t", type_code(MessageType::Greetings)}};
    return message(topic_greetings(device_id()), body, kQosOnce);
}

MqttMessage make_unsupported_message_response(int request_id, const std::string& received_topic) {
    // The topic first: a topic too short to answer on raises before anything else.
    std::string topic = make_reply_topic(received_topic);
    return message(topic, answer(MessageType::UnsupportedMessageResponse, request_id, 4), kQosOnce);
}

}  // namespace velmo
