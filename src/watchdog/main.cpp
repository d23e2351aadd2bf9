// velmo_watchdog: starts the agent when it is not running and restarts it
// when its heartbeat grows too old.
#include "watchdog/watchdog.h"

int main() { return velmo::watchdog_main(); }
