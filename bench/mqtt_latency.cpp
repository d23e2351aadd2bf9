// Latency from a management-server publish to the agent's receive() returning the message.
//
//   mqtt_latency --host H --tcp-port P [--ssl-port P --ca CA --cert C --key K --server-cert C --server-key K]
//                [--messages N] [--payload BYTES]
//
// For each run the program starts mqtt_bench_server, which plays the management server with its own
// connection; this process is the agent, with one MqttClientVelmo subscribed to its command topic with QoS 2.
// They take turns through a pipe, so exactly one message is in flight: the server reads the monotonic clock
// and publishes, and the agent reads the clock again when receive() hands the message over (one system-wide
// CLOCK_MONOTONIC). Prints one table row per transport and QoS.
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "messaging/mqtt_client.h"

namespace {

const char* const kTopic = "sr/cmd/bench-agent/apply";
const int kWarmup = 20;

struct Options {
    std::string host = "127.0.0.1";
    int tcp_port = 0, ssl_port = 0;
    std::string ca, cert, key, server_cert, server_key;
    int messages = 1000;
    size_t payload = 256;
};

struct Run {
    std::string transport;
    int qos;
};

int64_t mono_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void die(const char* what) {
    std::fprintf(stderr, "mqtt_latency: %s\n", what);
    std::exit(1);
}

bool read_byte(int fd) {
    char c;
    ssize_t n;
    do n = read(fd, &c, 1);
    while (n < 0 && errno == EINTR);
    return n == 1;
}

void write_byte(int fd) {
    char c = 1;
    if (write(fd, &c, 1) != 1) die("pipe write failed");
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

std::string server_program;  // mqtt_bench_server, beside this program

std::vector<double> measure(const Options& o, const Run& run) {
    int go[2], ready[2];
    if (pipe(go) != 0 || pipe(ready) != 0) die("pipe failed");
    std::fflush(nullptr);
    pid_t child = fork();
    if (child < 0) die("fork failed");
    if (child == 0) {
        // The server is a program of its own over the library's asynchronous client.
        if (dup2(go[0], 3) < 0 || dup2(ready[1], 4) < 0) _exit(127);
        const bool ssl = run.transport != "tcp";
        const std::string uri = std::string(ssl ? "ssl" : "tcp") + "://" + o.host + ":" +
                                std::to_string(ssl ? o.ssl_port : o.tcp_port);
        const std::string qos = std::to_string(run.qos), size = std::to_string(o.payload),
                          count = std::to_string(kWarmup + o.messages);
        std::vector<const char*> args = {server_program.c_str(), uri.c_str(), qos.c_str(), size.c_str(), count.c_str()};
        if (ssl) args.insert(args.end(), {o.ca.c_str(), o.server_cert.c_str(), o.server_key.c_str()});
        args.push_back(nullptr);
        execv(server_program.c_str(), const_cast<char* const*>(args.data()));
        _exit(127);
    }
    close(go[0]);
    close(ready[1]);

    std::vector<double> latencies_us;
    {
        velmo::MqttClientVelmo agent("bench-agent", "", 60, 30);
        if (run.transport != "tcp") agent.configureSSL(o.ca, o.cert, o.key, "");
        velmo::MqttResult r = agent.connect(o.host, run.transport == "tcp" ? o.tcp_port : o.ssl_port, 10);
        if (!r.ok()) die(("agent: connect failed: " + r.message).c_str());
        if (!agent.subscribe("sr/cmd/bench-agent/#", 2).ok()) die("agent: subscribe failed");
        if (!read_byte(ready[0])) die("server did not start");
        const int total = kWarmup + o.messages;
        for (int i = 0; i < total; ++i) {
            write_byte(go[1]);
            velmo::MqttMessage m;
            r = agent.receive(m, 10);
            const int64_t received = mono_ns();
            if (r.code != -9999) die(("agent: receive failed: " + r.message).c_str());
            if (m.payload.size() != o.payload) die("agent: payload size differs");
            const int64_t sent = std::atoll(m.payload.c_str());
            if (i >= kWarmup) latencies_us.push_back(static_cast<double>(received - sent) / 1000.0);
        }
        agent.disconnect();
    }
    close(go[1]);
    close(ready[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("server process failed");
    return latencies_us;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i], v = argv[i + 1];
        if (k == "--host") o.host = v;
        else if (k == "--tcp-port") o.tcp_port = std::atoi(v.c_str());
        else if (k == "--ssl-port") o.ssl_port = std::atoi(v.c_str());
        else if (k == "--ca") o.ca = v;
        else if (k == "--cert") o.cert = v;
        else if (k == "--key") o.key = v;
        else if (k == "--server-cert") o.server_cert = v;
        else if (k == "--server-key") o.server_key = v;
        else if (k == "--messages") o.messages = std::atoi(v.c_str());
        else if (k == "--payload") o.payload = static_cast<size_t>(std::atol(v.c_str()));
        else die(("unknown option " + k).c_str());
    }
    if (o.tcp_port <= 0 || o.messages <= 0 || o.payload < 24) die("need --tcp-port, --messages > 0, --payload >= 24");

    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) die("cannot find my own path");
    self[n] = '\0';
    server_program = std::string(self).substr(0, std::string(self).rfind('/') + 1) + "mqtt_bench_server";

    // As the agent runs at log level "info": the per-message debug lines are formatted but not written.
    setlogmask(LOG_UPTO(LOG_INFO));

    std::vector<Run> runs = {{"tcp", 0}, {"tcp", 1}, {"tcp", 2}};
    if (o.ssl_port > 0) runs.insert(runs.end(), {{"mutual TLS", 0}, {"mutual TLS", 1}, {"mutual TLS", 2}});

    std::printf("publish -> receive() latency, %d messages of %zu bytes each, one in flight, loopback\n\n",
                o.messages, o.payload);
    std::printf("| transport  | QoS | median (us) | p99 (us) | max (us) |\n");
    std::printf("|------------|-----|-------------|----------|----------|\n");
    for (const Run& run : runs) {
        std::vector<double> l = measure(o, run);
        std::printf("| %-10s | %3d | %11.0f | %8.0f | %8.0f |\n", run.transport.c_str(), run.qos, percentile(l, 50),
                    percentile(l, 99), *std::max_element(l.begin(), l.end()));
        std::fflush(stdout);
    }
    return 0;
}
