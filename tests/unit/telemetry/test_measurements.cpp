// The parsers and rules of the measurements: tool outputs, traffic deltas,
// rounding, the custom metric files and the ping host check.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <string>

#include "core/paths.h"
#include "core/utils.h"
#include "support/test_support.h"
#include "telemetry/measurements.h"

namespace velmo {
namespace {

TEST(TrafficDelta, DifferenceOrNewCounterByTheLow32Bits) {
    struct Case {
        const char* what;
        uint64_t current, previous, expected;
    } cases[] = {
        {"first reading after a start", 981, 0, 981},
        {"counter grew", 1500, 1000, 500},
        {"counter went down", 500, 1000, 500},
        {"unchanged", 700, 700, 0},
        {"growth of 2^31 or more reads as a drop", 3000000100ULL, 100, 3000000100ULL},
        {"64-bit counter past 2^32", 0x100000100ULL, 0xFFFFFF00ULL, 0x200},
        {"32-bit counter wrapped", 0x100, 0xFFFFFF00ULL, 0x200},
        {"large growth of a 64-bit counter", 5000000000ULL, 0, 5000000000ULL},
    };
    for (const auto& c : cases) EXPECT_EQ(traffic_delta(c.current, c.previous), c.expected) << c.what;
}

TEST(BytesToMegabytes, RoundedToFivePlacesHalvesAwayFromZero) {
    struct Case {
        uint64_t bytes;
        double expected;
    } cases[] = {{1234567, 1.23457}, {0, 0.0}, {5, 0.00001}, {4, 0.0}, {1000000, 1.0}, {981, 0.00098},
                 {1000000000000ULL, 1000000.0}};
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(bytes_to_megabytes(c.bytes), c.expected) << c.bytes;
}

TEST(PingOutput, WholeMillisecondsOfTheLastReply) {
    EXPECT_EQ(parse_ping_output("time=12\ntime=15\n"), 15);
    EXPECT_EQ(parse_ping_output("time=0\n"), 0);
    EXPECT_EQ(parse_ping_output("time=7"), 7);
    for (const char* unreadable : {"", "time=\n", "time=abc\n", "tim\n", "time=99999999999\n"}) {
        EXPECT_ANY_THROW(parse_ping_output(unreadable)) << unreadable;
    }
}

TEST(InterfaceBytes, CounterAfterTheColonOfTheSelectedField) {
    EXPECT_EQ(parse_interface_bytes("bytes:1234\n"), 1234u);
    EXPECT_EQ(parse_interface_bytes("bytes:18446744073709551615\n"), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(parse_interface_bytes(""), 0u);
    for (const char* unreadable : {"ifconfig: ppp9: error fetching interface information: Device not found\n",
                                   "bytes:-1\n", "bytes: -5\n", "bytes:18446744073709551616\n", "bytes:\n"}) {
        EXPECT_ANY_THROW(parse_interface_bytes(unreadable)) << unreadable;
    }
    // A name from the status tool is one argument of ifconfig, never a command.
    char dir_template[] = "/tmp/velmo-iface-XXXXXX";
    std::string planted = std::string(mkdtemp(dir_template)) + "/ran";
    EXPECT_ANY_THROW(read_interface_bytes("ppp0;touch " + planted, TrafficDirection::Received));
    EXPECT_NE(access(planted.c_str(), F_OK), 0);
    rmdir(file_get_dir(planted).c_str());
    // An interface the status tool does not know is never looked at.
    EXPECT_EQ(read_interface_bytes("N/A", TrafficDirection::Received), 0u);
    EXPECT_EQ(read_interface_bytes("", TrafficDirection::Sent), 0u);
}

TEST(PppUptime, HundredthsOfDaysHoursMinutes) {
    EXPECT_EQ(parse_ppp_uptime("0 days, 1 hours, 2 minutes"), 372000u);
    EXPECT_EQ(parse_ppp_uptime("2 days, 3 hours, 4 minutes"), 18384000u);
    EXPECT_EQ(parse_ppp_uptime("N/A"), 0u);
    // 600 days do not fit into 32 bits of hundredths.
    EXPECT_EQ(parse_ppp_uptime("600 days, 0 hours, 0 minutes"), 5184000000ULL);
    for (const char* unreadable : {"5 minutes", "1 days, 2 hours", "x days, 1 hours, 2 minutes",
                                   "-1 days, 0 hours, 0 minutes", "0 days, 1 hours, 99999999999 minutes", ""}) {
        EXPECT_ANY_THROW(parse_ppp_uptime(unreadable)) << unreadable;
    }
}

TEST(WanIp, SecondLineOfTheConntrackPipeline) {
    test::LogCapture log;
    const char* summary = "conntrack v1.4.7 (conntrack-tools): 1 flow entries have been shown.\n";
    EXPECT_EQ(parse_wan_ip(std::string(summary) + "src=10.64.64.64\n"), "10.64.64.64");
    EXPECT_EQ(parse_wan_ip(std::string(summary) + "src=10.64.64.64\nsrc=10.0.0.9\n"), "10.64.64.64");
    EXPECT_EQ(parse_wan_ip("src=192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(log.lines().size(), 0u);
    struct Case {
        std::string output, logged;
    } failures[] = {
        {summary, "Failed to read WanIp. ()"},
        {"src=192.0.2.7\n", "Failed to read WanIp. (192.0.2.7\n)"},
        {std::string(summary) + "src=300.1.1.1\n", "Failed to read WanIp. (300.1.1.1)"},
        {std::string(summary) + "src=1.2.3.4;reboot\n", "Failed to read WanIp. (1.2.3.4;reboot)"},
    };
    for (const auto& c : failures) {
        log.clear();
        EXPECT_EQ(parse_wan_ip(c.output), "") << c.output;
        EXPECT_TRUE(log.contains(LOG_ERR, c.logged)) << c.output;
    }
}

TEST(MetricNames, FamilyAloneOrFollowedByDigits) {
    struct Case {
        const char* name;
        bool expected;
    } cases[] = {{"PingLat", true}, {"PingLat2", true}, {"PingLat10", true}, {"PingLatX", false},
                 {"PingLat2a", false}, {"PingLa", false}, {"XPingLat", false}};
    for (const auto& c : cases) EXPECT_EQ(is_numbered_metric(c.name, "PingLat"), c.expected) << c.name;
    EXPECT_EQ(string_or_null(""), nullptr);
    EXPECT_EQ(string_or_null("N/A"), nullptr);
    EXPECT_EQ(string_or_null("LTE"), "LTE");
    EXPECT_EQ(string_or_null("Telef\xc3\xb3nica"), "Telef\xc3\xb3nica");
    EXPECT_EQ(string_or_null("Telef\xc3"), "Telef");
    EXPECT_EQ(string_or_null("\xe2\x82"), nullptr);
}

TEST(Latency, HostThatNeedsQuotingRunsNothing) {
    test::LogCapture log;
    char dir_template[] = "/tmp/velmo-latency-XXXXXX";
    std::string dir = mkdtemp(dir_template);
    std::string planted = dir + "/ran";
    for (const std::string& host : {"127.0.0.1'; touch " + planted + "; '", "127.0.0.1;touch " + planted,
                                    "$(touch " + planted + ")", std::string("host\nname")}) {
        EXPECT_EQ(RouterDetailsReader::getLatency(host, 1, 1), -1) << host;
    }
    EXPECT_NE(access(planted.c_str(), F_OK), 0);
    EXPECT_EQ(log.count("getLatency: The host name holds characters that are not allowed; it is not pinged."), 4u);
    rmdir(dir.c_str());
}

// The custom metric files in a data directory of the test's own.
class CustomMetrics : public ::testing::Test {
protected:
    void SetUp() override {
        previous_data_ = FilesystemPaths::_data;
        FilesystemPaths::_data = top_.path() + "/data/";
    }
    void TearDown() override { FilesystemPaths::_data = previous_data_; }
    void write(const std::string& name, const std::string& content) {
        top_.write("data/custom_metrics/" + name, content);
    }
    test::TopDir top_;
    test::LogCapture log_;
    std::string previous_data_;
};

TEST_F(CustomMetrics, StringsAreCutAtFortyBytesWithOneWarning) {
    const std::string fifty(50, 's');
    write("custom_str3", fifty);
    write("custom_str4", "line\n");
    // The cut would end inside the two-byte 'é' at bytes 39 and 40.
    write("custom_str5", std::string(39, 'a') + "\xc3\xa9" + "bbbb");
    write("custom_str6", std::string(40, 'x'));
    EXPECT_EQ(get_custom_string(3), fifty.substr(0, 40));
    EXPECT_EQ(log_.count("Warning: CustomStr3 size was over the limit and had to be truncated (max size is 40)."),
              1u);
    EXPECT_EQ(get_custom_string(4), "line\n");
    EXPECT_EQ(get_custom_string(5), std::string(39, 'a'));
    EXPECT_EQ(get_custom_string(6), std::string(40, 'x'));
    EXPECT_EQ(get_custom_string(7), "");
    EXPECT_EQ(log_.lines().size(), 2u);
}

TEST_F(CustomMetrics, NumbersTakeTheLeadingNumberOrZero) {
    struct Case {
        const char* content;
        double expected;
        bool warned;
    } cases[] = {
        {"12.5", 12.5, false}, {" -3e2 volts\n", -300.0, false}, {"", 0.0, false},
        {"abc", 0.0, true},    {"1e999", 0.0, true},             {"nan", 0.0, true}, {"inf", 0.0, true},
    };
    for (const auto& c : cases) {
        log_.clear();
        write("custom_number2", c.content);
        EXPECT_DOUBLE_EQ(get_custom_number(2), c.expected) << c.content;
        std::string warning = "Warning: File '" + top_.path() + "/data//custom_metrics/custom_number2' does not "
                              "contain a valid number.";
        EXPECT_EQ(log_.contains(LOG_WARNING, warning), c.warned) << c.content;
    }
    EXPECT_DOUBLE_EQ(get_custom_number(8), 0.0);
}

TEST_F(CustomMetrics, OnlyRegularFilesAreRead) {
    // A FIFO has no writer and would block the reader for good; the alarm
    // ends the test instead of letting it hang.
    const std::string dir = top_.path() + "/data/custom_metrics/";
    write("custom_str2", "");
    ASSERT_EQ(mkfifo((dir + "custom_str1").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((dir + "custom_number1").c_str(), 0600), 0);
    ASSERT_EQ(mkdir((dir + "custom_number2").c_str(), 0700), 0);
    alarm(10);
    EXPECT_EQ(get_custom_string(1), "");
    EXPECT_DOUBLE_EQ(get_custom_number(1), 0.0);
    EXPECT_DOUBLE_EQ(get_custom_number(2), 0.0);
    alarm(0);
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(CustomMetrics, RequestedNamesChooseTheFiles) {
    write("custom_str1", "first");
    write("custom_str2", "N/A");
    write("custom_number1", "abc");
    write("custom_number7", "7.25");
    std::map<std::string, ReportDescriptor> requested;
    for (const char* name : {"CustStr", "CustStr2", "CustStr3", "CustStrX", "CustNum", "CustNum7", "Temperature"}) {
        requested[name] = ReportDescriptor{name, ReportType::Always, std::nullopt, ""};
    }
    nlohmann::json values = nlohmann::json::object();
    collect_custom_metrics(requested, CustomKind::String, values);
    EXPECT_EQ(values.dump(), R"({"CustStr":"first","CustStr2":null,"CustStr3":null})");
    collect_custom_metrics(requested, CustomKind::Number, values);
    EXPECT_EQ(values.dump(), R"({"CustNum":0.0,"CustNum7":7.25,"CustStr":"first","CustStr2":null,"CustStr3":null})");
    EXPECT_EQ(log_.count("Warning: File '" + top_.path() +
                         "/data//custom_metrics/custom_number1' does not contain a valid number."),
              1u);

    // A number too large for the file name ends this kind's step with one error line.
    requested["CustNum99999999999"] = ReportDescriptor{"CustNum99999999999", ReportType::Always, std::nullopt, ""};
    nlohmann::json numbers = nlohmann::json::object();
    collect_custom_metrics(requested, CustomKind::Number, numbers);
    EXPECT_EQ(log_.count("Error while obtaining custom file measurements: 'stoi'"), 1u);
}

}  // namespace
}  // namespace velmo
