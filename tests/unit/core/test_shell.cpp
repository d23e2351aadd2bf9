#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "core/shell.h"
#include "core/utils.h"
#include "support/test_support.h"

using namespace velmo;

TEST(ShellQuote, LeavesSafeValuesAndQuotesTheRest) {
    struct Case {
        std::string value, quoted;
    } cases[] = {
        {"/var/data/velmo_client/ca.crt", "/var/data/velmo_client/ca.crt"},
        {"https://h:8443/file/ab-12/gps_1.0%20x.tgz", "https://h:8443/file/ab-12/gps_1.0%20x.tgz"},
        {"a@b=c+d,e", "a@b=c+d,e"},
        {"", "''"},
        {"a b", "'a b'"},
        {"x;reboot", "'x;reboot'"},
        {"it's", "'it'\\''s'"},
        {"$(id)", "'$(id)'"},
        {"`id`", "'`id`'"},
        {"a\nb", "'a\nb'"},
    };
    for (const auto& c : cases) EXPECT_EQ(shell_quote(c.value), c.quoted) << c.value;
    EXPECT_EQ(shell_single_quote("abc"), "'abc'");
}

TEST(ShellQuote, HostileValuesReachTheCommandAsOneArgument) {
    test::TopDir top;
    const std::string marker = top.path() + "/ran";
    const std::string hostile[] = {"x; touch " + marker, "$(touch " + marker + ")", "`touch " + marker + "`",
                                   "a' ; touch " + marker + " ; '", "a b\tc\nd"};
    for (const auto& value : hostile) {
        std::string out;
        ASSERT_EQ(run_command_output("printf '%s' " + shell_quote(value), &out), 0);
        EXPECT_EQ(out, value);
        EXPECT_FALSE(file_exists(marker)) << value;
    }
}

TEST(RunCommand, ExitCodesAndEmptyLine) {
    EXPECT_EQ(run_command(""), -1);
    EXPECT_EQ(run_command("exit 3"), 3);
    EXPECT_EQ(run_command("true"), 0);
    EXPECT_EQ(run_command("exec kill -9 $$"), 128 + 9) << "a killed command is no success";
}

TEST(RunCommandOutput, MergesStderrAndAppends) {
    std::string out = "kept:";
    int status = run_command_output("echo out; echo err >&2", &out);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "kept:out\nerr\n");
    EXPECT_NE(run_command_output("exit 2"), 0);
}

namespace {
std::atomic<int> sigterms_handled{0};
extern "C" void count_sigterm(int) { sigterms_handled.fetch_add(1); }
}  // namespace

TEST(RunCommandOutput, SigtermWhileTheCommandStreamsKeepsReading) {
    // The agent's own kind of handler: no SA_RESTART, so a read is interrupted.
    struct sigaction action {}, previous {};
    action.sa_handler = count_sigterm;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGTERM, &action, &previous), 0);
    sigterms_handled = 0;

    std::atomic<bool> done{false};
    const pthread_t reader = pthread_self();
    std::thread sender([&] {
        while (!done) {
            pthread_kill(reader, SIGTERM);
            usleep(2000);
        }
    });
    std::string out;
    int status = run_command_output("echo first; sleep 0.3; seq 1 20000", &out);
    done = true;
    sender.join();
    sigaction(SIGTERM, &previous, nullptr);

    std::string expected = "first\n";
    for (int i = 1; i <= 20000; ++i) expected += std::to_string(i) + "\n";
    EXPECT_GT(sigterms_handled.load(), 0) << "the signal arrived while the command ran";
    EXPECT_EQ(status, 0) << "the command was not cut off by SIGPIPE";
    EXPECT_EQ(out.size(), expected.size());
    EXPECT_TRUE(out == expected) << "the whole output is read";
}

TEST(RunProgram, CapturesStdoutThroughAPipeAndReturnsWaitStatus) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    run_program_set_stdout(fds[1]);
    int status = run_program("printf", {"%s|%s", "a b", "c"});
    char buffer[64] = {};
    ssize_t n = read(fds[0], buffer, sizeof buffer - 1);
    close(fds[0]);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), "a b|c");
    EXPECT_EQ(run_program("sh", {"-c", "exit 4"}), 4 << 8);
    EXPECT_EQ(run_program("/nonexistent/tool", {}), 1 << 8) << "a failed exec exits with 1";
}

TEST(SleepAndBackoff, GrowsByHalfUpToTheCap) {
    test::FakeClock clock;
    int interval = 10;
    std::vector<int> after;
    for (int i = 0; i < 6; ++i) {
        sleep_and_backoff(interval, 60);
        after.push_back(interval);
    }
    EXPECT_EQ(after, (std::vector<int>{15, 22, 33, 49, 60, 60}));
    EXPECT_EQ(clock.sleeps(), (std::vector<unsigned>{10, 15, 22, 33, 49, 60}));
}

TEST(SleepAndBackoff, ServerRetryPauses) {
    test::FakeClock clock;
    int interval = 20;
    for (int i = 0; i < 16; ++i) sleep_and_backoff(interval, 3600);
    EXPECT_EQ(clock.sleeps(), (std::vector<unsigned>{20, 30, 45, 67, 100, 150, 225, 337, 505, 757, 1135, 1702, 2553,
                                                     3600, 3600, 3600}));
}
