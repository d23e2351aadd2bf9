#pragma once
// The REPORT_METRICS state: measures the metrics the configuration profile
// asks for and sends what changed since the last report.
#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <string>

#include "core/state.h"
#include "desired_state/profile.h"
#include "messaging/mqtt_client.h"

namespace velmo {

constexpr int32_t kFullReportPeriod = 2592000;  // 30 days
// The shortest time between two reports: a monitoring interval of 0 minutes
// (or one so large that its seconds overflow) acts as one minute, the
// smallest interval the setting can express, so the command loop is never
// starved by back-to-back reports.
constexpr int32_t kMinReportPeriod = 60;

// The profile's metrics that reports carry: every requested metric but those
// marked Never.
std::map<std::string, ReportDescriptor> reported_metrics(const ConfigProfile& profile);

// Whether a measured value differs from the one last reported as changed,
// under the metric's optional threshold.
bool value_changed(const nlohmann::json& measured, const HistoryValue& stored, const std::optional<double>& threshold);

// The two objects of a report: changed values ("chv") and the unchanged
// values of Always metrics ("v").
struct MetricsReport {
    nlohmann::json changed = nlohmann::json::object();
    nlohmann::json unchanged = nlohmann::json::object();
};

// Sorts the measured values of the requested metrics into a report against
// the history; full puts every measured value into "chv". Logs the metrics
// that have no measurement.
MetricsReport build_metrics_report(const std::map<std::string, ReportDescriptor>& requested,
                                   const nlohmann::json& measured, const MetricsHistory& history, bool full);

// HANDLE_MANAGEMENT_COMMANDS, or CONNECT_TO_MS when the report could not be
// sent because the connection is lost. Never raises.
AgentState report_metrics(MqttClientVelmo& client, Schedule& schedule, AgentContext& context,
                          bool monitoring_enabled);

}  // namespace velmo
