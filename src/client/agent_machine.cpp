#include "client/agent_machine.h"

namespace velmo {

StateMachine agent_state_machine() {
    StateMachine machine;
    return machine;
}

}  // namespace velmo
