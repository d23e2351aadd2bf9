#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "core/exception.h"
#include "core/log.h"
#include "core/utils.h"
#include "desired_state/change_detection.h"
#include "desired_state/settings.h"
#include "desired_state/snapshot.h"
#include "desired_state/sync.h"
#include "support/test_support.h"

using namespace velmo;
using nlohmann::json;

namespace {

std::string command_output(const std::string& line) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(line.c_str(), "r"), pclose);
    std::string out;
    char buffer[256];
    while (pipe && fgets(buffer, sizeof buffer, pipe.get())) out += buffer;
    return out;
}

}  // namespace

TEST(SettingsText, LinesSplitAtTheFirstEqualsSignAndKeepTheirValueVerbatim) {
    SettingsMap parsed = parse_settings_text("A=b=c\nB\n\nC=\"x  y\"\r\n=D=1\nA=later\n");
    EXPECT_EQ(parsed, (SettingsMap{{"A", "later"}, {"B", ""}, {"C", "\"x  y\"\r"}, {"D", "1"}}));
    EXPECT_TRUE(parse_settings_text("").empty());
    EXPECT_THROW(parse_settings_text("A=1\n===\n"), std::invalid_argument);
}

TEST(SettingsGroups, GroupNamesHashFilesAndServices) {
    test::TopDir top;
    struct Case {
        std::string path, group, hash_file;
        std::vector<std::string> services;
    };
    const std::string t = top.path();
    const std::vector<Case> cases = {
        {t + "/opt/gps/etc/settings", "mod_gps", "MOD_GPS_HASH", {"gps"}},
        {t + "/opt/velmo_client/etc/settings", "mod_velmo_client", "MOD_VELMO_CLIENT_HASH", {"velmo_client"}},
        {t + "/opt/sms/etc/settings", "mod_sms", "MOD_SMS_HASH", {"ppp"}},
        {t + "/etc/settings.wifi_ap", "wifi_ap", "WIFI_AP_HASH", {"backrt", "wifi"}},
        {t + "/etc/settings.wifi_sta", "wifi_sta", "WIFI_STA_HASH", {"backrt", "wifi"}},
        {t + "/etc/settings.eth", "eth", "ETH_HASH", {"backrt", "eth"}},
        {t + "/etc/settings.pppoe", "pppoe", "PPPOE_HASH", {"backrt", "pppoe"}},
        {t + "/etc/settings.fw_site", "fw_site", "FW_SITE_HASH", {"dns"}},
        {t + "/etc/settings.snmp", "snmp", "SNMP_HASH", {"snmp"}},
        {t + "/etc/settings.sim", "sim", "SIM_HASH", {}},
        {"/etc/rc.d/rc.local", "rc.local", "RC.LOCAL_HASH", {}},
        {"/etc/scripts/ip6-down.local", "ip6-down.local", "IP6-DOWN.LOCAL_HASH", {}},
        {"/etc/scripts/ipsec3-up.local", "ipsec3-up.local", "IPSEC3-UP.LOCAL_HASH", {"ipsec3"}},
        {"/etc/scripts/openvpn0-down.local", "openvpn0-down.local", "OPENVPN0-DOWN.LOCAL_HASH", {"openvpn0"}},
        {"/etc/scripts/openvpn5-up.local", "openvpn5-up.local", "OPENVPN5-UP.LOCAL_HASH", {"openvpn5-up.local"}},
        {"/etc/scripts/ipsec1-up.localx", "ipsec1-up.localx", "IPSEC1-UP.LOCALX_HASH", {"ipsec1-up.localx"}},
        {"/etc/Eth", "Eth", "ETH_HASH", {"Eth"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(config_group_name(c.path), c.group) << c.path;
        EXPECT_EQ(hash_file_path(c.path), t + "/var/data/velmo_client/hashes/" + c.hash_file) << c.path;
        EXPECT_EQ(services_for_group(c.group), c.services) << c.group;
    }
}

TEST(SettingsFiles, ManagedFilesAndTheMergedSettings) {
    test::TopDir top;
    top.write("etc/settings.eth", "X=eth\nIP=1\n");
    top.write("etc/settings.eth.hash", "X=hash\n");
    top.write("etc/settings.ppp", "X=ppp\n");
    top.write("etc/other", "X=other\n");
    top.write("opt/gps/etc/name", "gps\n");
    top.write("opt/gps/etc/settings", "MOD_GPS_ON=1\n");
    top.write("opt/modbus/etc/name", "modbus\n");

    std::vector<std::string> files = list_managed_files(false);
    ASSERT_EQ(files.size(), 3u);
    const std::string later = files[1];
    std::sort(files.begin(), files.begin() + 2);  // the directory's own order
    EXPECT_EQ(files, (std::vector<std::string>{top.path() + "/etc/settings.eth", top.path() + "/etc/settings.ppp",
                                               top.path() + "/opt/gps/etc/settings"}));
    std::vector<std::string> with_scripts = list_managed_files(true);
    ASSERT_EQ(with_scripts.size(), 24u);
    EXPECT_EQ(with_scripts[3], "/etc/rc.d/rc.local");
    EXPECT_EQ(with_scripts[23], "/etc/scripts/openvpn4-down.local");

    SettingsMap merged = get_current_settings();
    EXPECT_EQ(merged.at("IP"), "1");
    EXPECT_EQ(merged.at("MOD_GPS_ON"), "1");
    // Whichever settings file the directory lists later gives X.
    EXPECT_EQ(merged.at("X"), later == top.path() + "/etc/settings.ppp" ? "ppp" : "eth");
}

TEST(Digests, KeyedDigestEqualsTheOpensslToolForShortAndLongPaths) {
    test::TopDir top;
    const std::vector<std::pair<std::string, std::string>> files = {
        {"a", "IP=192.168.1.1\n"},
        {"empty", ""},
        {std::string(100, 'l') + "/" + std::string(120, 'm'), std::string(200000, 'z') + "tail"},
        {"bin", std::string("\0\x01\xff\n", 4)},
    };
    for (const auto& [name, content] : files) {
        top.write(name, content);
        const std::string path = top.path() + "/" + name;
        std::string tool = command_output("openssl dgst -md5 -hmac r8vto2kqe4z " + path);
        ASSERT_GT(tool.size(), 34u) << tool;
        std::string expected = tool.substr(tool.size() - 33, 32);
        EXPECT_EQ(md5sum_file(path, kDigestKey), expected) << name;
        std::string plain = command_output("openssl dgst -md5 " + path);
        EXPECT_EQ(md5sum_file(path), plain.substr(plain.size() - 33, 32)) << name;
    }
    try {
        md5sum_file(top.path() + "/missing", kDigestKey);
        FAIL();
    } catch (const VelmoException& e) {
        EXPECT_EQ(std::string(e.what()), "md5sum_file: File '" + top.path() + "/missing' not found.");
    }
}

TEST(Digests, AFifoOrADeviceInPlaceOfAFileRaisesInsteadOfBlocking) {
    test::TopDir top;
    const std::string fifo = top.path() + "/app.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // In a child that an alarm ends, so a digest that blocks fails the test
    // instead of hanging it.
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        EXPECT_EXIT(
            {
                alarm(5);
                try {
                    md5sum_file(path, kDigestKey);
                } catch (const VelmoException&) {
                    _exit(0);
                }
                _exit(1);
            },
            testing::ExitedWithCode(0), "")
            << path;
    }
}

TEST(HashStore, ChangedManagedFilesAreThoseWithAStoredDigestThatDiffers) {
    test::TopDir top;
    top.write("var/data/velmo_client/.keep", "");
    top.write("etc/settings.eth", "IP=1\n");
    top.write("etc/settings.ppp", "APN=a\n");
    top.write("etc/settings.dns", "S=1\n");
    EXPECT_TRUE(get_changed_managed_files().empty()) << "a fresh router has no digests";
    update_all_hashes();
    EXPECT_EQ(top.read("var/data/velmo_client/hashes/ETH_HASH"), md5sum_file(top.path() + "/etc/settings.eth", kDigestKey));
    EXPECT_EQ(top.read("var/data/velmo_client/hashes/ETH_HASH").size(), 32u);
    EXPECT_TRUE(get_changed_managed_files().empty());

    top.write("etc/settings.eth", "IP=2\n");
    std::remove((top.path() + "/etc/settings.ppp").c_str());
    std::vector<std::string> changed = get_changed_managed_files();
    std::sort(changed.begin(), changed.end());
    EXPECT_EQ(changed, (std::vector<std::string>{top.path() + "/etc/settings.eth"}))
        << "a deleted file is no longer listed as managed";

    // A desired key edited by hand is a SettingChange; other keys are not reported.
    SettingsMap desired{{"IP", "1"}, {"MISSING", "x"}};
    auto changes = detect_settings_file_changes(top.path() + "/etc/settings.eth", desired);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].type, 0);
    EXPECT_EQ(changes[0].name, "IP");
    EXPECT_EQ(changes[0].from, "1");
    EXPECT_EQ(changes[0].to, "2");
    changes = detect_settings_file_changes("/etc/rc.d/rc.local", desired);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].type, 4);
    EXPECT_EQ(changes[0].name, "/etc/rc.d/rc.local");
}

TEST(ConfigChanges, ConstructionRulesAndJsonForm) {
    struct Case {
        ConfigChangeType type;
        std::string name, from, to, error, json;
    };
    const std::vector<Case> cases = {
        {ConfigChangeType::SettingChange, "IP", "1", "2", "", R"({"from":"1","name":"IP","to":"2","type":0})"},
        {ConfigChangeType::SettingChange, "", "1", "2", "Config change object requires 'name' property.", ""},
        {ConfigChangeType::AppChange, "gps", "AppPresent", "AppNotPresent", "",
         R"({"from":"AppPresent","name":"gps","to":"AppNotPresent","type":1})"},
        {ConfigChangeType::AppChange, "gps", "", "AppPresent", "Config change object missing one of required properties.", ""},
        {ConfigChangeType::AppChange, "gps", "AppPresent", "", "Config change object missing one of required properties.", ""},
        {ConfigChangeType::FileChange, "/etc/rc.d/rc.local", "", "", "", R"({"name":"/etc/rc.d/rc.local","type":4})"},
        {ConfigChangeType::UserChange, "op", "op", "", "", R"({"from":"op","name":"op","to":"","type":5})"},
        {ConfigChangeType::FirmwareChange, "", "1", "2", "", R"({"from":"1","name":"","to":"2","type":3})"},
    };
    for (const auto& c : cases) {
        try {
            ConfigChange change = make_config_change(c.type, c.name, c.from, c.to);
            EXPECT_EQ(c.error, "") << c.name;
            json payload = json::parse(make_sync_event_message({change}, "t").payload);
            EXPECT_EQ(payload["p"]["changes"][0].dump(), c.json);
        } catch (const VelmoException& e) {
            EXPECT_EQ(std::string(e.what()), c.error);
        }
    }
}

TEST(SyncRequestFile, DefaultsExactBytesAndQuarantine) {
    test::TopDir top;
    test::LogCapture log;
    top.write("var/data/velmo_client/.keep", "");
    const std::string file = "var/data/velmo_client/sync_request.json";
    SyncRequest request{5, 2, true, "h"};
    load_sync_request(request);
    EXPECT_EQ(request.request_id, -1);
    EXPECT_EQ(request.status, 0);
    EXPECT_FALSE(request.response_sent);
    EXPECT_EQ(request.config_hash, "");
    EXPECT_TRUE(log.lines().empty());
    save_sync_request(request);
    EXPECT_EQ(top.read(file), R"({"config_hash":"","request_id":-1,"response_sent":false,"status":0})");

    save_sync_request(SyncRequest{42, 1, true, "abc\"\n"});
    load_sync_request(request);
    EXPECT_EQ(request.request_id, 42);
    EXPECT_EQ(request.config_hash, "abc\"\n");
    EXPECT_EQ(top.read(file), R"({"config_hash":"abc\"\n","request_id":42,"response_sent":true,"status":1})");

    struct Good {
        std::string text;
        int32_t id, status;
        std::string hash;
    };
    for (const auto& g : std::vector<Good>{
             {R"({"request_id":7,"response_sent":false,"status":2})", 7, 2, ""},
             {R"({"request_id":-7.9,"response_sent":false,"status":true,"config_hash":"x"})", -7, 1, "x"},
             {R"({"request_id":2147483647,"response_sent":true,"status":false})", 2147483647, 0, ""},
         }) {
        top.write(file, g.text);
        load_sync_request(request);
        EXPECT_EQ(request.request_id, g.id) << g.text;
        EXPECT_EQ(request.status, g.status) << g.text;
        EXPECT_EQ(request.config_hash, g.hash) << g.text;
    }
    EXPECT_TRUE(log.lines().empty());

    for (const char* bad : {R"({"request_id":7,"response_sent":false,"status":"1"})",
                            R"({"request_id":7,"response_sent":0,"status":1})",
                            R"({"request_id":7,"status":1})",
                            R"({"request_id":1e20,"response_sent":false,"status":1})",
                            R"({"request_id":-2147483649,"response_sent":false,"status":1})",
                            R"({"request_id":7,"response_sent":false,"status":1,"config_hash":5})",
                            R"({"request_id":7,"response_sent":false,"status":1} x)", ""}) {
        top.write(file + "_err", "older");
        top.write(file, bad);
        log.clear();
        request = SyncRequest{9, 1, true, "keep"};
        load_sync_request(request);
        EXPECT_EQ(request.request_id, -1) << bad;
        EXPECT_EQ(request.status, 0) << bad;
        EXPECT_FALSE(request.response_sent) << bad;
        EXPECT_EQ(request.config_hash, "") << bad;
        EXPECT_FALSE(top.exists(file)) << bad;
        EXPECT_EQ(top.read(file + "_err"), bad);
        ASSERT_EQ(log.lines().size(), 1u) << bad;
        EXPECT_EQ(log.lines()[0].priority, LOG_WARNING);
        EXPECT_TRUE(string_starts_with(log.lines()[0].text,
                                       "Failed to load data from file '" + top.path() + "/" + file + "'. ("))
            << log.lines()[0].text;
    }

    top.write(file, R"({"request_id":7,"response_sent":true,"status":1})");
    reset_sync_request(request);
    EXPECT_EQ(request.request_id, -1);
    EXPECT_FALSE(top.exists(file));
}

TEST(Snapshot, RequestIdMustBeANumberThatFitsBeforeAnythingIsBuilt) {
    test::LogCapture log;
    MqttClientVelmo client("snapshot-test", "", 60, 1);
    for (const char* bad : {R"({"id":true})", R"({"id":"5"})", R"({"id":1e20})", R"({"id":-3000000000})",
                            R"({"id":null})", R"({})"}) {
        EXPECT_ANY_THROW(handle_snapshot_request(json::parse(bad), client)) << bad;
    }
    EXPECT_TRUE(log.lines().empty()) << "nothing was built or logged";
}
