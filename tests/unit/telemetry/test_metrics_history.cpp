// The metrics history file: its exact bytes, what a load keeps from damaged
// files, and the kinds values keep across a save and a load.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <syslog.h>

#include "support/test_support.h"
#include "telemetry/metrics_history.h"

namespace velmo {
namespace {

using nlohmann::json;

const char kFile[] = "var/data/velmo_client/last_metrics.json";
const char kQuarantine[] = "var/data/velmo_client/last_metrics.json_err";

struct MetricsHistoryFile : ::testing::Test {
    void SetUp() override { top.write("var/data/velmo_client/.keep", ""); }
    test::TopDir top;
    test::LogCapture log;
    MetricsHistory history;
};

TEST_F(MetricsHistoryFile, SavedBytesAreCompactAndOrderedByName) {
    history.last_changed_values = {{"Temperature", int64_t{41}}, {"MoOperator", std::string("Op")}};
    history.downloads = {512, 981};
    history.uploads = {204, 733};
    save_metrics_history(history);
    EXPECT_EQ(top.read(kFile),
              R"({"downloads":{"last_delta":512,"last_interface_value":981},)"
              R"("last_changed_values":{"MoOperator":"Op","Temperature":41},)"
              R"("uploads":{"last_delta":204,"last_interface_value":733}})");

    save_metrics_history(MetricsHistory{});
    EXPECT_EQ(top.read(kFile), R"({"downloads":{"last_delta":0,"last_interface_value":0},)"
                               R"("uploads":{"last_delta":0,"last_interface_value":0}})");
}

TEST_F(MetricsHistoryFile, ValuesKeepTheirKindAcrossSaveAndLoad) {
    json report = {{"Up", 2.0},          {"Temp", 45},         {"Gone", nullptr}, {"Rtc", true},
                   {"Op", "Velnet"},     {"Neg", -7},          {"Cell", 4294967296ull + 5},
                   {"Big", 3000000000u}, {"Frac", 1.23457}};
    record_reported_metrics(history, report, {1, 2}, {3, 4});
    ASSERT_EQ(std::get<int64_t>(history.last_changed_values.at("Cell")), 5);  // low 32 bits of an unsigned value
    ASSERT_EQ(std::get<int64_t>(history.last_changed_values.at("Big")), 3000000000);
    save_metrics_history(history);

    MetricsHistory loaded;
    load_metrics_history(loaded);
    EXPECT_EQ(loaded.last_changed_values, history.last_changed_values);
    EXPECT_TRUE(std::holds_alternative<double>(loaded.last_changed_values.at("Up")));
    EXPECT_TRUE(std::holds_alternative<std::nullptr_t>(loaded.last_changed_values.at("Gone")));
    EXPECT_EQ(loaded.downloads.last_interface_value, 2u);
    EXPECT_EQ(loaded.uploads.last_delta, 3u);
    EXPECT_FALSE(top.exists(kQuarantine));
}

TEST_F(MetricsHistoryFile, CountersBeyondTheSignedRangeComeBackUnchanged) {
    history.downloads = {std::numeric_limits<uint64_t>::max(), uint64_t{1} << 63};
    save_metrics_history(history);
    EXPECT_NE(top.read(kFile).find(R"("last_delta":-1,"last_interface_value":-9223372036854775808)"),
              std::string::npos);
    MetricsHistory loaded;
    load_metrics_history(loaded);
    EXPECT_EQ(loaded.downloads.last_delta, history.downloads.last_delta);
    EXPECT_EQ(loaded.downloads.last_interface_value, history.downloads.last_interface_value);
}

TEST_F(MetricsHistoryFile, NoFileLeavesTheRecordAlone) {
    history.uploads = {7, 8};
    load_metrics_history(history);
    EXPECT_TRUE(history.last_changed_values.empty());
    EXPECT_EQ(history.uploads.last_delta, 7u);
    EXPECT_TRUE(log.contains(LOG_DEBUG, "Loading metric history from file."));
    EXPECT_TRUE(log.contains(LOG_DEBUG, "No previously reported metrics were found."));
}

struct LoadCase {
    const char* what;
    std::string content;
    bool quarantined;
    std::string error;                        // in the warning line when quarantined
    std::map<std::string, HistoryValue> values;  // last_changed_values after the load
    TrafficCounter downloads;
    TrafficCounter uploads;
};

TEST_F(MetricsHistoryFile, LoadTakesWhatItCanAndMovesDamagedFilesAside) {
    const std::string counters = R"("uploads":{"last_delta":3,"last_interface_value":4})";
    const LoadCase cases[] = {
        {"empty object", "{}", false, "", {}, {0, 0}, {0, 0}},
        {"no values member", R"({"downloads":{"last_delta":1,"last_interface_value":2},)" + counters + "}", false, "",
         {}, {1, 2}, {3, 4}},
        {"member without last_interface_value",
         R"({"last_changed_values":{"A":1},"downloads":{"last_delta":1},)" + counters + "}", true,
         "Mandatory element 'last_interface_value' is missing in metrics file.", {{"A", int64_t{1}}}, {0, 0}, {9, 9}},
        {"member that is no object", R"({"downloads":5})", true,
         "Mandatory element 'last_interface_value' is missing in metrics file.", {}, {0, 0}, {9, 9}},
        {"not JSON", "last_delta=1", true, "parse error", {{"Old", int64_t{1}}}, {0, 0}, {9, 9}},
        {"comments are not JSON", "{} // x", true, "parse error", {{"Old", int64_t{1}}}, {0, 0}, {9, 9}},
        {"boolean counter", R"({"downloads":{"last_delta":true,"last_interface_value":1}})", true,
         "type must be number, but is boolean", {}, {0, 0}, {9, 9}},
        {"string counter", R"({"downloads":{"last_delta":"1","last_interface_value":1}})", true,
         "type must be number, but is string", {}, {0, 0}, {9, 9}},
        {"huge floating-point counter", R"({"downloads":{"last_delta":1e300,"last_interface_value":1}})", true,
         "Value of 'last_delta' is out of range in metrics file.", {}, {0, 0}, {9, 9}},
        {"floating-point counters are cut", R"({"downloads":{"last_delta":12.9,"last_interface_value":-0.5}})",
         false, "", {}, {12, 0}, {0, 0}},
        {"negative counter", R"({"downloads":{"last_delta":-2,"last_interface_value":0}})", false, "", {},
         {std::numeric_limits<uint64_t>::max() - 1, 0}, {0, 0}},
        {"values in an array", R"({"last_changed_values":[true,"x"]})", false, "",
         {{"0", true}, {"1", std::string("x")}}, {0, 0}, {0, 0}},
        {"a single value", R"({"last_changed_values":2.5})", false, "", {{"", 2.5}}, {0, 0}, {0, 0}},
        {"nested values become 0", R"({"last_changed_values":{"A":{"b":1},"B":[1]}})", false, "",
         {{"A", int64_t{0}}, {"B", int64_t{0}}}, {0, 0}, {0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        top.write(kQuarantine, "older");
        top.write(kFile, c.content);
        MetricsHistory h;
        h.last_changed_values = {{"Old", int64_t{1}}};
        h.uploads = {9, 9};
        log.clear();
        load_metrics_history(h);
        EXPECT_EQ(h.last_changed_values, c.values);
        EXPECT_EQ(h.downloads.last_delta, c.downloads.last_delta);
        EXPECT_EQ(h.downloads.last_interface_value, c.downloads.last_interface_value);
        EXPECT_EQ(h.uploads.last_delta, c.uploads.last_delta);
        EXPECT_EQ(h.uploads.last_interface_value, c.uploads.last_interface_value);
        EXPECT_EQ(top.exists(kFile), !c.quarantined);
        EXPECT_EQ(top.read(kQuarantine), c.quarantined ? c.content : "older");
        bool warned = false;
        for (const auto& l : log.lines())
            if (l.priority == LOG_WARNING &&
                l.text.rfind("Metrics history could not be loaded from '" + top.path() + "/" + kFile + "'. (", 0) ==
                    0 &&
                l.text.find(c.error) != std::string::npos)
                warned = true;
        EXPECT_EQ(warned, c.quarantined);
    }
}

TEST_F(MetricsHistoryFile, MissingCountersAndNestedValuesAreLogged) {
    top.write(kFile, R"({"last_changed_values":{"A":[1]}})");
    load_metrics_history(history);
    EXPECT_TRUE(log.contains(LOG_DEBUG, "Item 'downloads' was not found within the metrics file."));
    EXPECT_TRUE(log.contains(LOG_DEBUG, "Item 'uploads' was not found within the metrics file."));
    EXPECT_TRUE(log.contains(LOG_DEBUG, "update_from_json: Unsupported type encountered (2). Replacing with 0."));
    EXPECT_FALSE(log.contains("No previously reported metrics were found."));
}

TEST_F(MetricsHistoryFile, ResetDeletesTheFileButKeepsTheRecord) {
    history.last_changed_values = {{"A", true}};
    save_metrics_history(history);
    reset_metrics_history(history);
    EXPECT_FALSE(top.exists(kFile));
    EXPECT_EQ(history.last_changed_values.size(), 1u);
    save_metrics_history(history);
    EXPECT_NE(top.read(kFile).find(R"("last_changed_values":{"A":true})"), std::string::npos);
}

TEST_F(MetricsHistoryFile, RecordingOverwritesReportedNamesAndKeepsOthers) {
    history.last_changed_values = {{"A", int64_t{1}}, {"B", std::string("b")}};
    record_reported_metrics(history, json{{"A", "now text"}, {"C", nullptr}}, {5, 6}, {7, 8});
    const std::map<std::string, HistoryValue> expected = {
        {"A", std::string("now text")}, {"B", std::string("b")}, {"C", nullptr}};
    EXPECT_EQ(history.last_changed_values, expected);
    EXPECT_EQ(history.downloads.last_interface_value, 6u);
    EXPECT_EQ(history.uploads.last_delta, 7u);
}

}  // namespace
}  // namespace velmo
