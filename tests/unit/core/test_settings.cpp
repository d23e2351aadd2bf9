#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/paths.h"
#include "core/router.h"
#include "core/settings.h"
#include "core/settings_file.h"
#include "core/utils.h"
#include "support/test_support.h"

using namespace velmo;

namespace {
const char* kSettings = "opt/velmo_client/etc/settings";
}

TEST(SettingsFile, LookupRules) {
    test::TopDir top;
    top.write("s", "A=\nmod_x_port=8883\nB=\"a b\"\nC=v\r\nC=second\nnoequals\nD=12abc\nE=abc\n");
    FILE* f = fopen((top.path() + "/s").c_str(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(settings_read_uint(f, "A"), 0u);
    EXPECT_EQ(settings_read_uint(f, "MOD_X_PORT"), 8883u);
    EXPECT_EQ(settings_read_string(f, "B"), "a b");
    EXPECT_EQ(settings_read_string(f, "C"), "v") << "first match wins, CR is cut";
    EXPECT_EQ(settings_read_uint(f, "D"), 12u);
    EXPECT_EQ(settings_read_uint(f, "E"), 0u);
    EXPECT_EQ(settings_read_string(f, "missing"), "");
    fclose(f);
    EXPECT_EQ(settings_read_string(nullptr, "A"), "");
    EXPECT_EQ(settings_read_uint(nullptr, "A"), 0u);
}

TEST(SettingsFile, WritersRoundTrip) {
    test::TopDir top;
    const std::string path = top.path() + "/s";
    FILE* f = fopen(path.c_str(), "w+");
    settings_write_string(f, "S", "a b");
    settings_write_string(f, "T", "ab");
    settings_write_uint(f, "U", 0, false);
    settings_write_uint(f, "V", 0, true);
    settings_write_bool(f, "W", 7);
    fflush(f);
    EXPECT_EQ(file_read(path), "S=\"a b\"\nT=ab\nU=\nV=0\nW=1\n");
    EXPECT_EQ(settings_read_string(f, "S"), "a b");
    EXPECT_EQ(settings_read_uint(f, "U"), 0u);
    fclose(f);
}

TEST(AgentSettingsTest, MissingFileGivesZerosAndEmptyStrings) {
    test::TopDir top;
    AgentSettings s;
    s.log_level = "stale";
    s.bootstrap_port = 9;
    read_agent_settings(s);
    EXPECT_EQ(s.enabled, 0u);
    EXPECT_FALSE(s.skip_bootstrap);
    EXPECT_EQ(s.bootstrap_server, "");
    EXPECT_EQ(s.bootstrap_port, 0u);
    EXPECT_EQ(s.log_level, "");
    EXPECT_EQ(s.monitoring_interval, 0u);
}

TEST(AgentSettingsTest, ReadsEveryKey) {
    test::TopDir top;
    top.write(kSettings,
              "MOD_VELMO_CLIENT_ENABLED=1\nMOD_VELMO_CLIENT_SKIP_BOOTSTRAP=5\n"
              "MOD_VELMO_CLIENT_BOOTSTRAPSERVER=\"a b\"\nmod_velmo_client_bootstrapport=8883\n"
              "MOD_VELMO_CLIENT_SSL_DISABLED=1\nMOD_VELMO_CLIENT_LOGLEVEL=debug\n"
              "MOD_VELMO_CLIENT_KEEPALIVE_INTERVAL=60\nMOD_VELMO_CLIENT_MONITORING_ENABLED=1\n"
              "MOD_VELMO_CLIENT_MONITORING_INTERVAL=x5\n");
    AgentSettings s;
    read_agent_settings(s);
    EXPECT_EQ(s.enabled, 1u);
    EXPECT_TRUE(s.skip_bootstrap);
    EXPECT_EQ(s.bootstrap_server, "a b");
    EXPECT_EQ(s.bootstrap_port, 8883u);
    EXPECT_EQ(s.ssl_disabled, 1u);
    EXPECT_EQ(s.log_level, "debug");
    EXPECT_EQ(s.keepalive_interval, 60u);
    EXPECT_EQ(s.monitoring_enabled, 1u);
    EXPECT_EQ(s.monitoring_interval, 0u) << "a value that does not begin with a digit";
}

TEST(AgentSettingsTest, WriterKeepsOnlyTheAgentKeys) {
    test::TopDir top;
    top.write(kSettings, "MOD_VELMO_CLIENT_ENABLED=7\nUNRELATED=1\nMOD_VELMO_CLIENT_BOOTSTRAPSERVER=old\n");
    AgentSettings s;
    read_agent_settings(s);
    set_bootstrap_server(s, "bs.example.net");
    set_bootstrap_port(s, 8883);
    ASSERT_TRUE(write_agent_settings(s));
    EXPECT_EQ(top.read(kSettings),
              "MOD_VELMO_CLIENT_ENABLED=1\nMOD_VELMO_CLIENT_SKIP_BOOTSTRAP=0\n"
              "MOD_VELMO_CLIENT_BOOTSTRAPSERVER=bs.example.net\nMOD_VELMO_CLIENT_BOOTSTRAPPORT=8883\n"
              "MOD_VELMO_CLIENT_LOGLEVEL=\nMOD_VELMO_CLIENT_KEEPALIVE_INTERVAL=0\n"
              "MOD_VELMO_CLIENT_MONITORING_ENABLED=0\nMOD_VELMO_CLIENT_MONITORING_INTERVAL=0\n");
    s.ssl_disabled = 3;
    ASSERT_TRUE(write_agent_settings(s));
    EXPECT_EQ(top.read(kSettings).rfind("MOD_VELMO_CLIENT_SSL_DISABLED=1\nMOD_VELMO_CLIENT_ENABLED=1\n", 0), 0u);
    AgentSettings again;
    read_agent_settings(again);
    EXPECT_EQ(again.bootstrap_server, "bs.example.net");
    EXPECT_EQ(again.bootstrap_port, 8883u);
}

// The router may keep the agent's settings file elsewhere and link it in.
TEST(AgentSettingsTest, WriterKeepsALinkedSettingsFileAndItsOwnership) {
    test::TopDir top;
    top.write("/etc/config/velmo_client", "MOD_VELMO_CLIENT_ENABLED=1\n");
    const std::string target = top.path() + "/etc/config/velmo_client";
    ASSERT_EQ(chown(target.c_str(), 1234, 42), 0);
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    top.write("/opt/velmo_client/etc/.keep", "");
    ASSERT_EQ(symlink("../../../etc/config/velmo_client", settings_file_path().c_str()), 0);
    AgentSettings s;
    read_agent_settings(s);
    set_bootstrap_port(s, 8883);
    ASSERT_TRUE(write_agent_settings(s));
    struct stat st {};
    ASSERT_EQ(lstat(settings_file_path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(top.read("/etc/config/velmo_client").find("MOD_VELMO_CLIENT_BOOTSTRAPPORT=8883\n"), std::string::npos);
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 42u);
}

TEST(AgentSettingsTest, WriterReportsAMissingDirectory) {
    test::TopDir top;
    AgentSettings s;
    EXPECT_FALSE(write_agent_settings(s));
}

TEST(RouterApps, VersionFileRules) {
    test::TopDir top;
    struct Case {
        const char* content;
        const char* version;
    } cases[] = {{"v1.4.2 (2023-05-02)", "1.4.2"}, {"v2.0 (beta)", "2.0"}, {"1.0.0\n", "1.0.0\n"},
                 {"3.1 build", "3.1"},             {"vv1", "v1"}};
    for (const auto& c : cases) {
        top.write("opt/app/etc/version", c.content);
        EXPECT_EQ(get_app_version("app"), c.version) << c.content;
    }
    EXPECT_EQ(get_app_version("missing"), "");
    top.write("opt/velmo_client/etc/version", "v1.0.0");
    EXPECT_EQ(get_client_version(), "1.0.0");
    EXPECT_FALSE(is_app_installed("app"));
    top.write("opt/app/etc/name", "app");
    EXPECT_TRUE(is_app_installed("app"));
}

TEST(RouterApps, RestartServiceRunsTheAppsInitScript) {
    test::TopDir top;
    top.write("opt/gps/etc/name", "gps");
    top.write("opt/gps/etc/init", "#!/bin/sh\necho \"$0 $*\" >> \"${0%/init}/calls\"\nexit 0\n");
    chmod((top.path() + "/opt/gps/etc/init").c_str(), 0755);
    EXPECT_FALSE(restart_service("gps"));
    EXPECT_EQ(top.read("opt/gps/etc/calls"), top.path() + "/opt/gps/etc/init restart\n");
    top.write("opt/gps/etc/init", "#!/bin/sh\nexit 3\n");
    EXPECT_TRUE(restart_service("gps")) << "a failed restart is reported as true";
}
