// Topics and the exact bytes of every outgoing message.
//
// The builders take the device id, IMEI and serial number from the router's
// status tool, so the MessagesOnRouter cases run inside the simulated router
// (tests/integration/test_messages_on_router.py) and skip elsewhere. They
// write the status sections they rely on themselves.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "messaging/messages.h"
#include "support/test_support.h"
#include "telemetry/status_reader.h"

namespace velmo {
namespace {

using nlohmann::json;

const std::string kId = "A4:07:1B:C0:00:FF";

TEST(Topics, EveryTopicCarriesTheDeviceId) {
    for (const std::string& id : {kId, std::string()}) {
        const std::pair<std::string, std::string> cases[] = {
            {topic_commands(id), "sr/cmd/" + id + "/#"},
            {topic_greetings_replies(id), "sr/greetings/" + id},
            {topic_bootstrap_replies(id), "sr/bootstrap/" + id},
            {topic_online(id), "sr/" + id + "/notify/online"},
            {topic_metrics(id), "sr/" + id + "/notify/metrics"},
            {topic_sync_event(id), "sr/" + id + "/notify/sync-event"},
            {topic_rebootstrap_response(id), "sr/" + id + "/cmd/rebootstrap"},
            {topic_reboot_response(id), "sr/" + id + "/cmd/reboot"},
            {topic_snapshot_response(id), "sr/" + id + "/cmd/snapshot"},
            {topic_apply_config_response(id), "sr/" + id + "/cmd/config"},
            {topic_bootstrap_request(id), "sr/" + id + "/bootstrap"},
            {topic_greetings(id), "sr/" + id + "/greetings"},
        };
        for (const auto& [topic, expected] : cases) EXPECT_EQ(topic, expected);
    }
    EXPECT_EQ(topic_online(""), "sr//notify/online");
}

TEST(ReplyTopic, SwapsTheSecondAndThirdSegments) {
    const std::pair<std::string, std::string> cases[] = {
        {"sr/cmd/A4:07:1B:C0:00:FF/x", "sr/A4:07:1B:C0:00:FF/cmd/x"},
        {"sr/cmd/X/foo", "sr/X/cmd/foo"},
        {"sr/cmd/X/a/b", "sr/X/cmd/a/b"},
        {"sr/cmd/X", "sr/X/cmd"},
        {"sr//X/y", "sr/X//y"},
        {"sr/cmd/X/", "sr/X/cmd"},  // a final empty segment is dropped
        {"plain", "plain"},
    };
    for (const auto& [topic, expected] : cases) EXPECT_EQ(make_reply_topic(topic), expected) << topic;
}

TEST(ReplyTopic, TwoSegmentsOrAnEmptyTopicRaiseOutOfRange) {
    for (const std::string topic : {"sr/cmd", "", "sr/cmd/"}) {
        EXPECT_THROW(make_reply_topic(topic), std::out_of_range) << "'" << topic << "'";
        EXPECT_THROW(make_unsupported_message_response(1, topic), std::out_of_range) << "'" << topic << "'";
    }
}

TEST(MessageErrors, InvalidUtf8RaisesTheJsonError) {
    const std::string bad = "ok \xff\xfe";
    const std::function<MqttMessage()> builders[] = {
        [&] { return make_apply_config_response(1, 1, bad, "h"); },
        [&] { return make_metrics_message(json{{"MoOperator", bad}}, json::object(), "t"); },
        [&] { return make_sync_event_message({{1, bad, "a", "b"}}, "t"); },
        [&] { return make_greetings_message("1.0", bad); },
    };
    for (const auto& build : builders) EXPECT_THROW(build(), json::type_error);
}

// Inside the simulated router: writes the status sections the builders read.
class MessagesOnRouter : public ::testing::Test {
protected:
    void SetUp() override {
        const char* sim = getenv("VELMO_SIM");
        if (!sim) GTEST_SKIP() << "needs the simulated router's status tool";
        sim_ = sim;
        // Past any section cached by an earlier case of this process.
        static long generation = 0;
        clock_.advance(1000000000L + 100L * ++generation);
    }

    void status(const std::string& section, const std::string& text) const {
        std::ofstream(sim_ + "/status/" + section) << text;
    }

    test::FakeClock clock_;
    std::string sim_;
};

struct MessageCase {
    const char* what;
    std::function<MqttMessage()> build;
    std::string topic;
    std::string payload;
    int qos;
};

TEST_F(MessagesOnRouter, EveryBuilderWritesItsExactMessage) {
    status("lan", "MAC Address : a4:07:1b:c0:00:ff\n");
    status("module", "Revision : EC25\nIMEI : 356938035643809\n");
    status("sys", "Product Name : RV-5200\nSerial Number : RV5200-0042\n");
    const std::string t = "2024-05-01T12:00:00.000Z";
    const std::string p = "sr/" + kId;
    const MessageCase cases[] = {
        {"online", [] { return make_online_message(true); }, p + "/notify/online", R"({"p":{"online":true},"t":1})", 1},
        {"offline", [] { return make_online_message(false); }, p + "/notify/online",
         R"({"p":{"online":false},"t":1})", 1},
        {"metrics", [&] { return make_metrics_message(json{{"MoSigStrength", -71}, {"DataUpR", 0.25}},
                                                      json{{"MoOperator", "Velnet"}}, t); },
         p + "/notify/metrics",
         R"({"p":{"chv":{"DataUpR":0.25,"MoSigStrength":-71},"dt":"2024-05-01T12:00:00.000Z",)"
         R"("v":{"MoOperator":"Velnet"}},"t":2})", 2},
        {"metrics without values", [&] { return make_metrics_message(json::object(), json(), t); },
         p + "/notify/metrics", R"({"p":{"dt":"2024-05-01T12:00:00.000Z"},"t":2})", 2},
        {"metrics with unchanged values only",
         [&] { return make_metrics_message(json(), json{{"Temperature", nullptr}}, t); }, p + "/notify/metrics",
         R"({"p":{"dt":"2024-05-01T12:00:00.000Z","v":{"Temperature":null}},"t":2})", 2},
        {"sync event", [&] { return make_sync_event_message({{2, "eth.IP", "10.0.0.1", "10.0.0.2"},
                                                             {5, "gps", "1.0", "1.0"}}, t); },
         p + "/notify/sync-event",
         R"({"p":{"changes":[{"from":"10.0.0.1","name":"eth.IP","to":"10.0.0.2","type":2},)"
         R"({"name":"gps","type":5}],"dt":"2024-05-01T12:00:00.000Z"},"t":3})", 2},
        {"sync event without changes", [&] { return make_sync_event_message({}, t); }, p + "/notify/sync-event",
         R"({"p":{"changes":[],"dt":"2024-05-01T12:00:00.000Z"},"t":3})", 2},
        {"rebootstrap response", [] { return make_rebootstrap_response(17); }, p + "/cmd/rebootstrap",
         R"({"c":0,"id":17,"t":5})", 1},
        {"reboot response", [] { return make_reboot_response(42); }, p + "/cmd/reboot", R"({"c":0,"id":42,"t":7})", 1},
        {"snapshot", [] { return make_snapshot_response(9, 0, "hello snapshot"); }, p + "/cmd/snapshot",
         R"({"c":0,"id":9,"p":{"snapshot":"aGVsbG8gc25hcHNob3Q="},"t":9})", 1},
        {"snapshot failed", [] { return make_snapshot_response(9, 1, "ignored"); }, p + "/cmd/snapshot",
         R"({"c":1,"id":9,"t":9})", 1},
        {"config reached", [] { return make_apply_config_response(3, 0, "", "abc123"); }, p + "/cmd/config",
         R"({"c":0,"id":3,"p":{"config_hash":"abc123"},"t":11})", 1},
        {"config not reached", [] { return make_apply_config_response(3, 1, "App 'gps' failed.", "abc123"); },
         p + "/cmd/config", R"({"c":1,"err_msg":"App 'gps' failed.","id":3,"t":11})", 1},
        {"config text escapes", [] { return make_apply_config_response(4, 1, "a\n\"b\"\\ Größe\x01", "h"); },
         p + "/cmd/config", "{\"c\":1,\"err_msg\":\"a\\n\\\"b\\\"\\\\ Größe\\u0001\",\"id\":4,\"t\":11}", 1},
        {"bootstrap request", [] { return make_bootstrap_request("-----BEGIN CERTIFICATE REQUEST-----\nMIIB\n"); },
         p + "/bootstrap",
         R"({"p":{"csr":"-----BEGIN CERTIFICATE REQUEST-----\nMIIB\n","imei":"356938035643809",)"
         R"("serial":"f7f097bd449ac14580354b94b08b2111c672fa44"},"t":12})", 1},
        {"greetings", [] { return make_greetings_message("1.4.2", "abc123"); }, p + "/greetings",
         R"({"p":{"config_hash":"abc123","version":"1.4.2"},"t":15})", 1},
        {"greetings before any profile", [] { return make_greetings_message("1.4.2", ""); }, p + "/greetings",
         R"({"p":{"config_hash":"","version":"1.4.2"},"t":15})", 1},
        {"unsupported message", [] { return make_unsupported_message_response(8, "sr/cmd/" + kId + "/nosuch"); },
         p + "/cmd/nosuch", R"({"c":4,"id":8,"t":16})", 1},
    };
    for (const auto& c : cases) {
        MqttMessage m = c.build();
        EXPECT_EQ(m.topic, c.topic) << c.what;
        EXPECT_EQ(m.payload, c.payload) << c.what;
        EXPECT_EQ(m.qos, c.qos) << c.what;
        EXPECT_FALSE(m.retained) << c.what;
    }
}

// The IMEI is read once per process, so this case needs a process of its own
// (the integration test runs it so).
TEST_F(MessagesOnRouter, UnknownIdentityGivesEmptyIdAndNulls) {
    status("lan", "Port : eth0\n");
    status("module", "Revision : EC25\n");
    status("sys", "Product Name : RV-5200\n");
    if (!get_imei().empty()) GTEST_SKIP() << "the IMEI was read by an earlier case of this process";
    EXPECT_EQ(device_id(), "");
    MqttMessage m = make_bootstrap_request("CSR");
    EXPECT_EQ(m.topic, "sr//bootstrap");
    EXPECT_EQ(m.payload, R"({"p":{"csr":"CSR","imei":null,"serial":null},"t":12})");
    EXPECT_EQ(make_online_message(true).topic, "sr//notify/online");
}

}  // namespace
}  // namespace velmo
