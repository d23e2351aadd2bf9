// Runs one desired-state operation inside a simulated router, with the
// agent's own persisted files, and prints its result on standard output; the
// log lines go to syslog (or stderr, -e).
//
//   ds_probe [-d TOP] [-e] sync PORT [lost]
//                                         one pass against the plain-TCP broker on 127.0.0.1:PORT,
//                                         with sync_request.json and the stored profile loaded
//                                         before and the request saved after; prints the next
//                                         state and the exit flags that were set. "lost": the
//                                         session is disconnected before the pass, and the
//                                         number of messages it kept is printed too
//   ds_probe [-d TOP] [-e] snapshot PORT ID
//   ds_probe [-d TOP] [-e] detect         the changes as the SyncEvent's "changes" list, or "error: ..."
//   ds_probe [-d TOP] [-e] md5 PATH       the keyed digest of a file
//
// With DS_PROBE_PLANT_AT=PATH and DS_PROBE_PLANT_TARGET=TARGET in the
// environment, the first unlink of PATH is followed at once by a symbolic
// link PATH -> TARGET: an attacker who wins the race for a world-writable
// directory.
#include <dlfcn.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "probe_args.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/state.h"
#include "desired_state/change_detection.h"
#include "desired_state/profile.h"
#include "desired_state/snapshot.h"
#include "desired_state/sync.h"
#include "messaging/messages.h"
#include "messaging/mqtt_client.h"

using namespace velmo;
using nlohmann::json;

extern "C" int unlink(const char* path) {
    static auto real = reinterpret_cast<int (*)(const char*)>(dlsym(RTLD_NEXT, "unlink"));
    static bool planted = false;
    int result = real(path);
    const char* at = getenv("DS_PROBE_PLANT_AT");
    const char* target = getenv("DS_PROBE_PLANT_TARGET");
    if (!planted && at && target && strcmp(path, at) == 0) {
        planted = true;
        symlink(target, path);
    }
    return result;
}

namespace {

int usage() {
    fprintf(stderr, "usage: ds_probe [-d TOP] [-e] sync PORT [lost] | snapshot PORT ID | detect | md5 PATH\n");
    return 2;
}

// A session on the plain-TCP broker of the test; nullptr when it fails.
std::unique_ptr<MqttClientVelmo> connect_to(const std::string& port) {
    auto client = std::make_unique<MqttClientVelmo>(device_id(), "", 60, 10);
    client->disableSSL();
    MqttResult result = client->connect("127.0.0.1", std::stoi(port), 10);
    if (!result.ok()) {
        fprintf(stderr, "connect failed: %s\n", result.message.c_str());
        return nullptr;
    }
    return client;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = probe_arguments(argc, argv);
    if (args.empty()) return usage();

    const std::string& op = args[0];
    try {
        if (op == "sync" && (args.size() == 2 || (args.size() == 3 && args[2] == "lost"))) {
            SyncRequest request;
            ConfigProfile profile;
            load_sync_request(request);
            load_profile(profile);
            auto client = connect_to(args[1]);
            if (!client) return 1;
            if (args.size() == 3) client->disconnect();
            ExitRequest exit_request;
            AgentState next = sync_config_profile(*client, request, profile, exit_request);
            save_sync_request(request);
            if (args.size() == 2) client->disconnect();
            printf("%s%s%s%s\n", state_to_string(next), exit_request.reboot ? " reboot" : "",
                   exit_request.update_client ? " update_client" : "",
                   exit_request.restart_client ? " restart_client" : "");
            if (args.size() == 3) printf("kept %zu\n", client->failed_message_count());
        } else if (op == "snapshot" && args.size() == 3) {
            auto client = connect_to(args[1]);
            if (!client) return 1;
            AgentState next = handle_snapshot_request(json{{"id", std::stoi(args[2])}}, *client);
            client->disconnect();
            printf("%s\n", state_to_string(next));
        } else if (op == "detect" && args.size() == 1) {
            ConfigProfile profile;
            load_profile(profile);
            MqttMessage event = make_sync_event_message(detect_app_divergences(profile), "");
            printf("%s\n", json::parse(event.payload)["p"]["changes"].dump().c_str());
        } else if (op == "md5" && args.size() == 2) {
            printf("%s\n", md5sum_file(args[1], kDigestKey).c_str());
        } else {
            return usage();
        }
    } catch (const std::exception& e) {
        printf("error: %s\n", e.what());
    }
    return 0;
}
