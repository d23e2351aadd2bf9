#pragma once
// The agent's MQTT session over the Paho synchronous client with OpenSSL.
#include <MQTTClient.h>

#include <pthread.h>

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace velmo {

struct MqttMessage {
    std::string payload;  // any bytes
    std::string topic;
    int qos = 0;
    bool retained = false;
};

enum class MqttStatus : int { Failure = 0, Disconnected = 1, Success = 2 };

struct MqttResult {
    MqttStatus status = MqttStatus::Failure;
    int code = 0;
    std::string message;

    static MqttResult from_rc(int rc);
    bool ok() const { return status == MqttStatus::Success; }
};

class MqttClientVelmo {
public:
    MqttClientVelmo(const std::string& client_id, const std::string& persistence_dir, int keepalive_interval_s,
                    int timeout_s);
    ~MqttClientVelmo();
    MqttClientVelmo(const MqttClientVelmo&) = delete;
    MqttClientVelmo& operator=(const MqttClientVelmo&) = delete;

    void setWill(const MqttMessage& will);
    void enableTrace();
    // Raises VelmoException when the CA file does not exist.
    void configureSSL(const std::string& ca_path, const std::string& cert_path, const std::string& key_path,
                      const std::string& key_password);
    void disableSSL();

    MqttResult connect(const std::string& host, int port, int connect_timeout_s);
    MqttResult disconnect();
    bool isConnected();
    MqttResult subscribe(const std::string& topic, int qos);
    const std::vector<std::string>& subscriptions() const { return subscriptions_; }
    MqttResult publish(const MqttMessage& message, bool no_store);
    void resendFailedMessages();
    MqttResult receive(MqttMessage& message, int timeout_s);

    const std::string& protocol() const { return protocol_; }
    size_t failed_message_count() const { return failed_messages_.size(); }
    size_t queued_message_count();  // messages waiting in the inbox, read under its mutex

    // Library callbacks (the library's thread).
    void trace_callback(int level, const char* text);
    void connection_lost_callback(void* context, char* cause);
    int message_arrived_callback(void* context, char* topic_name, int topic_length, MQTTClient_message* message);

    // A condition variable on CLOCK_MONOTONIC waited on through pthread_cond_timedwait. The standard one waits
    // through pthread_cond_clockwait, which libfaketime does not translate, so a process sped up by it would
    // wait far too long; this one is translated and immune to changes of the wall clock.
    class Signal {
    public:
        Signal();
        ~Signal();
        Signal(const Signal&) = delete;
        Signal& operator=(const Signal&) = delete;
        void notify_all();
        // Waits at most ms milliseconds; false when the time ran out.
        bool wait_ms(std::unique_lock<std::mutex>& lock, int64_t ms);

    private:
        pthread_cond_t cond_;
    };

    struct Inbox {
        std::deque<MqttMessage> queue;
        bool connected = false;
        uint64_t deliveries = 0;  // completed publications, counted by the delivery callback
        std::mutex mutex;
        Signal arrived;  // signalled on every push and on a lost connection, with the mutex held
    };

private:
    void fill_ssl_options();
    bool delivery_pending(MQTTClient_deliveryToken token);
    int wait_for_delivery(MQTTClient_deliveryToken token);

    std::string client_id_;
    std::string persistence_dir_;
    MQTTClient client_ = nullptr;
    MQTTClient_connectOptions connect_options_;
    MQTTClient_createOptions create_options_;
    MQTTClient_willOptions will_options_;
    MQTTClient_SSLOptions ssl_options_;
    int timeout_ms_;
    bool initialized_ = false;
    Inbox inbox_;
    std::string protocol_ = "tcp";
    std::string ca_path_, cert_path_, key_path_, key_password_;
    MqttMessage will_message_;
    std::vector<std::string> subscriptions_;
    std::vector<MqttMessage> failed_messages_;
};

}  // namespace velmo
