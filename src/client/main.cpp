// velmo_client: the device-management agent.
#include "client/agent_machine.h"
#include "client/agent_main.h"

int main(int argc, char** argv) { return velmo::agent_main(argc, argv, velmo::agent_state_machine()); }
