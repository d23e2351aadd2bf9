#include "telemetry/metrics_history.h"

#include <unistd.h>

#include <cstdint>

#include "core/exception.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/utils.h"

namespace velmo {

using nlohmann::json;

std::string metrics_history_path() { return data_path("last_metrics.json"); }

namespace {

// A counter is stored as a signed 64-bit JSON integer; reading it back as one
// and reinterpreting the bits gives the unsigned counter that was saved. A
// floating-point number is cut toward zero; one outside the 64-bit range is
// refused rather than converted with undefined result.
uint64_t read_counter_number(const json& value, const char* name) {
    const json& number = json_number(value);
    if (!number.is_number_float()) return static_cast<uint64_t>(number.get<int64_t>());
    const double d = number.get<double>();
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0))
        throw VelmoException("Value of '%s' is out of range in metrics file.", name);
    return static_cast<uint64_t>(static_cast<int64_t>(d));
}

TrafficCounter read_counter(const json& doc, const char* member) {
    TrafficCounter counter;
    if (!doc.is_object() || !doc.contains(member)) {
        vlog(LOG_DEBUG, "Item '%s' was not found within the metrics file.", member);
        return counter;
    }
    const json& item = doc[member];
    for (const char* name : {"last_interface_value", "last_delta"})
        if (!item.is_object() || !item.contains(name))
            throw VelmoException("Mandatory element '%s' is missing in metrics file.", name);
    counter.last_interface_value = read_counter_number(item["last_interface_value"], "last_interface_value");
    counter.last_delta = read_counter_number(item["last_delta"], "last_delta");
    return counter;
}

json counter_to_json(const TrafficCounter& counter) {
    return json{{"last_delta", static_cast<int64_t>(counter.last_delta)},
                {"last_interface_value", static_cast<int64_t>(counter.last_interface_value)}};
}

}  // namespace

void update_from_json(HistoryValue& value, const json& j) {
    switch (j.type()) {
        case json::value_t::null: value = nullptr; break;
        case json::value_t::string: value = j.get<std::string>(); break;
        case json::value_t::boolean: value = j.get<bool>(); break;
        case json::value_t::number_integer: value = j.get<int64_t>(); break;
        case json::value_t::number_unsigned:
            value = static_cast<int64_t>(static_cast<uint32_t>(j.get<uint64_t>()));
            break;
        case json::value_t::number_float: value = j.get<double>(); break;
        default:
            vlog(LOG_DEBUG, "update_from_json: Unsupported type encountered (%d). Replacing with 0.",
                 static_cast<int>(j.type()));
            value = int64_t{0};
    }
}

json history_value_to_json(const HistoryValue& value) {
    return std::visit([](const auto& v) { return json(v); }, value);
}

void load_metrics_history(MetricsHistory& history) {
    vlog(LOG_DEBUG, "Loading metric history from file.");
    const std::string path = metrics_history_path();
    if (file_exists(path)) {
        try {
            const json doc = json::parse(file_read(path));
            // Each part replaces its member as soon as it is read: a later
            // failure keeps what was already taken from the file.
            std::map<std::string, HistoryValue> values;
            if (doc.is_object() && doc.contains("last_changed_values"))
                for (const auto& item : doc["last_changed_values"].items())
                    update_from_json(values[item.key()], item.value());
            history.last_changed_values = std::move(values);
            history.downloads = read_counter(doc, "downloads");
            history.uploads = read_counter(doc, "uploads");
        } catch (const std::exception& e) {
            vlog(LOG_WARNING, "Metrics history could not be loaded from '%s'. (%s)", path.c_str(), e.what());
            file_quarantine(path);
        }
    }
    if (history.last_changed_values.empty()) vlog(LOG_DEBUG, "No previously reported metrics were found.");
}

void save_metrics_history(const MetricsHistory& history) {
    vlog(LOG_DEBUG, "Saving metric history to file.");
    json doc{{"downloads", counter_to_json(history.downloads)}, {"uploads", counter_to_json(history.uploads)}};
    json values = json::object();
    for (const auto& [name, value] : history.last_changed_values) {
        if (value.valueless_by_exception()) {
            vlog(LOG_WARNING, "Warning: unsupported value type under key '%s'.", name.c_str());
            continue;
        }
        values[name] = history_value_to_json(value);
    }
    if (!values.empty()) doc["last_changed_values"] = std::move(values);
    file_write(doc.dump(), metrics_history_path(), "w");
}

void reset_metrics_history(MetricsHistory& history) {
    unlink(metrics_history_path().c_str());
    load_metrics_history(history);
}

void record_reported_metrics(MetricsHistory& history, const json& changed, const TrafficCounter& downloads,
                             const TrafficCounter& uploads) {
    for (const auto& item : changed.items()) update_from_json(history.last_changed_values[item.key()], item.value());
    history.downloads = downloads;
    history.uploads = uploads;
}

}  // namespace velmo
