// Deciding what a metrics report carries: the comparison with the last
// reported value, the sorting into changed and unchanged values, and the
// handler's schedule and failure paths.
#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdint>
#include <limits>

#include "core/settings.h"
#include "support/test_support.h"
#include "telemetry/metrics_history.h"
#include "telemetry/reporting.h"

namespace velmo {
namespace {

using nlohmann::json;

struct ChangeCase {
    const char* what;
    json measured;
    HistoryValue stored;
    std::optional<double> threshold;
    bool changed;
};

TEST(ValueChanged, FollowsTheKindOfTheMeasuredValue) {
    const auto none = std::nullopt;
    const ChangeCase cases[] = {
        {"same text", "LTE", std::string("LTE"), none, false},
        {"other text", "LTE", std::string("UMTS"), none, true},
        {"text after null", "LTE", nullptr, none, true},
        {"same flag", true, true, none, false},
        {"other flag", false, true, none, true},
        {"same integer", 70, int64_t{70}, none, false},
        {"other integer", 71, int64_t{70}, none, true},
        {"unsigned beyond 32 bits against its stored low bits", 4294967296ull + 5, int64_t{5}, none, true},
        {"threshold 5, 70 to 74", 74, int64_t{70}, 5.0, false},
        {"threshold 5, 70 to 75 equals the threshold", 75, int64_t{70}, 5.0, false},
        {"threshold 5, 70 to 76", 76, int64_t{70}, 5.0, true},
        {"threshold 5, 70 to 64", 64, int64_t{70}, 5.0, true},
        {"threshold 5, 70 to 0", 0, int64_t{70}, 5.0, true},
        {"threshold 5, 3 to 0", 0, int64_t{3}, 5.0, true},
        {"threshold 5, 0 to 0", 0, int64_t{0}, 5.0, false},
        {"difference over 32 bits: 2^32 apart is no change", int64_t{4294967296} + 70, int64_t{70}, 5.0, false},
        {"difference over 32 bits: most negative", int64_t{INT32_MIN}, int64_t{0}, 1e9, true},
        {"same float", 1.5, 1.5, none, false},
        {"float differs slightly", 1.5000001, 1.5, none, true},
        {"threshold 0.5, 1.2 to 1.9 truncates to 0", 1.9, 1.2, 0.5, false},
        {"threshold 0.5, 1.2 to 2.3", 2.3, 1.2, 0.5, true},
        {"threshold 0.5, 3.7 to 2.5", 2.5, 3.7, 0.5, true},
        {"threshold 0.5, 0.3 to 0.0", 0.0, 0.3, 0.5, true},
        {"threshold 2, 1.0 to 4.0 is 3", 4.0, 1.0, 2.0, true},
        {"threshold 3, 1.0 to 4.0 equals it", 4.0, 1.0, 3.0, false},
        // Still no value: no change. A value gone: a change.
        {"null against null", nullptr, nullptr, none, false},
        {"null against a value", nullptr, int64_t{45}, none, true},
        {"null against a text", nullptr, std::string("x"), 1.0, true},
        // A stored value of another kind is a change, not an error.
        {"integer after null", 45, nullptr, none, true},
        {"integer after null with threshold", 45, nullptr, 5.0, true},
        {"float after integer", 2.0, int64_t{2}, none, true},
        {"flag after text", true, std::string("true"), none, true},
        {"text after integer", "5", int64_t{5}, none, true},
    };
    for (const auto& c : cases) EXPECT_EQ(value_changed(c.measured, c.stored, c.threshold), c.changed) << c.what;
}

ReportDescriptor metric(ReportType type, std::optional<double> threshold = std::nullopt) {
    ReportDescriptor d;
    d.type = type;
    d.threshold = threshold;
    return d;
}

struct ReportBuilding : ::testing::Test {
    ReportBuilding() {
        history.last_changed_values = {{"CpuUsage", int64_t{70}},  {"MemUsage", int64_t{70}},
                                       {"MoUptime", int64_t{70}},  {"CustNum", 1.2},
                                       {"MoOperator", nullptr},    {"Temperature", nullptr},
                                       {"MoSim", std::string("x")}, {"RtcBattery", true},
                                       {"Iccid", std::string("89")}};
        requested = {{"CpuUsage", metric(ReportType::OnChange, 5.0)}, {"MemUsage", metric(ReportType::OnChange, 5.0)},
                     {"MoUptime", metric(ReportType::OnChange, 5.0)}, {"CustNum", metric(ReportType::OnChange, 0.5)},
                     {"MoOperator", metric(ReportType::OnChange)},    {"Temperature", metric(ReportType::OnChange)},
                     {"MoSim", metric(ReportType::OnChange)},         {"RtcBattery", metric(ReportType::Always)},
                     {"Iccid", metric(ReportType::OnChange)},         {"MoBand", metric(ReportType::OnChange)},
                     {"DataUpC", metric(ReportType::Always)},         {"GpsLat", metric(ReportType::OnChange)},
                     {"GpsLon", metric(ReportType::OnChange)},        {"GpsAlt", metric(ReportType::OnChange)},
                     {"Bogus", metric(ReportType::OnChange)}};
        measured = {{"CpuUsage", 74},       {"MemUsage", 76},          {"MoUptime", 0},   {"CustNum", 1.9},
                    {"MoOperator", "N/A"},  {"Temperature", nullptr},  {"MoSim", ""},     {"RtcBattery", true},
                    {"Iccid", "89"},        {"MoBand", "B3"}};
    }
    test::LogCapture log;
    MetricsHistory history;
    std::map<std::string, ReportDescriptor> requested;
    json measured;
};

TEST_F(ReportBuilding, ChangedValuesGoToChvAndUnchangedAlwaysValuesToV) {
    const MetricsReport report = build_metrics_report(requested, measured, history, false);
    EXPECT_EQ(report.changed, (json{{"MemUsage", 76}, {"MoUptime", 0}, {"MoSim", nullptr}, {"MoBand", "B3"}}));
    EXPECT_EQ(report.unchanged, (json{{"RtcBattery", true}}));
}

TEST_F(ReportBuilding, FullReportCarriesEveryMeasuredValueWithNullForTextsWithoutValue) {
    const MetricsReport report = build_metrics_report(requested, measured, history, true);
    EXPECT_EQ(report.changed, (json{{"CpuUsage", 74},
                                    {"MemUsage", 76},
                                    {"MoUptime", 0},
                                    {"CustNum", 1.9},
                                    {"MoOperator", nullptr},
                                    {"Temperature", nullptr},
                                    {"MoSim", nullptr},
                                    {"RtcBattery", true},
                                    {"Iccid", "89"},
                                    {"MoBand", "B3"}}));
    EXPECT_EQ(report.unchanged, json::object());
}

TEST_F(ReportBuilding, MissingMeasurementsAreLoggedByKind) {
    build_metrics_report(requested, measured, history, true);
    EXPECT_TRUE(log.contains(LOG_DEBUG, "Ignoring report of metric 'DataUpC': measurement is deprecated."));
    EXPECT_EQ(log.count("Skipping report of GPS metric: measurement was not found."), 1u);
    EXPECT_TRUE(log.contains(LOG_WARNING, "Skipping report of metric 'Bogus': measurement was not found."));
    std::vector<std::string> warnings;
    for (const auto& l : log.lines())
        if (l.priority <= LOG_WARNING) warnings.push_back(l.text);
    EXPECT_EQ(warnings.size(), 2u);  // nothing about DataUpC or single GPS names
}

TEST_F(ReportBuilding, AnUnserializableTextLeavesOnlyItsOwnMetricOut) {
    measured["MoBand"] = std::string("B\xff");
    const MetricsReport report = build_metrics_report(requested, measured, history, true);
    EXPECT_FALSE(report.changed.contains("MoBand"));
    EXPECT_EQ(report.changed.size(), 9u);
    bool logged = false;
    for (const auto& l : log.lines())
        logged |= l.priority == LOG_ERR && l.text.rfind("Error while adding metric 'MoBand' into report: '", 0) == 0;
    EXPECT_TRUE(logged);
    EXPECT_NO_THROW(report.changed.dump());
}

// The handler on a real MQTT session that is not connected: every publish
// ends with the status Disconnected.
struct ReportHandler : ::testing::Test {
    ReportHandler() {
        schedule.report_period = 600;
        schedule.next_report_time = static_cast<int32_t>(clock.now());
        schedule.next_full_report_time = static_cast<int32_t>(clock.now());
        // A custom number whose file is missing measures 0.0 every time.
        context.config_profile = json{{"reporting", {{"CustNum", {{"include", "OnChange"}}}}}};
        context.metrics_history.uploads = {11, 12};
    }
    int32_t now() { return static_cast<int32_t>(clock.now()); }
    test::TopDir top;
    test::FakeClock clock;
    test::LogCapture log;
    MqttClientVelmo client{"dev", "", 60, 1};
    Schedule schedule;
    AgentContext context;
};

TEST_F(ReportHandler, DisabledMonitoringOnlyMovesTheReportTime) {
    EXPECT_EQ(report_metrics(client, schedule, context, false), AgentState::HANDLE_MANAGEMENT_COMMANDS);
    EXPECT_EQ(schedule.next_report_time, now() + 600);
    EXPECT_EQ(schedule.next_full_report_time, now());
    EXPECT_EQ(context.metrics_history.uploads.last_delta, 11u);  // nothing was measured
    EXPECT_TRUE(context.full_report_pending);
}

TEST_F(ReportHandler, ReportPeriodHasAFloorAndStaysInRange) {
    const std::pair<int32_t, int64_t> cases[] = {
        {0, 60}, {-5, 60}, {59, 60}, {61, 61}, {INT32_MAX, int64_t{INT32_MAX} - now()}};
    for (const auto& [period, expected] : cases) {
        schedule.report_period = period;
        report_metrics(client, schedule, context, false);
        EXPECT_EQ(schedule.next_report_time - int64_t{now()}, expected) << period;
    }
}

TEST_F(ReportHandler, NothingRequestedSendsNothing) {
    const json profiles[] = {json(nullptr), json{{"reporting", json::object()}},
                             json{{"reporting", {{"CustNum", {{"include", "Never"}}}}}}};
    for (const auto& profile : profiles) {
        log.clear();
        context.config_profile = profile;
        EXPECT_EQ(report_metrics(client, schedule, context, true), AgentState::HANDLE_MANAGEMENT_COMMANDS);
        EXPECT_TRUE(log.contains(LOG_DEBUG, "Skipping metrics report. There are no metrics requested.")) << profile;
        EXPECT_EQ(context.metrics_history.uploads.last_delta, 11u);
    }
}

TEST_F(ReportHandler, AnErrorWhilePreparingCancelsTheReport) {
    context.config_profile = json{{"reporting", {{"CustNum", {{"include", ""}}}}}};
    EXPECT_EQ(report_metrics(client, schedule, context, true), AgentState::HANDLE_MANAGEMENT_COMMANDS);
    EXPECT_TRUE(log.contains(LOG_ERR, "Failure while preparing a report: 'Report attribute empty. (include)'"));
    EXPECT_TRUE(context.full_report_pending);
    EXPECT_EQ(schedule.next_report_time, now() + 600);
}

TEST_F(ReportHandler, HistoryIsUpdatedBeforeTheSendWhateverTheSendGives) {
    // A session that never connected fails; one whose connection was refused
    // is disconnected and must connect again.
    MqttClientVelmo refused{"dev", "", 60, 1};
    refused.connect("127.0.0.1", test::closed_port(), 1);
    const struct {
        MqttClientVelmo* client;
        AgentState next;
        std::string error;
    } cases[] = {
        {&client, AgentState::HANDLE_MANAGEMENT_COMMANDS,
         "Sending monitoring data failed: 'MQTT client is not initialized.'"},
        {&refused, AgentState::CONNECT_TO_MS, "Sending monitoring data failed: 'Disconnected'"},
    };
    for (const auto& c : cases) {
        context.metrics_history.last_changed_values.clear();
        context.full_report_pending = true;
        log.clear();
        EXPECT_EQ(report_metrics(*c.client, schedule, context, true), c.next);
        EXPECT_TRUE(log.contains(LOG_ERR, c.error)) << c.error;
        EXPECT_EQ(context.metrics_history.last_changed_values.at("CustNum"), HistoryValue(0.0));
        EXPECT_EQ(context.metrics_history.uploads.last_delta, 0u);  // the measurement's counters
        EXPECT_FALSE(context.full_report_pending);
    }
    EXPECT_EQ(schedule.next_full_report_time, now() + 2592000);

    // The next report compares with what the failed one stored.
    clock.advance(600);
    log.clear();
    EXPECT_EQ(report_metrics(client, schedule, context, true), AgentState::HANDLE_MANAGEMENT_COMMANDS);
    EXPECT_TRUE(log.contains(LOG_DEBUG, "Skipping metrics report. There is nothing to report."));
    EXPECT_FALSE(context.full_report_pending);

    // Thirty days after the last full report, every value is sent again.
    clock.advance(2592000);
    log.clear();
    report_metrics(client, schedule, context, true);
    EXPECT_FALSE(log.contains("Skipping metrics report. There is nothing to report."));
    EXPECT_EQ(schedule.next_full_report_time, now() + 2592000);
}

}  // namespace
}  // namespace velmo
