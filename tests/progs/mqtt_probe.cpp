// Drives one MqttClientVelmo from line commands on standard input and answers each with one JSON line on
// standard output, so that integration tests can script sessions against real brokers. Log lines go to
// standard error as "<priority> <text>".
//
//   mqtt_probe CLIENT_ID [KEEPALIVE_S [TIMEOUT_S]]
//
// Commands (payloads in hexadecimal, "-" for an empty one):
//   ssl CA [CERT KEY [PASSWORD]]          nossl                     will TOPIC QOS RETAINED HEX
//   trace                                 connect HOST PORT TIMEOUT  disconnect
//   connected                             wait_connected 0|1 TIMEOUT_S
//   subscribe TOPIC QOS                   subscriptions
//   publish TOPIC QOS RETAINED HEX [nostore]                         resend          failed
//   receive TIMEOUT_S [announce]          queued                    wait_queued N TIMEOUT_S
//   protocol                              fds                       new             quit
#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/log.h"
#include "messaging/mqtt_client.h"

using nlohmann::json;
using velmo::MqttClientVelmo;
using velmo::MqttMessage;
using velmo::MqttResult;

namespace {

std::string to_hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string from_hex(const std::string& hex) {
    if (hex == "-") return "";
    if (hex.size() % 2) throw std::invalid_argument("odd hex length");
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

const char* status_name(velmo::MqttStatus s) {
    switch (s) {
        case velmo::MqttStatus::Success: return "Success";
        case velmo::MqttStatus::Disconnected: return "Disconnected";
        default: return "Failure";
    }
}

json result_json(const MqttResult& r) {
    return {{"status", status_name(r.status)}, {"code", r.code}, {"message", r.message}};
}

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int open_fds() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n - 3;  // ".", ".." and the directory itself
}

// Polls a condition of the session every 10 ms until it holds or the time runs out.
template <typename Condition>
bool wait_until(Condition condition, double timeout_s) {
    const int64_t end = now_ms() + static_cast<int64_t>(timeout_s * 1000);
    while (!condition()) {
        if (now_ms() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

json run(std::unique_ptr<MqttClientVelmo>& client, const std::vector<std::string>& args, const std::string& id,
         int keepalive, int timeout) {
    const std::string& cmd = args.at(0);
    MqttClientVelmo& c = *client;
    if (cmd == "ssl") {
        try {
            c.configureSSL(args.at(1), args.size() > 2 ? args.at(2) : "", args.size() > 3 ? args.at(3) : "",
                           args.size() > 4 ? args.at(4) : "");
            return {{"ok", true}, {"protocol", c.protocol()}};
        } catch (const std::exception& e) {
            return {{"ok", false}, {"error", e.what()}, {"protocol", c.protocol()}, {"connected", c.isConnected()}};
        }
    }
    if (cmd == "nossl") {
        c.disableSSL();
        return {{"ok", true}, {"protocol", c.protocol()}};
    }
    if (cmd == "will") {
        MqttMessage m{from_hex(args.at(4)), args.at(1), std::stoi(args.at(2)), args.at(3) == "1"};
        c.setWill(m);
        return {{"ok", true}};
    }
    if (cmd == "trace") {
        c.enableTrace();
        return {{"ok", true}};
    }
    if (cmd == "connect") return result_json(c.connect(args.at(1), std::stoi(args.at(2)), std::stoi(args.at(3))));
    if (cmd == "disconnect") return result_json(c.disconnect());
    if (cmd == "connected") return {{"connected", c.isConnected()}};
    if (cmd == "wait_connected") {
        const bool want = args.at(1) == "1";
        wait_until([&] { return c.isConnected() == want; }, std::stod(args.at(2)));
        return {{"connected", c.isConnected()}};
    }
    if (cmd == "subscribe") {
        json j = result_json(c.subscribe(args.at(1), std::stoi(args.at(2))));
        j["subscriptions"] = c.subscriptions();
        return j;
    }
    if (cmd == "subscriptions") return {{"subscriptions", c.subscriptions()}};
    if (cmd == "publish") {
        MqttMessage m{from_hex(args.at(4)), args.at(1), std::stoi(args.at(2)), args.at(3) == "1"};
        const bool no_store = args.size() > 5 && args.at(5) == "nostore";
        json j = result_json(c.publish(m, no_store));
        j["failed"] = c.failed_message_count();
        return j;
    }
    if (cmd == "resend") {
        c.resendFailedMessages();
        return {{"failed", c.failed_message_count()}};
    }
    if (cmd == "failed") return {{"failed", c.failed_message_count()}};
    if (cmd == "receive") {
        MqttMessage m;
        // "announce" answers once before the wait begins, so a test can act while receive is waiting.
        if (args.size() > 2 && args[2] == "announce") std::cout << json{{"receiving", true}}.dump() << std::endl;
        const int64_t start = now_ms();
        MqttResult r = c.receive(m, std::stoi(args.at(1)));
        json j = result_json(r);
        j["elapsed_ms"] = now_ms() - start;
        if (r.code == -9999)
            j["msg"] = {{"topic", m.topic}, {"qos", m.qos}, {"retained", m.retained}, {"payload", to_hex(m.payload)}};
        return j;
    }
    if (cmd == "queued") return {{"queued", c.queued_message_count()}};
    if (cmd == "wait_queued") {
        const size_t want = std::stoul(args.at(1));
        wait_until([&] { return c.queued_message_count() >= want; }, std::stod(args.at(2)));
        return {{"queued", c.queued_message_count()}};
    }
    if (cmd == "protocol") return {{"protocol", c.protocol()}};
    if (cmd == "fds") return {{"fds", open_fds()}};
    if (cmd == "new") {
        client.reset();
        client = std::make_unique<MqttClientVelmo>(id, "", keepalive, timeout);
        return {{"ok", true}};
    }
    return {{"error", "unknown command " + cmd}};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CLIENT_ID [KEEPALIVE_S [TIMEOUT_S]]\n", argv[0]);
        return 2;
    }
    const std::string id = argv[1];
    const int keepalive = argc > 2 ? std::atoi(argv[2]) : 60;
    const int timeout = argc > 3 ? std::atoi(argv[3]) : 30;
    velmo::set_log_sink([](int priority, const std::string& line) {
        std::fprintf(stderr, "%d %s\n", priority, line.c_str());
        std::fflush(stderr);
    });
    auto client = std::make_unique<MqttClientVelmo>(id, "", keepalive, timeout);
    std::cout << json{{"ready", true}}.dump() << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::vector<std::string> args;
        for (std::string w; words >> w;) args.push_back(w);
        if (args.empty()) continue;
        if (args[0] == "quit") break;
        json answer;
        try {
            answer = run(client, args, id, keepalive, timeout);
        } catch (const std::exception& e) {
            answer = {{"error", std::string("bad command: ") + e.what()}};
        }
        std::cout << answer.dump() << std::endl;
    }
    client.reset();
    std::cout << json{{"bye", true}}.dump() << std::endl;
    return 0;
}
