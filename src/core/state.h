#pragma once
// The states of the agent and the records its state machine owns.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <variant>

namespace velmo {

enum class AgentState : int {
    INITIAL = 0,
    BOOTSTRAP = 1,
    CONNECT_TO_MS = 2,
    HANDLE_MANAGEMENT_COMMANDS = 3,
    GREET_SERVER = 4,
    REPORT_METRICS = 5,
    SYNC_CONFIG_PROFILE = 6,
    EXIT = 7,
};

const char* state_to_string(AgentState state);

struct RebootRequest {
    int32_t request_id = -1;
    bool response_sent = true;
};

struct SyncRequest {
    int32_t request_id = -1;
    int32_t status = 0;
    bool response_sent = false;
    std::string config_hash;
};

struct ManagementServer {
    std::string addr;
    int32_t port = -1;
};

// Byte counter of the mobile data interface at the last measurement and the
// bytes counted between the two last measurements.
struct TrafficCounter {
    uint64_t last_delta = 0;
    uint64_t last_interface_value = 0;
};

// Alternatives in this order: boolean, integer, floating point, string, null.
using HistoryValue = std::variant<bool, int64_t, double, std::string, std::nullptr_t>;

struct MetricsHistory {
    std::map<std::string, HistoryValue> last_changed_values;
    TrafficCounter downloads;
    TrafficCounter uploads;
};

using ConfigProfile = nlohmann::json;

struct AgentContext {
    RebootRequest reboot_request;
    SyncRequest sync_request;
    ManagementServer management_server;
    MetricsHistory metrics_history;
    bool full_report_pending = true;
    ConfigProfile config_profile;  // null until loaded or received
};

struct Schedule {
    int32_t report_period = 0;
    int32_t next_report_time = 0;
    int32_t next_full_report_time = 0;
    int32_t next_local_check_time = 0;
};

// Seeds the random generator with the current time and sets the fields as
// the driver starts: period = minutes * 60, first report within 30 seconds.
Schedule make_schedule(uint32_t monitoring_interval_minutes);

struct ExitRequest {
    bool reboot = false;
    bool restart_client = false;
    bool update_client = false;
};


// One desired software item of the configuration profile; the firmware is
// the item named "firmware".
struct DesiredApp {
    std::string name;
    std::string version;
    std::string url;
};

}  // namespace velmo
