#include <gtest/gtest.h>
#include <sys/stat.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include "core/heartbeat.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/utils.h"
#include "support/test_support.h"

using namespace velmo;

namespace {
time_t mtime_of(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}
void set_mtime(const std::string& path, time_t t) {
    struct utimbuf times {t, t};
    utime(path.c_str(), &times);
}
}  // namespace

TEST(Heartbeat, RenewsAtAnAgeOf3600Seconds) {
    test::TopDir top;
    file_ensure_path_exists(top.path() + "/var/data/velmo_client");
    const time_t base = time(nullptr);
    test::FakeClock clock(base);
    test::LogCapture log;
    const std::string path = heartbeat_path();

    heartbeat();
    EXPECT_TRUE(file_exists(path)) << "a missing heartbeat file is created";
    EXPECT_TRUE(log.contains(LOG_DEBUG, "should_do_heartbeat: Commnad failed with code (-1)."));
    EXPECT_TRUE(log.contains(LOG_DEBUG, "Doing watchdog a heartbeat."));
    struct stat st {};
    stat(path.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0444u);

    set_mtime(path, base - 3599);
    log.clear();
    heartbeat();
    EXPECT_EQ(mtime_of(path), base - 3599) << "3599 seconds old is left alone";
    EXPECT_FALSE(log.contains("Doing watchdog a heartbeat."));

    set_mtime(path, base - 3600);
    heartbeat();
    EXPECT_GE(mtime_of(path), base) << "3600 seconds old is renewed";
    EXPECT_TRUE(log.contains("Doing watchdog a heartbeat."));
}

TEST(Heartbeat, RenewsItsReadOnlyFileWithoutRoot) {
    // The agent may run as an ordinary user: the 0444 file it created then
    // cannot be reopened for writing, yet its age must still be renewed.
    test::TopDir top;
    const std::string dir = top.path() + "/var/data/velmo_client";
    file_ensure_path_exists(dir);
    const std::string path = heartbeat_path();
    file_create_empty(path);
    const uid_t nobody = 65534;
    const bool root = geteuid() == 0;  // as root, the child runs as nobody and owns the files
    for (const std::string& p : {top.path(), top.path() + "/var", top.path() + "/var/data", dir, path})
        if (root) ASSERT_EQ(chown(p.c_str(), nobody, nobody), 0) << p;
    const time_t base = time(nullptr);
    set_mtime(path, base - 7200);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (root && (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)) _exit(2);
        heartbeat();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_GE(mtime_of(path), base) << "the time stamp is renewed";
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
}

TEST(LogLevel, NamesAndRejection) {
    EXPECT_EQ(string_to_syslogLevel("error"), LOG_ERR);
    EXPECT_EQ(string_to_syslogLevel("warning"), LOG_WARNING);
    EXPECT_EQ(string_to_syslogLevel("info"), LOG_INFO);
    EXPECT_EQ(string_to_syslogLevel("debug"), LOG_DEBUG);
    EXPECT_EQ(string_to_syslogLevel("trace"), LOG_DEBUG);
    for (const char* bad : {"", "Debug", "warn"}) {
        try {
            string_to_syslogLevel(bad);
            FAIL() << bad;
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()),
                      std::string("string_to_syslogLevel: Could not translate '") + bad + "' to log level.");
        }
    }
}
