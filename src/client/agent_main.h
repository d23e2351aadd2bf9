#pragma once
#include "client/driver.h"

namespace velmo {

// The program entry of the agent, run with the given state machine: parses
// -d, reads the settings, opens the log at the configured level, removes the
// scratch directory and runs the machine. Returns the exit status.
int agent_main(int argc, char** argv, const StateMachine& machine);

}  // namespace velmo
