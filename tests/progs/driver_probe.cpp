// The agent's program entry and driver with handlers of the test's own, so
// that tests can drive the state machine into the paths they need.
//
// VELMO_PROBE_MODE:
//   exit   INITIAL returns EXIT at once
//   raise  INITIAL raises on every pass
//   cycle  INITIAL -> BOOTSTRAP -> CONNECT_TO_MS -> GREET_SERVER -> EXIT, logging
//          the greeted flag as each handler sees it
// VELMO_PROBE_EXIT: comma-separated exit requests set by INITIAL
//   (reboot, update, restart).
// VELMO_PROBE_TERM_FIFO: path of a FIFO; a second thread, with SIGTERM
//   unblocked, waits for a line on it and then directs SIGTERM at itself
//   (tgkill), so that the handler runs on a thread other than the main one.
// A persisted member logs "probe: load" when loaded and "probe: save" when saved.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include "client/agent_main.h"
#include "core/exception.h"
#include "core/log.h"

using namespace velmo;

namespace {

std::string env(const char* name) {
    const char* v = getenv(name);
    return v ? v : "";
}

AgentState logged(AgentRuntime& rt, const char* name, AgentState next) {
    vlog(LOG_INFO, "probe: %s greeted=%d", name, rt.greeted ? 1 : 0);
    return next;
}

void sigterm_from_another_thread(const std::string& fifo) {
    std::thread([fifo] {
        int fd = open(fifo.c_str(), O_RDONLY);
        char c;
        if (fd < 0 || read(fd, &c, 1) != 1) return;
        close(fd);
        const long tid = syscall(SYS_gettid);
        vlog(LOG_INFO, "probe: SIGTERM to thread %ld of process %ld", tid, static_cast<long>(getpid()));
        syscall(SYS_tgkill, getpid(), tid, SIGTERM);
    }).detach();
}

}  // namespace

int main(int argc, char** argv) {
    if (!env("VELMO_PROBE_TERM_FIFO").empty()) sigterm_from_another_thread(env("VELMO_PROBE_TERM_FIFO"));
    const std::string mode = env("VELMO_PROBE_MODE");
    const std::string requests = "," + env("VELMO_PROBE_EXIT") + ",";
    StateMachine machine;
    machine.persisted.push_back({[](AgentContext&) { vlog(LOG_INFO, "probe: load"); },
                                 [](AgentContext&) { vlog(LOG_INFO, "probe: save"); }});
    machine.handlers[AgentState::INITIAL] = [mode, requests](AgentRuntime& rt) {
        rt.exit_request.reboot = requests.find(",reboot,") != std::string::npos;
        rt.exit_request.update_client = requests.find(",update,") != std::string::npos;
        // The update installs the package that the profile's URL for the agent names.
        if (rt.exit_request.update_client)
            rt.context.config_profile = {{"apps", {{"velmo_client", {{"version", "2.0.0"},
                {"url", "https://content.test/file/ab12/velmo_client_2.0.0.tgz"}}}}}};
        rt.exit_request.restart_client = requests.find(",restart,") != std::string::npos;
        if (mode == "raise") throw VelmoException("probe failure in %s", "INITIAL");
        if (mode == "cycle") return logged(rt, "INITIAL", AgentState::BOOTSTRAP);
        return AgentState::EXIT;
    };
    machine.handlers[AgentState::BOOTSTRAP] = [](AgentRuntime& rt) {
        return logged(rt, "BOOTSTRAP", AgentState::CONNECT_TO_MS);
    };
    machine.handlers[AgentState::CONNECT_TO_MS] = [](AgentRuntime& rt) {
        return logged(rt, "CONNECT_TO_MS", rt.greeted ? AgentState::EXIT : AgentState::GREET_SERVER);
    };
    machine.handlers[AgentState::GREET_SERVER] = [](AgentRuntime& rt) {
        return logged(rt, "GREET_SERVER", AgentState::CONNECT_TO_MS);
    };
    return agent_main(argc, argv, machine);
}
