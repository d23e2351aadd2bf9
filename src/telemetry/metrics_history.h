#pragma once
// The metrics history: the last value reported as changed for every metric
// and the traffic counters of the mobile data interface, kept across restarts
// in last_metrics.json of the data directory.
#include <nlohmann/json.hpp>

#include <string>

#include "core/state.h"

namespace velmo {

std::string metrics_history_path();  // _top + _data + "last_metrics.json"

// Replaces the record's content from the file when the file exists; an
// unreadable file is moved aside as path + "_err". Never raises.
void load_metrics_history(MetricsHistory& history);
// Writes the whole file; raises the serializer's and file_write's errors.
void save_metrics_history(const MetricsHistory& history);
// Deletes the file, then loads: the in-memory record keeps its values.
void reset_metrics_history(MetricsHistory& history);

// The history's kind of a reported JSON value. An unsigned integer keeps only
// its low 32 bits; objects and arrays become the integer 0.
void update_from_json(HistoryValue& value, const nlohmann::json& json);
nlohmann::json history_value_to_json(const HistoryValue& value);

// Remembers every value of a report about to be sent ("chv") and the traffic
// counters of the measurement it came from.
void record_reported_metrics(MetricsHistory& history, const nlohmann::json& changed, const TrafficCounter& downloads,
                             const TrafficCounter& uploads);

}  // namespace velmo
