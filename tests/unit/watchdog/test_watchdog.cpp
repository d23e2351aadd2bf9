#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include "core/log.h"
#include "core/paths.h"
#include "core/shell.h"
#include "core/utils.h"
#include "support/test_support.h"
#include "watchdog/watchdog.h"

using namespace velmo;

namespace {

// A watchdog pass against a top directory where the agent is an installed
// app whose init script records each call, and a process named velmo_client
// runs, so only the heartbeat decides.
struct WatchdogBoundary : ::testing::Test {
    void SetUp() override {
        top.write("opt/velmo_client/etc/name", "velmo_client");
        top.write("opt/velmo_client/etc/init", "#!/bin/sh\necho \"$*\" >> \"${0%/init}/calls\"\n");
        chmod((top.path() + "/opt/velmo_client/etc/init").c_str(), 0755);
        file_ensure_path_exists(top.path() + "/var/data/velmo_client");
        std::string fake = top.path() + "/velmo_client";
        run_command("cp /bin/sleep " + fake);
        agent = fork();
        if (agent == 0) {
            execl(fake.c_str(), "velmo_client", "60", static_cast<char*>(nullptr));
            _exit(1);
        }
        // pidof must see it before the pass runs.
        for (int i = 0; i < 500 && run_command("pidof velmo_client >/dev/null") != 0; ++i) usleep(10000);
    }
    void TearDown() override {
        kill(agent, SIGKILL);
        waitpid(agent, nullptr, 0);
    }
    void heartbeat_age(long age) {
        file_create_empty(heartbeat_path());
        time_t t = clock.now() - age;
        struct utimbuf times {t, t};
        utime(heartbeat_path().c_str(), &times);
    }
    test::TopDir top;
    test::FakeClock clock{time(nullptr)};
    test::LogCapture log;
    pid_t agent = -1;
};

}  // namespace

TEST_F(WatchdogBoundary, HeartbeatOf86399SecondsIsAlive) {
    heartbeat_age(86399);
    watchdog_pass(heartbeat_path());
    EXPECT_FALSE(top.exists("opt/velmo_client/etc/calls"));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(WatchdogBoundary, HeartbeatOf86400SecondsRestartsTheAgent) {
    heartbeat_age(86400);
    watchdog_pass(heartbeat_path());
    EXPECT_EQ(top.read("opt/velmo_client/etc/calls"), "restart\n");
    EXPECT_TRUE(log.contains(LOG_INFO, "velmo_client not responding."));
    EXPECT_TRUE(log.contains(LOG_INFO, "Restarting client..."));
    EXPECT_FALSE(log.contains("velmo_client not running."));
}
