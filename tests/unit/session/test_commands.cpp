// The command loop's parsing and the pending reboot answer's file; the loop
// itself runs against the real agent in the integration tests.
#include <gtest/gtest.h>

#include "core/log.h"
#include "core/signals.h"
#include "core/utils.h"
#include "session/commands.h"
#include "support/test_support.h"

using namespace velmo;
using nlohmann::json;

namespace {

struct Commands : ::testing::Test {
    void SetUp() override {
        SIGTERM_ARRIVED = 0;
        file_ensure_path_exists(top.path() + "/var/data/velmo_client");
    }
    void TearDown() override { SIGTERM_ARRIVED = 0; }
    test::TopDir top;
    test::FakeClock clock;
    test::LogCapture log;
};

}  // namespace

TEST_F(Commands, RebootRequestFile) {
    const std::string path = reboot_request_path();
    RebootRequest request{5, false};
    load_reboot_request(request);
    EXPECT_EQ(request.request_id, -1) << "no file: the defaults";
    EXPECT_TRUE(request.response_sent);

    save_reboot_request({-2147483647 - 1, false});
    EXPECT_EQ(file_read(path), R"({"request_id":-2147483648,"response_sent":false})");
    load_reboot_request(request);
    EXPECT_EQ(request.request_id, -2147483647 - 1);
    EXPECT_FALSE(request.response_sent);

    // Unreadable files are moved aside and the defaults are used.
    for (const char* bad : {"", "{", R"({"request_id":3})", R"({"response_sent":false})",
                            R"({"request_id":"3","response_sent":false})", R"({"request_id":3,"response_sent":0})",
                            R"({"request_id":true,"response_sent":false})", R"({"request_id":3.5,"response_sent":false})",
                            R"({"request_id":4294967301,"response_sent":false})",
                            R"({"request_id":-2147483649,"response_sent":false})", "[1,false]"}) {
        file_write(bad, path, "w");
        request = {9, false};
        log.clear();
        load_reboot_request(request);
        EXPECT_EQ(request.request_id, -1) << bad;
        EXPECT_TRUE(request.response_sent) << bad;
        EXPECT_FALSE(file_exists(path)) << bad;
        EXPECT_EQ(file_read(path + "_err"), bad);
        ASSERT_EQ(log.lines().size(), 1u) << bad;
        EXPECT_EQ(log.lines()[0].priority, LOG_WARNING);
        EXPECT_TRUE(string_starts_with(log.lines()[0].text, "Failed to load data from file '" + path + "'. ("));
    }

    save_reboot_request({7, false});
    request = {7, false};
    log.clear();
    reset_reboot_request(request);
    EXPECT_FALSE(file_exists(path));
    EXPECT_EQ(request.request_id, -1);
    EXPECT_TRUE(request.response_sent);
    reset_reboot_request(request);  // no file: nothing to delete, no complaint
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(Commands, ParseCommandTakesWhole32BitNumbersOnly) {
    ManagementCommand c = parse_command(json::parse(R"({"id":2147483647,"p":{"a":1},"t":10})"));
    EXPECT_EQ(c.id, 2147483647);
    EXPECT_EQ(c.type, 10);
    EXPECT_EQ(c.payload, json::parse(R"({"a":1})"));
    EXPECT_TRUE(parse_command(json::parse(R"({"id":-1,"t":6})")).payload.is_null());

    for (const char* bad : {R"({"t":6})", R"({"id":1})", R"({"id":"1","t":6})", R"({"id":true,"t":6})",
                            R"({"id":1.5,"t":6})", R"({"id":2147483648,"t":6})", R"({"id":1,"t":4294967302})",
                            R"({"id":-2147483649,"t":6})", R"({"id":1,"t":null})", "[1,2]", "6"})
        EXPECT_THROW(parse_command(json::parse(bad)), std::exception) << bad;
}

TEST_F(Commands, LoopLeavesForTheReportTimeAndALostConnectionBeforeReceiving) {
    // A client that never connected: a pending reboot answer cannot be sent and stays pending.
    auto client = std::make_unique<MqttClientVelmo>("dev", "", 60, 30);
    Schedule schedule;
    AgentContext context;
    ExitRequest exit_request;
    context.reboot_request = {4, false};
    schedule.next_report_time = static_cast<int32_t>(clock.now());
    EXPECT_EQ(state_handle_management_commands(client, schedule, context, exit_request), AgentState::REPORT_METRICS);
    EXPECT_FALSE(context.reboot_request.response_sent);

    schedule.next_report_time = static_cast<int32_t>(clock.now()) + 1;
    EXPECT_EQ(state_handle_management_commands(client, schedule, context, exit_request), AgentState::CONNECT_TO_MS);
    SIGTERM_ARRIVED = 1;
    EXPECT_EQ(state_handle_management_commands(client, schedule, context, exit_request), AgentState::EXIT);
}
