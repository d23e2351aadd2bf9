#include <gtest/gtest.h>

#include "client/driver.h"
#include "core/exception.h"
#include "core/log.h"
#include "core/signals.h"
#include "core/utils.h"
#include "support/test_support.h"

using namespace velmo;

namespace {

// Every test starts without SIGTERM; tests that raise it reset it after.
struct DriverTest : ::testing::Test {
    void SetUp() override { SIGTERM_ARRIVED = 0; }
    void TearDown() override { SIGTERM_ARRIVED = 0; }
    test::TopDir top;
    test::LogCapture log;
    AgentSettings settings;
};

std::vector<std::string> texts(const test::LogCapture& log, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& l : log.lines())
        if (string_starts_with(l.text, prefix)) out.push_back(l.text);
    return out;
}

}  // namespace

TEST_F(DriverTest, RunsHandlersInTurnAndTracksTheGreetedFlag) {
    test::FakeClock clock;
    std::vector<std::string> seen;
    StateMachine m;
    auto step = [&](const char* name, AgentState next) {
        return [&seen, name, next](AgentRuntime& rt) {
            seen.push_back(std::string(name) + (rt.greeted ? "+" : "-"));
            return next;
        };
    };
    int connects = 0;
    m.handlers[AgentState::INITIAL] = step("I", AgentState::BOOTSTRAP);
    m.handlers[AgentState::BOOTSTRAP] = step("B", AgentState::CONNECT_TO_MS);
    m.handlers[AgentState::GREET_SERVER] = step("G", AgentState::CONNECT_TO_MS);
    m.handlers[AgentState::CONNECT_TO_MS] = [&](AgentRuntime& rt) {
        seen.push_back(std::string("C") + (rt.greeted ? "+" : "-"));
        if (++connects == 1) return AgentState::GREET_SERVER;
        return connects == 2 ? AgentState::BOOTSTRAP : AgentState::EXIT;
    };
    run_state_machine(settings, m);
    EXPECT_EQ(seen, (std::vector<std::string>{"I-", "B-", "C-", "G-", "C+", "B+", "C-"}))
        << "greeted is set after GREET_SERVER and cleared after BOOTSTRAP";
    EXPECT_EQ(texts(log, "State: ").back(), "State: 'EXIT'");
    EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(DriverTest, LoadsAndSavesPersistedMembersInOrder) {
    test::FakeClock clock;
    std::vector<std::string> calls;
    StateMachine m;
    for (const char* name : {"reboot", "sync", "history"})
        m.persisted.push_back({[&calls, name](AgentContext&) { calls.push_back(std::string("load ") + name); },
                               [&calls, name](AgentContext&) { calls.push_back(std::string("save ") + name); }});
    m.handlers[AgentState::INITIAL] = [&](AgentRuntime& rt) {
        EXPECT_EQ(rt.context.reboot_request.request_id, -1);
        EXPECT_TRUE(rt.context.reboot_request.response_sent);
        EXPECT_EQ(rt.context.management_server.port, -1);
        EXPECT_TRUE(rt.context.full_report_pending);
        EXPECT_TRUE(rt.context.config_profile.is_null());
        calls.push_back("INITIAL");
        return AgentState::EXIT;
    };
    run_state_machine(settings, m);
    EXPECT_EQ(calls, (std::vector<std::string>{"load reboot", "load sync", "load history", "INITIAL", "save reboot",
                                               "save sync", "save history"}));
}

TEST_F(DriverTest, ARaisingHandlerIsRetriedFromInitialEvery300Seconds) {
    test::FakeClock clock;
    int passes = 0;
    StateMachine m;
    m.handlers[AgentState::INITIAL] = [&](AgentRuntime&) -> AgentState {
        ++passes;
        return AgentState::BOOTSTRAP;
    };
    m.handlers[AgentState::BOOTSTRAP] = [](AgentRuntime&) -> AgentState { throw VelmoException("broken %d", 7); };
    clock.on_sleep([&](unsigned) {
        if (clock.sleeps().size() == 3) SIGTERM_ARRIVED = 1;
    });
    run_state_machine(settings, m);
    EXPECT_EQ(clock.sleeps(), (std::vector<unsigned>{300, 300, 300})) << "never a busy loop";
    EXPECT_EQ(passes, 3);
    EXPECT_EQ(log.count("Critical error: 'broken 7'"), 3u);
    EXPECT_EQ(log.count("Operations will resume in 300 seconds."), 3u);
    auto states = texts(log, "State: ");
    ASSERT_GE(states.size(), 2u);
    EXPECT_EQ(states[states.size() - 1], "State: 'INITIAL'") << "SIGTERM is seen at the top of the next pass";
}

TEST_F(DriverTest, AStateWithoutHandlerIsACriticalError) {
    test::FakeClock clock;
    StateMachine m;
    m.handlers[AgentState::INITIAL] = [](AgentRuntime&) { return static_cast<AgentState>(42); };
    clock.on_sleep([](unsigned) { SIGTERM_ARRIVED = 1; });
    run_state_machine(settings, m);
    EXPECT_TRUE(log.contains(LOG_ERR, "Critical error: 'Unsupported state: 42'"));
    EXPECT_TRUE(log.contains(LOG_DEBUG, "State: 'UNKNOWN'"));
}

TEST_F(DriverTest, StateExitWithoutClientSavesAndStopsAtTheFirstError) {
    std::unique_ptr<MqttClientVelmo> none;
    AgentContext context;
    std::vector<std::string> calls;
    std::vector<PersistedMember> persisted = {
        {nullptr, [&](AgentContext&) { calls.push_back("first"); }},
        {nullptr, [&](AgentContext&) -> void { throw VelmoException("disk full"); }},
        {nullptr, [&](AgentContext&) { calls.push_back("third"); }},
    };
    ExitRequest request;
    request.restart_client = true;
    state_exit(none, context, request, persisted);
    EXPECT_EQ(calls, std::vector<std::string>{"first"});
    EXPECT_TRUE(log.contains(LOG_ERR, "state_exit: 'disk full'"));
    EXPECT_FALSE(log.contains("Restarting client..."));
}

TEST_F(DriverTest, ScheduleStartsFromTheMonitoringInterval) {
    test::FakeClock clock(1000000);
    Schedule s = make_schedule(5);
    EXPECT_EQ(s.report_period, 300);
    EXPECT_GE(s.next_report_time, 1000000);
    EXPECT_LT(s.next_report_time, 1000030);
    EXPECT_EQ(s.next_full_report_time, 1000000);
    EXPECT_EQ(s.next_local_check_time, 1000000);
    EXPECT_STREQ(state_to_string(AgentState::HANDLE_MANAGEMENT_COMMANDS), "HANDLE_MANAGEMENT_COMMANDS");
    EXPECT_STREQ(state_to_string(static_cast<AgentState>(8)), "UNKNOWN");
}
