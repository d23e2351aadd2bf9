#include "messaging/mqtt_client.h"

#include <openssl/bio.h>
#include <openssl/conf.h>
#include <openssl/ssl.h>

#include <ctime>
#include <functional>
#include <mutex>
#include <system_error>
#include <utility>

#include "core/clock.h"
#include "core/exception.h"
#include "core/log.h"
#include "core/signals.h"
#include "core/utils.h"

namespace velmo {
namespace {

constexpr size_t kPayloadLogChunk = 970;

// The library's TLS version setting has no effect with OpenSSL 3, so the
// sessions are held to TLS 1.2 through the process's OpenSSL configuration:
// every TLS context made afterwards starts from its "system_default" section.
// It is loaded in memory, after the system configuration (which is loaded only
// once per process and would otherwise replace it), and touches neither the
// environment nor the openssl and curl programs the agent starts.
const char kTls12Configuration[] =
    "openssl_conf = velmo_conf\n"
    "[velmo_conf]\n"
    "ssl_conf = velmo_ssl\n"
    "[velmo_ssl]\n"
    "system_default = velmo_tls\n"
    "[velmo_tls]\n"
    "MinProtocol = TLSv1.2\n"
    "MaxProtocol = TLSv1.2\n";

void restrict_tls_to_1_2() {
    if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_CONFIG, nullptr) != 1)
        throw VelmoException("Failed to initialise the TLS library.");
    BIO* bio = BIO_new_mem_buf(kTls12Configuration, -1);
    CONF* conf = NCONF_new(nullptr);
    long error_line = 0;
    bool loaded = bio && conf && NCONF_load_bio(conf, bio, &error_line) > 0 && CONF_modules_load(conf, nullptr, 0) > 0;
    NCONF_free(conf);
    BIO_free(bio);
    if (!loaded) throw VelmoException("Failed to restrict the TLS version to %s.", "TLSv1.2");
}

std::once_flag tls_restricted;

// The library takes plain functions; these process-wide callables carry each call to the object constructed
// last. The mutex makes rebinding safe while an older object's library thread may still deliver, and is held
// during a call so that a destructor never unbinds an object in the middle of one. It is recursive because a
// callback that calls the library (to free a message) may be traced back into the trace callback.
std::recursive_mutex global_callbacks_mutex;
const MqttClientVelmo* global_callbacks_owner = nullptr;
std::function<void(int, const char*)> global_trace_callback;
std::function<void(void*, char*)> global_connection_lost_callback;
std::function<int(void*, char*, int, MQTTClient_message*)> global_message_arrived_callback;

// The callbacks work only on their context, the Inbox, so they can run without an object as well.
void mark_connection_lost(void* context) {
    auto* inbox = static_cast<MqttClientVelmo::Inbox*>(context);
    std::lock_guard<std::mutex> lock(inbox->mutex);
    inbox->connected = false;
    inbox->arrived.notify_all();
}

int queue_arrived_message(void* context, char* topic_name, MQTTClient_message* message) {
    auto* inbox = static_cast<MqttClientVelmo::Inbox*>(context);
    MqttMessage received;
    received.topic = topic_name ? topic_name : "";
    if (message->payload && message->payloadlen > 0)
        received.payload.assign(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen));
    received.qos = message->qos;
    received.retained = message->retained != 0;
    {
        std::lock_guard<std::mutex> lock(inbox->mutex);
        inbox->queue.push_back(std::move(received));
        inbox->arrived.notify_all();
    }
    MQTTClient_freeMessage(&message);
    MQTTClient_free(topic_name);
    return 1;
}

void forward_trace(enum MQTTCLIENT_TRACE_LEVELS level, char* text) {
    std::lock_guard<std::recursive_mutex> lock(global_callbacks_mutex);
    if (global_trace_callback)
        global_trace_callback(static_cast<int>(level), text);
    else
        vlog(LOG_DEBUG, "%s", text);
}

void forward_connection_lost(void* context, char* cause) {
    std::lock_guard<std::recursive_mutex> lock(global_callbacks_mutex);
    if (global_connection_lost_callback)
        global_connection_lost_callback(context, cause);
    else
        mark_connection_lost(context);
}

int forward_message_arrived(void* context, char* topic_name, int topic_length, MQTTClient_message* message) {
    std::lock_guard<std::recursive_mutex> lock(global_callbacks_mutex);
    if (global_message_arrived_callback)
        return global_message_arrived_callback(context, topic_name, topic_length, message);
    return queue_arrived_message(context, topic_name, message);
}

// The library text "Failure" (code -1) says nothing; the caller's own text replaces it.
MqttResult replace_failure_text(MqttResult result, const char* text) {
    if (result.message == "Failure") result.message = text;
    return result;
}

void log_payload(const std::string& payload) {
    if (payload.size() <= kPayloadLogChunk) {
        vlog(LOG_DEBUG, "Payload: %s", payload.c_str());
    } else {
        vlog(LOG_DEBUG, "Payload: %s", payload.substr(0, kPayloadLogChunk).c_str());
        vlog(LOG_DEBUG, "%s", payload.substr(kPayloadLogChunk).c_str());
    }
}

}  // namespace

MqttResult MqttResult::from_rc(int rc) {
    MqttResult result;
    result.code = rc;
    if (rc == MQTTCLIENT_SUCCESS) {
        result.status = MqttStatus::Success;
        return result;
    }
    const char* text = MQTTClient_strerror(rc);
    result.message = text ? text : "";
    if (rc == MQTTCLIENT_TOPICNAME_TRUNCATED)
        result.status = MqttStatus::Success;
    else if (rc == MQTTCLIENT_DISCONNECTED)
        result.status = MqttStatus::Disconnected;
    else
        result.status = MqttStatus::Failure;
    return result;
}

MqttClientVelmo::Signal::Signal() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    int rc = pthread_cond_init(&cond_, &attr);
    pthread_condattr_destroy(&attr);
    if (rc != 0) throw std::system_error(rc, std::generic_category(), "pthread_cond_init");
}

MqttClientVelmo::Signal::~Signal() { pthread_cond_destroy(&cond_); }

void MqttClientVelmo::Signal::notify_all() { pthread_cond_broadcast(&cond_); }

bool MqttClientVelmo::Signal::wait_ms(std::unique_lock<std::mutex>& lock, int64_t ms) {
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += static_cast<time_t>(ms / 1000);
    until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    return pthread_cond_timedwait(&cond_, lock.mutex()->native_handle(), &until) == 0;
}

MqttClientVelmo::MqttClientVelmo(const std::string& client_id, const std::string& persistence_dir,
                                 int keepalive_interval_s, int timeout_s)
    : client_id_(client_id),
      persistence_dir_(persistence_dir),
      connect_options_(MQTTClient_connectOptions_initializer),
      create_options_(MQTTClient_createOptions_initializer),
      will_options_(MQTTClient_willOptions_initializer),
      ssl_options_(MQTTClient_SSLOptions_initializer),
      timeout_ms_(timeout_s * 1000) {
    std::call_once(tls_restricted, restrict_tls_to_1_2);
    connect_options_.keepAliveInterval = keepalive_interval_s;
    connect_options_.cleansession = 0;
    using namespace std::placeholders;
    std::lock_guard<std::recursive_mutex> lock(global_callbacks_mutex);
    global_callbacks_owner = this;
    global_trace_callback = std::bind(&MqttClientVelmo::trace_callback, this, _1, _2);
    global_connection_lost_callback = std::bind(&MqttClientVelmo::connection_lost_callback, this, _1, _2);
    global_message_arrived_callback = std::bind(&MqttClientVelmo::message_arrived_callback, this, _1, _2, _3, _4);
}

MqttClientVelmo::~MqttClientVelmo() {
    if (client_) {
        // Destroying a library client that is still connected leaves its socket open for the rest of the
        // process (and the broker keeps the session alive); close the connection first, without waiting.
        if (MQTTClient_isConnected(client_)) MQTTClient_disconnect(client_, 0);
        MQTTClient_destroy(&client_);
    }
    std::lock_guard<std::recursive_mutex> lock(global_callbacks_mutex);
    if (global_callbacks_owner == this) {
        // An older object that is still alive keeps receiving through the context-only fallbacks.
        global_callbacks_owner = nullptr;
        global_trace_callback = nullptr;
        global_connection_lost_callback = nullptr;
        global_message_arrived_callback = nullptr;
    }
}

void MqttClientVelmo::setWill(const MqttMessage& will) {
    disconnect();
    will_message_ = will;
    will_options_ = MQTTClient_willOptions_initializer;
    will_options_.topicName = will_message_.topic.c_str();
    will_options_.message = will_message_.payload.c_str();
    will_options_.retained = will_message_.retained ? 1 : 0;
    will_options_.qos = will_message_.qos;
    connect_options_.will = &will_options_;
}

void MqttClientVelmo::enableTrace() {
    MQTTClient_setTraceCallback(forward_trace);
    MQTTClient_setTraceLevel(MQTTCLIENT_TRACE_PROTOCOL);
}

void MqttClientVelmo::configureSSL(const std::string& ca_path, const std::string& cert_path,
                                   const std::string& key_path, const std::string& key_password) {
    disconnect();
    if (!file_exists(ca_path)) throw VelmoException("configureSSL: File '%s' was not found.", ca_path.c_str());
    ca_path_ = ca_path;
    cert_path_ = cert_path;
    key_path_ = key_path;
    key_password_ = key_password;
    fill_ssl_options();
    protocol_ = "ssl";
    connect_options_.ssl = &ssl_options_;
}

void MqttClientVelmo::fill_ssl_options() {
    // Starts from the initializer every time, so a key store of an earlier call never survives a call
    // without a certificate.
    ssl_options_ = MQTTClient_SSLOptions_initializer;
    ssl_options_.sslVersion = MQTT_SSL_VERSION_TLS_1_2;
    ssl_options_.enabledCipherSuites = "ECDHE-ECDSA-AES128-GCM-SHA256";
    ssl_options_.trustStore = ca_path_.c_str();
    ssl_options_.verify = 1;
    if (!cert_path_.empty()) {
        ssl_options_.keyStore = cert_path_.c_str();
        ssl_options_.privateKey = key_path_.c_str();
        if (!key_password_.empty()) ssl_options_.privateKeyPassword = key_password_.c_str();
    }
}

void MqttClientVelmo::disableSSL() {
    disconnect();
    connect_options_.ssl = nullptr;
    protocol_ = "tcp";
}

MqttResult MqttClientVelmo::connect(const std::string& host, int port, int connect_timeout_s) {
    const std::string uri = protocol_ + "://" + host + ":" + std::to_string(port);
    connect_options_.connectTimeout = connect_timeout_s;
    if (initialized_) {
        disconnect();
        MQTTClient_destroy(&client_);
        initialized_ = false;
    } else if (client_) {
        // Left by a failed callback setup: not initialized, but still a library client to release.
        MQTTClient_destroy(&client_);
    }
    client_ = nullptr;

    // The library's threads are started from here: they inherit a blocked
    // SIGTERM, so the signal always reaches the main thread and ends its waits.
    SigtermBlocked sigterm_blocked;
    const bool persist = !persistence_dir_.empty();
    int rc = MQTTClient_createWithOptions(&client_, uri.c_str(), client_id_.c_str(),
                                          persist ? MQTTCLIENT_PERSISTENCE_DEFAULT : MQTTCLIENT_PERSISTENCE_NONE,
                                          persist ? const_cast<char*>(persistence_dir_.c_str()) : nullptr,
                                          &create_options_);
    if (rc != MQTTCLIENT_SUCCESS) {
        client_ = nullptr;
        return replace_failure_text(MqttResult::from_rc(rc), "Client initialization failure.");
    }
    rc = MQTTClient_setCallbacks(client_, &inbox_, forward_connection_lost, forward_message_arrived, nullptr);
    if (rc != MQTTCLIENT_SUCCESS) return replace_failure_text(MqttResult::from_rc(rc), "Failed to setup callbacks");
    initialized_ = true;

    rc = MQTTClient_connect(client_, &connect_options_);
    if (rc != MQTTCLIENT_SUCCESS)
        return replace_failure_text(MqttResult::from_rc(rc), "Destination unreachable or handshake error");
    {
        std::lock_guard<std::mutex> lock(inbox_.mutex);
        inbox_.connected = true;
    }
    // The library thread may have lost the new connection already, before the flag was set; its callback
    // then found nothing to clear. The library clears its own state before calling back, so asking it now
    // closes that gap.
    if (!MQTTClient_isConnected(client_)) {
        std::lock_guard<std::mutex> lock(inbox_.mutex);
        inbox_.connected = false;
    }
    vlog(LOG_INFO, "Connection to '%s' established.", host.c_str());
    return MqttResult::from_rc(rc);
}

MqttResult MqttClientVelmo::disconnect() {
    {
        std::lock_guard<std::mutex> lock(inbox_.mutex);
        inbox_.connected = false;
    }
    subscriptions_.clear();
    if (!initialized_) return {MqttStatus::Failure, -9998, "Client handler not valid"};
    return MqttResult::from_rc(MQTTClient_disconnect(client_, timeout_ms_));
}

bool MqttClientVelmo::isConnected() {
    std::lock_guard<std::mutex> lock(inbox_.mutex);
    return inbox_.connected;
}

size_t MqttClientVelmo::queued_message_count() {
    std::lock_guard<std::mutex> lock(inbox_.mutex);
    return inbox_.queue.size();
}

MqttResult MqttClientVelmo::subscribe(const std::string& topic, int qos) {
    vlog(LOG_DEBUG, "Subscribing to %s", topic.c_str());
    // The library dereferences the handle unchecked, so a subscription before any connect would crash.
    if (!initialized_) return {MqttStatus::Failure, -1, "MQTT client is not initialized."};
    MqttResult result = MqttResult::from_rc(MQTTClient_subscribe(client_, topic.c_str(), qos));
    if (result.ok()) subscriptions_.push_back(topic);
    return result;
}

MqttResult MqttClientVelmo::publish(const MqttMessage& message, bool no_store) {
    if (!initialized_) return {MqttStatus::Failure, -1, "MQTT client is not initialized."};
    MQTTClient_deliveryToken token = 0;
    MqttResult result = MqttResult::from_rc(MQTTClient_publish(client_, message.topic.c_str(),
                                                               static_cast<int>(message.payload.size()),
                                                               message.payload.data(), message.qos,
                                                               message.retained ? 1 : 0, &token));
    if (result.ok()) {
        vlog(LOG_DEBUG, "MQTT Publish: QoS %d, retained %d, topic %s", message.qos, message.retained ? 1 : 0,
             message.topic.c_str());
        log_payload(message.payload);
        const int rc = MQTTClient_waitForCompletion(client_, token, static_cast<unsigned long>(timeout_ms_));
        result = MqttResult::from_rc(rc);
        if (!result.ok() && !no_store) failed_messages_.push_back(message);
    } else {
        if (!no_store) failed_messages_.push_back(message);
        result = replace_failure_text(std::move(result), "Failed to publish a message.");
    }
    return result;
}

void MqttClientVelmo::resendFailedMessages() {
    if (failed_messages_.empty()) return;
    std::vector<MqttMessage> pending;
    pending.swap(failed_messages_);
    vlog(LOG_DEBUG, "Resending messages that previously failed to be published.");
    for (const auto& message : pending) publish(message, false);
}

MqttResult MqttClientVelmo::receive(MqttMessage& message, int timeout_s) {
    // The deadline is read through the clock seam; the waits themselves are slices of at most a second on
    // the monotonic clock, and their sum bounds the wait too, so a clock that stands still cannot hold it.
    const int64_t deadline = monotonic_ms() + static_cast<int64_t>(timeout_s) * 1000;
    const int64_t budget_ms = static_cast<int64_t>(timeout_s) * 1000;
    int64_t waited_ms = 0;
    MqttResult result{MqttStatus::Failure, -9997, "timeout reached"};
    std::unique_lock<std::mutex> lock(inbox_.mutex);
    for (;;) {
        if (!inbox_.queue.empty()) {
            message = std::move(inbox_.queue.front());
            inbox_.queue.pop_front();
            lock.unlock();
            result = {MqttStatus::Success, -9999, ""};
            vlog(LOG_DEBUG, "MQTT Received: QoS %d, retained %d, topic %s", message.qos, message.retained ? 1 : 0,
                 message.topic.c_str());
            vlog(LOG_DEBUG, "Payload: %s", message.payload.c_str());
            return result;
        }
        if (!inbox_.connected) return {MqttStatus::Failure, -9996, "client has disconnected"};
        // A termination request ends the wait like a timeout, within a slice.
        if (SIGTERM_ARRIVED) return result;
        const int64_t remaining = deadline - monotonic_ms();
        if (remaining <= 0 || waited_ms >= budget_ms) return result;
        const int64_t slice = remaining < 1000 ? remaining : 1000;
        if (!inbox_.arrived.wait_ms(lock, slice)) waited_ms += slice;
    }
}

void MqttClientVelmo::trace_callback(int /*level*/, const char* text) { vlog(LOG_DEBUG, "%s", text); }

void MqttClientVelmo::connection_lost_callback(void* context, char* /*cause*/) { mark_connection_lost(context); }

int MqttClientVelmo::message_arrived_callback(void* context, char* topic_name, int /*topic_length*/,
                                              MQTTClient_message* message) {
    return queue_arrived_message(context, topic_name, message);
}

}  // namespace velmo
