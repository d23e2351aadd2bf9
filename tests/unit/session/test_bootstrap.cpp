// The server-facing states against a real MQTT client whose broker is not
// there (connections are refused at once), with a clock whose pauses take no
// time: the retry counts, pauses and log lines without waiting hours.
#include <gtest/gtest.h>

#include "core/exception.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/shell.h"
#include "core/signals.h"
#include "core/utils.h"
#include "desired_state/profile.h"
#include "session/bootstrap.h"
#include "session/connection.h"
#include "session/credentials.h"
#include "support/test_support.h"

using namespace velmo;
using nlohmann::json;

namespace {

const std::vector<unsigned> kRetryPauses = {20,   30,   45,   67,   100,  150,  225,  337,  505,
                                            757,  1135, 1702, 2553, 3600, 3600, 3600, 3600, 3600,
                                            3600, 3600, 3600, 3600, 3600, 3600, 3600};

struct Session : ::testing::Test {
    void SetUp() override {
        SIGTERM_ARRIVED = 0;
        file_ensure_path_exists(top.path() + "/var/data/velmo_client");
        file_ensure_path_exists(top.path() + "/tmp");
        top.write("var/data/velmo_client/ca.crt", "CA");
        top.write("var/data/velmo_client/client.csr", "CSR");
        client = std::make_unique<MqttClientVelmo>("dev", "", 60, 30);
        settings.bootstrap_server = "127.0.0.1";
        settings.bootstrap_port = static_cast<uint32_t>(test::closed_port());
    }
    void TearDown() override { SIGTERM_ARRIVED = 0; }
    std::vector<std::string> lines(int priority) const {
        std::vector<std::string> out;
        for (const auto& l : log.lines())
            if (l.priority == priority) out.push_back(l.text);
        return out;
    }
    test::TopDir top;
    test::FakeClock clock;
    test::LogCapture log;
    std::unique_ptr<MqttClientVelmo> client;
    AgentSettings settings;
    ManagementServer server;
};

}  // namespace

TEST_F(Session, BootstrapGivesUpAfter25AttemptsWithGrowingPauses) {
    EXPECT_EQ(state_bootstrap(client, settings, server), AgentState::INITIAL);
    EXPECT_EQ(clock.sleeps(), kRetryPauses);
    const std::string failed = "Connection to '127.0.0.1:" + std::to_string(settings.bootstrap_port) +
                               "' failed [-1]: 'Destination unreachable or handshake error'";
    auto errors = lines(LOG_ERR);
    ASSERT_EQ(errors.size(), 50u);
    EXPECT_EQ(errors[0], failed);
    EXPECT_EQ(errors[1], "Next bootstrap attempt in 20 seconds.");
    EXPECT_EQ(errors[49], "Next bootstrap attempt in 3600 seconds.");
    EXPECT_EQ(log.count("Connecting to BS."), 25u);
    EXPECT_TRUE(log.contains(LOG_INFO, "Maximum number of attempts reached (25)."));
}

TEST_F(Session, TerminationDuringAFailingBootstrapAttemptExitsWithoutAPause) {
    clock.on_sleep([&](unsigned) {
        if (clock.sleeps().size() == 3) SIGTERM_ARRIVED = 1;
    });
    EXPECT_EQ(state_bootstrap(client, settings, server), AgentState::EXIT);
    EXPECT_EQ(clock.sleeps(), (std::vector<unsigned>{20, 30, 45}));
    EXPECT_EQ(log.count("Connecting to BS."), 4u);
}

TEST_F(Session, SkipBootstrapNeedsAStoredServer) {
    settings.skip_bootstrap = true;
    EXPECT_EQ(state_bootstrap(client, settings, server), AgentState::BOOTSTRAP);
    EXPECT_EQ(clock.sleeps(), std::vector<unsigned>{60});
    EXPECT_TRUE(log.contains(LOG_ERR, "SKIP_BOOTSTRAP is enabled, but MS address or port is not valid!. Retry in 60 "
                                      "seconds"));
    server = {"ms.example", 70000};  // any port above 0 will do here
    EXPECT_EQ(state_bootstrap(client, settings, server), AgentState::CONNECT_TO_MS);
    EXPECT_TRUE(log.contains(LOG_INFO, "Skipping bootstrap due to SKIP_BOOTSTRAP setting."));
    EXPECT_EQ(log.count("Connecting to BS."), 0u);
}

TEST_F(Session, ConnectionToTheManagementServerGivesUpAfter25Attempts) {
    server = {"127.0.0.1", test::closed_port()};
    top.write("var/data/velmo_client/client.crt", "CRT");
    top.write("var/data/velmo_client/client.key", "KEY");
    EXPECT_EQ(state_connect_to_ms(client, server, false, false), AgentState::BOOTSTRAP);
    EXPECT_EQ(clock.sleeps(), kRetryPauses);
    const std::string failed =
        "Connection to 127.0.0.1:" + std::to_string(server.port) + " failed: Destination unreachable or handshake error.";
    EXPECT_EQ(log.count(failed), 25u);
    auto info = lines(LOG_INFO);
    EXPECT_EQ(info[0], "Next attempt in 20s.");
    EXPECT_EQ(info[1], "Next attempt in 30s.");
    EXPECT_EQ(info.back(), "Maximum number of attempts reached (25).");
    EXPECT_EQ(client->protocol(), "ssl");
}

TEST_F(Session, PlainTcpWhenSslIsDisabled) {
    server = {"127.0.0.1", test::closed_port()};
    clock.on_sleep([](unsigned) { SIGTERM_ARRIVED = 1; });
    EXPECT_EQ(state_connect_to_ms(client, server, true, true), AgentState::EXIT);
    EXPECT_EQ(client->protocol(), "tcp");
    EXPECT_TRUE(log.contains(LOG_WARNING, "Warning: SSL is disabled (via settings)."));
}

TEST_F(Session, AGreetingThatCannotBeSentIsGivenUpAfterSixTries) {
    EXPECT_EQ(state_greet_server(client, "hash"), AgentState::HANDLE_MANAGEMENT_COMMANDS);
    EXPECT_EQ(clock.sleeps(), std::vector<unsigned>(6, 10));
    auto errors = lines(LOG_ERR);
    ASSERT_EQ(errors.size(), 6u);
    EXPECT_EQ(errors[0], "Sending a greetings message failed (attempt 1/6): 'MQTT client is not initialized.'");
    EXPECT_EQ(errors[5], "Sending a greetings message failed (attempt 6/6): 'MQTT client is not initialized.'");
    EXPECT_TRUE(log.contains(LOG_INFO, "Aborting sending greetings due to errors."));
}

TEST_F(Session, InitialDecidesFromTheFilesOnDisk) {
    const std::string last = "var/data/velmo_client/last_bs_address";
    top.write("opt/velmo_client/etc/ca.crt.default", "DEFAULT CA");
    unlink((top.path() + "/var/data/velmo_client/ca.crt").c_str());
    settings.monitoring_enabled = 0;

    EXPECT_EQ(state_initial(client, settings, server), AgentState::BOOTSTRAP);
    EXPECT_TRUE(log.contains(LOG_INFO, "Bootstrap server address changed. Proceding to Bootstrap."));
    EXPECT_TRUE(log.contains(LOG_INFO, "Reporting metrics will be skipped due to MONITORING_ENABLED setting."));
    EXPECT_EQ(top.read("var/data/velmo_client/ca.crt"), "DEFAULT CA") << "the default CA is copied when missing";

    // Real credentials, so that the expiry check has a certificate to read.
    create_credentials("dev", "S1");
    std::string out;
    ASSERT_EQ(run_command_output("cd " + top.path() + "/var/data/velmo_client && "
                                 "openssl req -x509 -days 2 -key client.key -in client.csr -out client.crt",
                                 &out),
              0)
        << out;
    // Several conditions at once: the first in the order of the table wins,
    // and only its line is logged.
    struct Row {
        std::string last_address;
        ManagementServer server;
        bool remove_key, unreadable_cert;
        std::string message;
        AgentState next;
    } rows[] = {
        {"other.host", {"127.0.0.1", 8883}, false, false, "Bootstrap server address changed. Proceding to Bootstrap.",
         AgentState::BOOTSTRAP},
        {"other.host", {"", 0}, true, true, "Bootstrap server address changed. Proceding to Bootstrap.",
         AgentState::BOOTSTRAP},
        {"127.0.0.1", {"127.0.0.1", 8883}, true, false,
         "Client certificate and/or key not found. Proceding to Bootstrap.", AgentState::BOOTSTRAP},
        {"127.0.0.1", {"", -1}, true, true, "Client certificate and/or key not found. Proceding to Bootstrap.",
         AgentState::BOOTSTRAP},
        {"127.0.0.1", {"", 8883}, false, false, "Management server address is unknown. Proceding to Bootstrap.",
         AgentState::BOOTSTRAP},
        {"127.0.0.1", {"", 0}, false, true, "Management server address is unknown. Proceding to Bootstrap.",
         AgentState::BOOTSTRAP},
        {"127.0.0.1", {"127.0.0.1", 0}, false, false, "Management server port is invalid (0). Proceding to Bootstrap.",
         AgentState::BOOTSTRAP},
        {"127.0.0.1", {"127.0.0.1", 65536}, false, true,
         "Management server port is invalid (65536). Proceding to Bootstrap.", AgentState::BOOTSTRAP},
        {"127.0.0.1", {"127.0.0.1", 8883}, false, true, "Client certificate is expired. Proceding to Bootstrap.",
         AgentState::BOOTSTRAP},
        {"127.0.0.1", {"127.0.0.1", 65535}, false, false, "Client credentials detected. Skipping bootstrap.",
         AgentState::CONNECT_TO_MS},
    };
    const std::string key = top.read("var/data/velmo_client/client.key");
    const std::string cert = top.read("var/data/velmo_client/client.crt");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message);
        top.write(last, row.last_address);
        top.write("var/data/velmo_client/client.key", key);
        top.write("var/data/velmo_client/client.crt", row.unreadable_cert ? "not a certificate" : cert);
        if (row.remove_key) unlink((top.path() + "/var/data/velmo_client/client.key").c_str());
        server = row.server;
        log.clear();
        EXPECT_EQ(state_initial(client, settings, server), row.next);
        std::vector<std::string> decisions;
        for (const auto& line : lines(LOG_INFO))
            if (line.find("Proceding to Bootstrap.") != std::string::npos || line.find("Skipping bootstrap") != std::string::npos)
                decisions.push_back(line);
        EXPECT_EQ(decisions, std::vector<std::string>{row.message});
    }
}

TEST_F(Session, InitialReplacesTheRetiredDefaultHost) {
    file_ensure_path_exists(top.path() + "/opt/velmo_client/etc");
    settings.bootstrap_server = kLegacyBootstrapHost;
    settings.monitoring_enabled = 1;
    EXPECT_EQ(state_initial(client, settings, server), AgentState::BOOTSTRAP);
    EXPECT_EQ(settings.bootstrap_server, kDefaultBootstrapHost);
    EXPECT_TRUE(log.contains(LOG_INFO, std::string("Detected 2.x.x server address. Changing the bootstrap server "
                                                   "address to '") +
                                           kDefaultBootstrapHost + "'."));
    EXPECT_NE(top.read("opt/velmo_client/etc/settings").find(std::string("MOD_VELMO_CLIENT_BOOTSTRAPSERVER=") +
                                                              kDefaultBootstrapHost + "\n"),
              std::string::npos);
    EXPECT_FALSE(log.contains("Reporting metrics will be skipped due to MONITORING_ENABLED setting."));
    EXPECT_STRNE(kDefaultBootstrapHost, kLegacyBootstrapHost);
}

TEST_F(Session, RepliesOfTheBootstrapServer) {
    struct Case {
        const char* reply;
        const char* error;
    } cases[] = {
        {R"({"c":1,"p":{},"t":13})", "Received a negative response from the server: 'GeneralFailure'"},
        {R"({"c":2,"p":{},"t":13})", "Received a negative response from the server: 'UnknownDevice'"},
        {R"({"c":3,"p":{},"t":13})", "Received a negative response from the server: 'NotEnoughSpace'"},
        {R"({"c":-4,"p":{},"t":13})", "Received a negative response from the server: 'Unknown(-4)'"},
        {R"({"c":0,"p":{}})", "handle_received_msg: unknown message type (0)"},
        {R"({"c":0,"p":{},"t":12})", "handle_received_msg: unknown message type (12)"},
        {R"({"c":0,"p":{"srv_addr":"h","srv_port":1},"t":14})", "handle_redirect_bs_msg: missing key or value of ca"},
        {R"({"c":0,"p":{"ca":{},"srv_addr":"h","srv_port":1},"t":14})",
         "handle_redirect_bs_msg: missing key or value of ca"},
        {R"({"c":0,"p":{"ca":"X","srv_addr":"h","srv_port":null},"t":14})",
         "handle_redirect_bs_msg: missing key or value of srv_port"},
        {R"({"c":0,"p":[],"t":14})", "handle_redirect_bs_msg: missing key or value of ca"},
    };
    for (const auto& c : cases) {
        try {
            handle_received_msg(json::parse(c.reply), settings, server);
            ADD_FAILURE() << c.reply;
        } catch (const VelmoException& e) {
            EXPECT_STREQ(e.what(), c.error) << c.reply;
        }
    }
    // A number that would wrap into "Ok" or into a known type is no number of the reply.
    for (const char* malformed : {R"({"p":{},"t":13})", R"({"c":0,"t":13})", R"({"c":"0","p":{},"t":13})", R"([1])",
                                  R"({"c":4294967296,"p":{},"t":13})", R"({"c":false,"p":{},"t":13})",
                                  R"({"c":0,"p":{},"t":4294967309})", R"({"c":0,"p":{},"t":true})"})
        EXPECT_THROW(handle_received_msg(json::parse(malformed), settings, server), json::exception) << malformed;
    EXPECT_FALSE(top.exists("var/data/velmo_client/client.crt")) << "nothing is written for a malformed reply";
}

// The certificate is written and checked before the server's address and port
// are read; an address or port that is not usable leaves no server record.
TEST_F(Session, BootstrapResponseStoresTheCertificateThenReadsTheServer) {
    create_credentials("A4:07:1B:C0:00:FF", "S1");
    const std::string dir = top.path() + "/var/data/velmo_client/";
    std::string out;
    ASSERT_EQ(run_command_output("openssl x509 -req -in " + dir + "client.csr -signkey " + dir +
                                     "client.key -days 1 -out " + top.path() + "/signed.crt",
                                 &out),
              0)
        << out;
    const std::string cert = file_read(top.path() + "/signed.crt");
    struct Case {
        json addr, port;
        const char* error;  // nullptr: accepted
    } cases[] = {
        {"ms\nMOD_VELMO_CLIENT_SSL_DISABLED=1", 8883, "handle_received_msg: invalid value of srv_addr"},
        {"ms example", 8883, "handle_received_msg: invalid value of srv_addr"},
        {"ms\x7f", 8883, "handle_received_msg: invalid value of srv_addr"},
        {"ms.example", -1, "[json.exception.out_of_range.406] number -1 is out of range"},
        {"ms.example", 65536, "[json.exception.out_of_range.406] number 65536 is out of range"},
        {"ms.example", 4294976179ull, "[json.exception.out_of_range.406] number 4294976179 is out of range"},
        {"ms.example", true, "[json.exception.type_error.302] type must be number, but is boolean"},
        {"ms.example", 8883.0, "[json.exception.type_error.302] type must be integer, but is a floating-point number"},
        {"ms.example", nullptr, "[json.exception.type_error.302] type must be number, but is null"},
        {"ms.example", 8883, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.addr.dump() + " " + c.port.dump());
        unlink((dir + "client.crt").c_str());
        log.clear();
        server = ManagementServer{};
        const json reply = {{"c", 0}, {"t", 13}, {"p", {{"cert", cert}, {"srv_addr", c.addr}, {"srv_port", c.port}}}};
        if (c.error) {
            try {
                handle_received_msg(reply, settings, server);
                ADD_FAILURE() << "accepted";
            } catch (const std::exception& e) {
                EXPECT_STREQ(e.what(), c.error);
            }
            EXPECT_EQ(server.addr, "");
            EXPECT_EQ(server.port, -1);
            EXPECT_FALSE(file_exists(management_server_path()));
        } else {
            EXPECT_EQ(handle_received_msg(reply, settings, server), AgentState::CONNECT_TO_MS);
            EXPECT_EQ(server.addr, "ms.example");
            EXPECT_EQ(server.port, 8883);
        }
        EXPECT_TRUE(log.contains(LOG_INFO, "Bootstrap successful, flushing cert to disk."));
        EXPECT_EQ(file_read(dir + "client.crt"), cert) << "written and checked first";
    }
}

TEST_F(Session, RedirectAppendsTheCaOnceAndRewritesTheSettings) {
    file_ensure_path_exists(top.path() + "/opt/velmo_client/etc");
    const json redirect = json::parse(R"({"c":0,"p":{"ca":"OTHER CA\n","srv_addr":"bs2.example","srv_port":9883},"t":14})");
    EXPECT_EQ(handle_received_msg(redirect, settings, server), AgentState::BOOTSTRAP);
    EXPECT_EQ(handle_received_msg(redirect, settings, server), AgentState::BOOTSTRAP);
    EXPECT_EQ(top.read("var/data/velmo_client/ca.crt"), "CAOTHER CA\n");
    EXPECT_EQ(settings.bootstrap_server, "bs2.example");
    EXPECT_EQ(settings.bootstrap_port, 9883u);
    AgentSettings stored;
    read_agent_settings(stored);
    EXPECT_EQ(stored.bootstrap_server, "bs2.example");
    EXPECT_EQ(stored.bootstrap_port, 9883u);
    EXPECT_EQ(log.count("Redirected to another bootstrap server: bs2.example:9883"), 2u);
}

// An address or port that cannot be used leaves the settings as they were:
// a line break in the host would otherwise add lines to the settings file.
TEST_F(Session, RedirectWithAnUnusableServerWritesNoSettings) {
    file_ensure_path_exists(top.path() + "/opt/velmo_client/etc");
    top.write("opt/velmo_client/etc/settings", "MOD_VELMO_CLIENT_BOOTSTRAPSERVER=bs.example\n");
    struct Case {
        json addr, port;
        const char* error;
    } cases[] = {
        {"bs2\nMOD_VELMO_CLIENT_SSL_DISABLED=1", 9883, "handle_redirect_bs_msg: invalid value of srv_addr"},
        {"bs2\r", 9883, "handle_redirect_bs_msg: invalid value of srv_addr"},
        {"bs2 x", 9883, "handle_redirect_bs_msg: invalid value of srv_addr"},
        {"bs2\t", 9883, "handle_redirect_bs_msg: invalid value of srv_addr"},
        {1, 9883, "[json.exception.type_error.302] type must be string, but is number"},
        {"bs2", -9883, "[json.exception.out_of_range.406] number -9883 is out of range"},
        {"bs2", 4294977179ull, "[json.exception.out_of_range.406] number 4294977179 is out of range"},
        {"bs2", true, "[json.exception.type_error.302] type must be number, but is boolean"},
        {"bs2", 9883.5, "[json.exception.type_error.302] type must be integer, but is a floating-point number"},
        {"bs2", "9883", "[json.exception.type_error.302] type must be number, but is string"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.addr.dump() + " " + c.port.dump());
        const json reply = {{"c", 0}, {"t", 14}, {"p", {{"ca", "CA"}, {"srv_addr", c.addr}, {"srv_port", c.port}}}};
        try {
            handle_received_msg(reply, settings, server);
            ADD_FAILURE() << "accepted";
        } catch (const std::exception& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
        EXPECT_EQ(settings.bootstrap_server, "127.0.0.1");
        EXPECT_EQ(top.read("opt/velmo_client/etc/settings"), "MOD_VELMO_CLIENT_BOOTSTRAPSERVER=bs.example\n");
    }
}

TEST_F(Session, ManagementServerRecordFile) {
    const std::string path = management_server_path();
    ManagementServer record;
    load_management_server(record);
    EXPECT_EQ(record.addr, "");
    EXPECT_EQ(record.port, -1);

    save_management_server({"ms.example", 0});
    EXPECT_FALSE(file_exists(path)) << "an unknown address never overwrites a stored one";
    save_management_server({"ms.example", 8883});
    EXPECT_EQ(file_read(path), R"({"addr":"ms.example","port":8883})");
    load_management_server(record);
    EXPECT_EQ(record.addr, "ms.example");
    EXPECT_EQ(record.port, 8883);

    struct Bad {
        const char* content;
        const char* addr;
    } bad[] = {{R"({"addr":"a.example"})", "a.example"}, {"{", ""}, {R"({"addr":1,"port":2})", ""},
               {R"({"addr":"b.example","port":"2"})", "b.example"},
               {R"({"addr":"b.example","port":true})", "b.example"},
               {R"({"addr":"b.example","port":4294976179})", "b.example"},
               {R"({"addr":"b.example","port":-4294958413})", "b.example"},
               {R"({"addr":"b.example","port":1e300})", "b.example"}};
    for (const auto& b : bad) {
        file_write(b.content, path, "w");
        record = ManagementServer{};
        log.clear();
        load_management_server(record);
        EXPECT_EQ(record.addr, b.addr) << b.content;
        EXPECT_EQ(record.port, -1) << b.content;
        EXPECT_FALSE(file_exists(path));
        EXPECT_EQ(file_read(path + "_err"), b.content);
        ASSERT_EQ(lines(LOG_WARNING).size(), 1u);
        EXPECT_TRUE(string_starts_with(lines(LOG_WARNING)[0], "Failed to load data from file '" + path + "'. ("));
    }
    file_write(R"({"addr":"ms.example","port":8883.9})", path, "w");
    load_management_server(record);
    EXPECT_EQ(record.port, 8883) << "a number with a fraction is truncated";
    file_write(R"({"addr":"ms.example","port":65536})", path, "w");
    load_management_server(record);
    EXPECT_EQ(record.port, 65536) << "kept for INITIAL to report as invalid";

    record = {"kept.example", 1};
    clear_management_server(record);
    EXPECT_EQ(record.addr, "kept.example") << "clearing deletes the file; the record keeps its values";
}

TEST_F(Session, ClientOverride) {
    ConfigProfile profile;
    auto request = parse_client_override(json::parse(R"({"t":30,"p":{"update_version":"2.0"}})"));
    EXPECT_EQ(handle_client_override(request, profile), AgentState::SYNC_CONFIG_PROFILE);
    EXPECT_TRUE(log.contains(LOG_ERR,
                             "Ignoring a client override request: Invalid URL or Version (url='', version='2.0')."));
    EXPECT_TRUE(profile.is_null());

    request = parse_client_override(json::parse(R"({"t":30,"p":{"update_version":"2.0","update_url":"https://c/u"}})"));
    EXPECT_EQ(handle_client_override(request, profile), AgentState::SYNC_CONFIG_PROFILE);
    EXPECT_TRUE(log.contains(LOG_WARNING, "Current client version is not supported by the server!"));
    EXPECT_TRUE(log.contains(LOG_INFO, "Overriding the desired version with '2.0', url 'https://c/u'."));
    EXPECT_EQ(profile.dump(), R"({"apps":{"velmo_client":{"url":"https://c/u","version":"2.0"}}})");

    EXPECT_EQ(parse_client_override(json::parse(R"({"t":30,"p":"x"})")).update_url, "");
    EXPECT_EQ(parse_client_override(json::parse(R"({"t":30})")).type, 30);
    EXPECT_THROW(parse_client_override(json::parse(R"({"p":{}})")), json::exception);
    EXPECT_THROW(parse_client_override(json::parse(R"({"t":"30"})")), json::exception);
    EXPECT_THROW(parse_client_override(json::parse(R"({"t":4294967326})")), json::exception) << "never wraps to 30";
    EXPECT_THROW(parse_client_override(json::parse(R"({"t":true})")), json::exception);
    EXPECT_THROW(parse_client_override(json::parse(R"({"t":30,"p":{"update_url":1}})")), json::exception);
}
