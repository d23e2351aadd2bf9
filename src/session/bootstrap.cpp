#include "session/bootstrap.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "core/clock.h"
#include "core/exception.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/signals.h"
#include "core/utils.h"
#include "messaging/messages.h"
#include "session/credentials.h"
#include "telemetry/status_reader.h"

namespace velmo {

using nlohmann::json;

const char* const kDefaultBootstrapHost = "bootstrap.velmo.morvane.net";
const char* const kLegacyBootstrapHost = "bs.morvane.net";

std::string management_server_path() { return data_path("management-server.json"); }

std::string bootstrap_result_to_string(int code) {
    switch (code) {
        case 0: return "Ok";
        case 1: return "GeneralFailure";
        case 2: return "UnknownDevice";
        case 3: return "NotEnoughSpace";
        default: return "Unknown(" + std::to_string(code) + ")";
    }
}

namespace {

const char* initial_decision(AgentSettings& settings, const ManagementServer& server) {
    const std::string last = last_bs_address_path();
    if (!file_exists(last) || file_read(last) != settings.bootstrap_server)
        return "Bootstrap server address changed. Proceding to Bootstrap.";
    if (!file_exists(client_cert_path()) || !file_exists(client_key_path()))
        return "Client certificate and/or key not found. Proceding to Bootstrap.";
    if (server.addr.empty()) return "Management server address is unknown. Proceding to Bootstrap.";
    return nullptr;
}

}  // namespace

AgentState state_initial(std::unique_ptr<MqttClientVelmo>& client, AgentSettings& settings,
                         ManagementServer& server) {
    // The old session goes first: a new one binds the library callbacks to itself.
    client.reset();
    client = std::make_unique<MqttClientVelmo>(device_id(), "", static_cast<int>(settings.keepalive_interval), 30);
    client->setWill(make_online_message(false));
    if (settings.log_level == "trace") client->enableTrace();

    if (!file_exists(ca_cert_path())) file_copy(default_ca_cert_path(), ca_cert_path());
    if (settings.monitoring_enabled == 0)
        vlog(LOG_INFO, "Reporting metrics will be skipped due to MONITORING_ENABLED setting.");

    if (settings.bootstrap_server == kLegacyBootstrapHost) {
        set_bootstrap_server(settings, kDefaultBootstrapHost);
        write_agent_settings(settings);
        vlog(LOG_INFO, "Detected 2.x.x server address. Changing the bootstrap server address to '%s'.",
             settings.bootstrap_server.c_str());
        return AgentState::BOOTSTRAP;
    }
    if (const char* reason = initial_decision(settings, server)) {
        vlog(LOG_INFO, "%s", reason);
        return AgentState::BOOTSTRAP;
    }
    if (server.port < 1 || server.port > 65535) {
        vlog(LOG_INFO, "Management server port is invalid (%d). Proceding to Bootstrap.", server.port);
        return AgentState::BOOTSTRAP;
    }
    if (cert_expires_soon(client_cert_path())) {
        vlog(LOG_INFO, "Client certificate is expired. Proceding to Bootstrap.");
        return AgentState::BOOTSTRAP;
    }
    vlog(LOG_INFO, "Client credentials detected. Skipping bootstrap.");
    return AgentState::CONNECT_TO_MS;
}

namespace {

// A server host as the reply holds it. A control character or a blank is
// refused: written into the settings file, a line break would add lines of
// its own (another key, for example).
std::string reply_host(const json& value, const char* handler) {
    std::string host = value.get<std::string>();
    for (unsigned char c : host)
        if (c <= ' ' || c == 0x7f) throw VelmoException("%s: invalid value of %s", handler, "srv_addr");
    return host;
}

// A port as the reply holds it: an integer that fits a TCP port, never a
// wrapped value.
int reply_port(const json& value) { return static_cast<int>(json_integer(value, 0, 65535)); }

}  // namespace

void handle_redirect_bs_msg(const json& payload, AgentSettings& settings) {
    for (const char* key : {"ca", "srv_addr", "srv_port"}) {
        bool present = payload.is_object() && payload.contains(key);
        const json* value = present ? &payload[key] : nullptr;
        if (!value || value->is_null() || ((value->is_object() || value->is_array()) && value->empty()))
            throw VelmoException("handle_redirect_bs_msg: missing key or value of %s", key);
    }
    const std::string ca = payload["ca"].get<std::string>();
    if (file_read(ca_cert_path()).find(ca) == std::string::npos) file_write(ca, ca_cert_path(), "a");
    // Both are checked before the settings file is touched.
    const std::string host = reply_host(payload["srv_addr"], "handle_redirect_bs_msg");
    const int port = reply_port(payload["srv_port"]);
    set_bootstrap_server(settings, host);
    set_bootstrap_port(settings, static_cast<uint32_t>(port));
    write_agent_settings(settings);
    vlog(LOG_INFO, "Redirected to another bootstrap server: %s:%d", host.c_str(), port);
}

AgentState handle_received_msg(const json& reply, AgentSettings& settings, ManagementServer& server) {
    const bool typed = reply.is_object() && reply.contains("t");
    const int type = typed ? static_cast<int>(json_integer(reply["t"], INT32_MIN, INT32_MAX)) : 0;
    const int code = static_cast<int>(json_integer(reply.at("c"), INT32_MIN, INT32_MAX));
    if (code != 0)
        throw VelmoException("Received a negative response from the server: '%s'",
                             bootstrap_result_to_string(code).c_str());
    const json& payload = reply.at("p");
    if (type == static_cast<int>(MessageType::BootstrapResponse)) {
        vlog(LOG_INFO, "Bootstrap successful, flushing cert to disk.");
        // The certificate is checked against the CSR before it replaces the
        // stored one, so a bad reply never destroys working credentials.
        const std::string received = client_cert_path() + ".new";
        file_write(payload.at("cert").get<std::string>(), received, "w");
        if (!cert_matches_csr(client_csr_path(), received)) {
            unlink(received.c_str());
            throw VelmoException("Received certificate does not match CSR that was sent out!");
        }
        if (rename(received.c_str(), client_cert_path().c_str()) != 0)
            throw VelmoException("Failed to open file '%s': %s", client_cert_path().c_str(), strerror(errno));
        const std::string addr = reply_host(payload.at("srv_addr"), "handle_received_msg");
        const int port = reply_port(payload.at("srv_port"));
        server.addr = addr;
        server.port = port;
        // Kept at once, so that a crash does not cost another bootstrap.
        save_management_server(server);
        return AgentState::CONNECT_TO_MS;
    }
    if (type == static_cast<int>(MessageType::BootstrapRedirect)) {
        handle_redirect_bs_msg(payload, settings);
        return AgentState::BOOTSTRAP;
    }
    throw VelmoException("handle_received_msg: unknown message type (%d)", type);
}

AgentState state_bootstrap(std::unique_ptr<MqttClientVelmo>& slot, AgentSettings& settings,
                           ManagementServer& server) {
    if (settings.skip_bootstrap) {
        if (!server.addr.empty() && server.port > 0) {
            vlog(LOG_INFO, "Skipping bootstrap due to SKIP_BOOTSTRAP setting.");
            return AgentState::CONNECT_TO_MS;
        }
        vlog(LOG_ERR, "SKIP_BOOTSTRAP is enabled, but MS address or port is not valid!. Retry in %d seconds", 60);
        sleep_seconds(60);
        return AgentState::BOOTSTRAP;
    }
    MqttClientVelmo& client = *slot;
    client.configureSSL(ca_cert_path(), "", "", "");
    if (!file_exists(client_csr_path())) create_credentials(device_id(), get_serial_number());
    const MqttMessage request = make_bootstrap_request(file_read(client_csr_path()));

    int pause = kFirstRetryPause;
    for (int attempt = 0;; ++attempt) {
        if (attempt == kBootstrapAttempts) {
            client.disconnect();
            vlog(LOG_INFO, "Maximum number of attempts reached (%d).", kBootstrapAttempts);
            return AgentState::INITIAL;
        }
        try {
            if (!client.isConnected() || client.subscriptions().empty()) {
                vlog(LOG_DEBUG, "Connecting to BS.");
                const int port = static_cast<int>(settings.bootstrap_port);
                MqttResult r = client.connect(settings.bootstrap_server, port, 30);
                if (!r.ok())
                    throw VelmoException("Connection to '%s:%d' failed [%d]: '%s'", settings.bootstrap_server.c_str(),
                                         port, r.code, r.message.c_str());
                const std::string topic = topic_bootstrap_replies(device_id());
                r = client.subscribe(topic, 2);
                if (!r.ok())
                    throw VelmoException("Subscribing to topic '%s' failed: '%s'.", topic.c_str(), r.message.c_str());
            }
            vlog(LOG_DEBUG, "Connected. Beginning message exchange.");
            MqttResult r = client.publish(request, true);
            if (!r.ok()) throw VelmoException("Sending a message failed: '%s'.", r.message.c_str());
            MqttMessage reply;
            r = client.receive(reply, 30);
            if (!r.ok()) {
                if (r.code == -9997) throw VelmoException("No response from the server.");
                if (r.code == -9996) throw VelmoException("Connection lost while waiting for a response from server.");
                throw VelmoException("Receiving a message failed: '%s'", r.message.c_str());
            }
            AgentState next = handle_received_msg(json::parse(reply.payload), settings, server);
            vlog(LOG_INFO, "Bootstrap is completed.");
            const std::string last = last_bs_address_path();
            if (!file_exists(last) || file_read(last) != settings.bootstrap_server)
                file_write(settings.bootstrap_server, last, "w");
            client.disconnect();
            return next;
        } catch (const std::exception& e) {
            if (SIGTERM_ARRIVED) return AgentState::EXIT;
            vlog(LOG_ERR, "%s", e.what());
            vlog(LOG_ERR, "Next bootstrap attempt in %d seconds.", pause);
            sleep_and_backoff(pause, kMaxRetryPause);
        }
    }
}

void load_management_server(ManagementServer& server) {
    const std::string path = management_server_path();
    if (!file_exists(path)) return;
    try {
        json j = json::parse(file_read(path));
        server.addr = j.at("addr").get<std::string>();
        // A port that does not fit the record is a bad file, never a wrapped
        // value; one that fits but is no TCP port is left to INITIAL to refuse.
        server.port = static_cast<int32_t>(json_integer(j.at("port"), INT32_MIN, INT32_MAX, true));
    } catch (const std::exception& e) {
        vlog(LOG_WARNING, "Failed to load data from file '%s'. (%s)", path.c_str(), e.what());
        file_quarantine(path);
    }
}

void save_management_server(const ManagementServer& server) {
    if (server.addr.empty() || server.port <= 0) return;
    json j = {{"addr", server.addr}, {"port", server.port}};
    file_write(j.dump(), management_server_path(), "w");
}

void clear_management_server(ManagementServer& server) {
    unlink(management_server_path().c_str());
    load_management_server(server);
}

}  // namespace velmo
