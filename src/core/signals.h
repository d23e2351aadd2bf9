#pragma once
#include <csignal>

namespace velmo {

// Set to 1 by the SIGTERM handler and never cleared.
extern volatile std::sig_atomic_t SIGTERM_ARRIVED;

// One sigaction for SIGTERM, empty mask, no flags (interrupted calls are not
// restarted, so sleeps end early). Raises VelmoException on failure.
void install_signal_handlers();

}  // namespace velmo
