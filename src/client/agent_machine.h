#pragma once
#include "client/driver.h"

namespace velmo {

// The agent's handlers and persisted members, wired to the subsystems.
StateMachine agent_state_machine();

}  // namespace velmo
