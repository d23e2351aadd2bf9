// The agent's state files, read back after a restart: each is planted in the
// scratch data directory and loaded the way the agent loads it at start. A
// file the loader refuses is moved aside, so it is removed after each run.
#include <unistd.h>

#include <cstdint>
#include <exception>
#include <string>

#include "core/state.h"
#include "desired_state/profile.h"
#include "desired_state/sync.h"
#include "fuzz_support.h"
#include "session/bootstrap.h"
#include "session/commands.h"
#include "telemetry/metrics_history.h"

using namespace velmo;

namespace {

struct StateFile {
    std::string (*path)();
    void (*load)();
};

const StateFile kStateFiles[] = {
    {management_server_path, [] {
         ManagementServer server;
         load_management_server(server);
     }},
    {sync_request_path, [] {
         SyncRequest request;
         load_sync_request(request);
     }},
    {reboot_request_path, [] {
         RebootRequest request;
         load_reboot_request(request);
     }},
    {metrics_history_path, [] {
         MetricsHistory history;
         load_metrics_history(history);
         for (const auto& entry : history.last_changed_values) history_value_to_json(entry.second);
     }},
    {profile_path, [] {
         ConfigProfile profile;
         load_profile(profile);
         get_desired_reporting(profile);
     }},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velmo_fuzz::fuzz_setup();
    const velmo_fuzz::FuzzInput input = velmo_fuzz::split_input(data, size);
    const StateFile& file = kStateFiles[input.selector % (sizeof kStateFiles / sizeof kStateFiles[0])];
    const std::string path = file.path();
    velmo_fuzz::fuzz_write_file(path, input.rest);
    try {
        file.load();
    } catch (const std::exception&) {
    }
    unlink(path.c_str());
    unlink((path + "_err").c_str());
    return 0;
}
