#include "telemetry/reporting.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

#include "core/clock.h"
#include "core/log.h"
#include "core/utils.h"
#include "messaging/messages.h"
#include "telemetry/measurements.h"
#include "telemetry/metrics_history.h"

namespace velmo {

using nlohmann::json;

namespace {

bool is_deprecated_metric(const std::string& name) {
    return name == "DataUpC" || name == "DataDownC" || name == "DataMixedC";
}

bool is_gps_metric(const std::string& name) { return name == "GpsLat" || name == "GpsLon" || name == "GpsAlt"; }

// A text the router has no value for ("" or "N/A") is reported as null.
json reported_value(const json& measured) {
    if (measured.is_string()) {
        const auto& text = measured.get_ref<const std::string&>();
        if (text.empty() || text == "N/A") return nullptr;
    }
    return measured;
}

// A time that many seconds after now, kept within the 32-bit schedule fields.
int32_t seconds_from_now(int64_t seconds) {
    return static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(now()) + seconds, INT32_MAX));
}

}  // namespace

// Metrics the profile marks Never stay out of the report altogether (and are
// not measured, which spares their pings and GPS waits): whoever sets a
// metric to Never on the management server expects not to receive it, also
// not when it changes or in a full report, nor an early report when one is
// added.
std::map<std::string, ReportDescriptor> reported_metrics(const ConfigProfile& profile) {
    auto requested = get_desired_reporting(profile);
    for (auto it = requested.begin(); it != requested.end();)
        it = it->second.type == ReportType::Never ? requested.erase(it) : std::next(it);
    return requested;
}

bool value_changed(const json& measured, const HistoryValue& stored, const std::optional<double>& threshold) {
    // A stored value of another kind than the measured one (a sensor that gave
    // nothing last time and a figure now, a history written by another
    // version) is a change: the new value is reported and stored, and the
    // comparison is back to like with like at the next report.
    switch (measured.type()) {
        case json::value_t::string: {
            const auto* text = std::get_if<std::string>(&stored);
            return !text || *text != measured.get_ref<const std::string&>();
        }
        case json::value_t::boolean: {
            const auto* flag = std::get_if<bool>(&stored);
            return !flag || *flag != measured.get<bool>();
        }
        case json::value_t::number_integer:
        case json::value_t::number_unsigned: {
            const auto* last = std::get_if<int64_t>(&stored);
            if (!last) return true;
            const uint64_t m = measured.is_number_unsigned() ? measured.get<uint64_t>()
                                                             : static_cast<uint64_t>(measured.get<int64_t>());
            const uint64_t s = static_cast<uint64_t>(*last);
            if (!threshold) return m != s;
            if (m == 0 && s != 0) return true;
            // The difference over the low 32 bits, read as a signed number.
            const int32_t difference = static_cast<int32_t>(static_cast<uint32_t>(s - m));
            return std::fabs(static_cast<double>(difference)) > *threshold;
        }
        case json::value_t::number_float: {
            const auto* last = std::get_if<double>(&stored);
            if (!last) return true;
            const double m = measured.get<double>();
            if (!threshold) return m != *last;
            if (m == 0.0 && *last != 0.0) return true;
            return std::fabs(std::trunc(*last - m)) > *threshold;
        }
        case json::value_t::null:
            // A metric that still has no value (null now and null last
            // reported) has not changed: an OnChange metric is not sent again
            // and again as null. A value that disappeared (null now, a value
            // last reported) has changed, so the server learns it is gone.
            return !std::holds_alternative<std::nullptr_t>(stored);
        default:
            return true;
    }
}

MetricsReport build_metrics_report(const std::map<std::string, ReportDescriptor>& requested, const json& measured,
                                   const MetricsHistory& history, bool full) {
    MetricsReport report;
    bool gps_missing = false;
    for (const auto& [name, descriptor] : requested) {
        try {
            if (!measured.is_object() || !measured.contains(name)) {
                if (is_deprecated_metric(name))
                    vlog(LOG_DEBUG, "Ignoring report of metric '%s': measurement is deprecated.", name.c_str());
                else if (is_gps_metric(name))
                    gps_missing = true;
                else
                    vlog(LOG_WARNING, "Skipping report of metric '%s': measurement was not found.", name.c_str());
                continue;
            }
            // Compared as it will be reported, so that a text without value
            // ("N/A") read again after being reported as null is no change.
            const json value = reported_value(measured[name]);
            // A text that cannot be serialized (invalid UTF-8 in a custom
            // file) would make the whole message fail; it leaves only its own
            // metric out.
            (void)value.dump();
            const auto last = history.last_changed_values.find(name);
            const bool changed = full || last == history.last_changed_values.end() ||
                                 value_changed(value, last->second, descriptor.threshold);
            if (changed)
                report.changed[name] = value;
            else if (descriptor.type == ReportType::Always)
                report.unchanged[name] = value;
        } catch (const std::exception& e) {
            vlog(LOG_ERR, "Error while adding metric '%s' into report: '%s'", name.c_str(), e.what());
        }
    }
    if (gps_missing) vlog(LOG_WARNING, "Skipping report of GPS metric: measurement was not found.");
    return report;
}

AgentState report_metrics(MqttClientVelmo& client, Schedule& schedule, AgentContext& context,
                          bool monitoring_enabled) {
    const ConfigProfile profile = context.config_profile;
    schedule.next_report_time = seconds_from_now(std::max(schedule.report_period, kMinReportPeriod));
    if (!monitoring_enabled) return AgentState::HANDLE_MANAGEMENT_COMMANDS;

    MqttResult result;
    try {
        const auto requested = reported_metrics(profile);
        if (requested.empty()) {
            vlog(LOG_DEBUG, "Skipping metrics report. There are no metrics requested.");
            return AgentState::HANDLE_MANAGEMENT_COMMANDS;
        }
        const Measurements measured =
            collect_measurements(requested, context.metrics_history, context.management_server.port);
        if (now() >= schedule.next_full_report_time) {
            schedule.next_full_report_time = seconds_from_now(kFullReportPeriod);
            context.full_report_pending = true;
        }
        const MetricsReport report =
            build_metrics_report(requested, measured.values, context.metrics_history, context.full_report_pending);
        if (report.changed.empty() && report.unchanged.empty()) {
            vlog(LOG_DEBUG, "Skipping metrics report. There is nothing to report.");
            return AgentState::HANDLE_MANAGEMENT_COMMANDS;
        }
        const MqttMessage message = make_metrics_message(report.changed, report.unchanged, format_utc_timestamp(now()));
        context.full_report_pending = false;
        // Remembered before the send: a failed send is kept and resent by the
        // session, so its values must not count as changed again.
        record_reported_metrics(context.metrics_history, report.changed, measured.downloads, measured.uploads);
        result = client.publish(message, false);
    } catch (const std::exception& e) {
        vlog(LOG_ERR, "Failure while preparing a report: '%s'", e.what());
        return AgentState::HANDLE_MANAGEMENT_COMMANDS;
    }
    if (result.status == MqttStatus::Success) return AgentState::HANDLE_MANAGEMENT_COMMANDS;
    vlog(LOG_ERR, "Sending monitoring data failed: '%s'", result.message.c_str());
    return result.status == MqttStatus::Disconnected ? AgentState::CONNECT_TO_MS
                                                     : AgentState::HANDLE_MANAGEMENT_COMMANDS;
}

}  // namespace velmo
