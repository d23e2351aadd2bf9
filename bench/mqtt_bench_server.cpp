// The management-server side of mqtt_latency, started by it: publishes one message each time a byte arrives
// on descriptor 3 and writes one byte to descriptor 4 once connected. It uses the library's asynchronous
// client, whose publications are handed to a sending thread at once; the synchronous client, used with its
// own background thread, now and then holds a publication back for 100 ms, which would be measured as
// latency of the agent.
//
//   mqtt_bench_server URI QOS PAYLOAD_BYTES COUNT [CA CERT KEY]
//
// Each payload starts with the CLOCK_MONOTONIC time of its publication in nanoseconds and a ';'.
#include <MQTTAsync.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

namespace {

std::mutex mutex;
std::condition_variable changed;
int connect_state = 0;  // 1 connected, -1 failed

void on_connect(void*, MQTTAsync_successData*) {
    std::lock_guard<std::mutex> lock(mutex);
    connect_state = 1;
    changed.notify_all();
}

void on_connect_failure(void*, MQTTAsync_failureData*) {
    std::lock_guard<std::mutex> lock(mutex);
    connect_state = -1;
    changed.notify_all();
}

int ignore_message(void*, char* topic, int, MQTTAsync_message* message) {
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topic);
    return 1;
}

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "mqtt_bench_server: %s\n", what);
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 8) die("usage: URI QOS PAYLOAD_BYTES COUNT [CA CERT KEY]");
    const int qos = std::atoi(argv[2]);
    std::string payload(static_cast<size_t>(std::atol(argv[3])), 'p');
    const int count = std::atoi(argv[4]);

    MQTTAsync client;
    if (MQTTAsync_create(&client, argv[1], "bench-ms", MQTTCLIENT_PERSISTENCE_NONE, nullptr) != MQTTASYNC_SUCCESS)
        die("create failed");
    MQTTAsync_setCallbacks(client, nullptr, nullptr, ignore_message, nullptr);
    MQTTAsync_connectOptions conn = MQTTAsync_connectOptions_initializer;
    MQTTAsync_SSLOptions tls = MQTTAsync_SSLOptions_initializer;
    if (argc == 8) {
        tls.trustStore = argv[5];
        tls.keyStore = argv[6];
        tls.privateKey = argv[7];
        tls.enabledCipherSuites = "ECDHE-ECDSA-AES128-GCM-SHA256";
        tls.verify = 1;
        conn.ssl = &tls;
    }
    conn.onSuccess = on_connect;
    conn.onFailure = on_connect_failure;
    if (MQTTAsync_connect(client, &conn) != MQTTASYNC_SUCCESS) die("connect failed");
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [] { return connect_state != 0; });
        if (connect_state < 0) die("connect refused");
    }
    char c = 1;
    if (write(4, &c, 1) != 1) die("ready pipe");

    MQTTAsync_token last = 0;
    for (int i = 0; i < count; ++i) {
        ssize_t n;
        do n = read(3, &c, 1);
        while (n < 0 && errno == EINTR);
        if (n != 1) break;
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        std::snprintf(&payload[0], payload.size(), "%lld;",
                      static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
        MQTTAsync_message message = MQTTAsync_message_initializer;
        message.payload = &payload[0];
        message.payloadlen = static_cast<int>(payload.size());
        message.qos = qos;
        MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
        if (MQTTAsync_sendMessage(client, "sr/cmd/bench-agent/apply", &message, &options) != MQTTASYNC_SUCCESS)
            die("publish failed");
        last = options.token;
    }
    MQTTAsync_waitForCompletion(client, last, 10000);
    MQTTAsync_disconnectOptions disc = MQTTAsync_disconnectOptions_initializer;
    MQTTAsync_disconnect(client, &disc);
    MQTTAsync_destroy(&client);
    return 0;
}
