#pragma once
#include <csignal>

namespace velmo {

// Set to 1 by the SIGTERM handler and never cleared.
extern volatile std::sig_atomic_t SIGTERM_ARRIVED;

// One sigaction for SIGTERM, empty mask, no flags (interrupted calls are not
// restarted, so sleeps end early). Raises VelmoException on failure.
void install_signal_handlers();

// Read end of a pipe that the SIGTERM handler writes a byte to, or -1 before
// install_signal_handlers. The signal may be handled on any thread; a wait on
// the main thread that also polls this descriptor ends all the same.
int sigterm_wakeup_fd();

// Blocks SIGTERM in the calling thread while it lives. Threads created
// meanwhile inherit the block, so SIGTERM always reaches the main thread,
// whose sleeps it must end.
class SigtermBlocked {
public:
    SigtermBlocked();
    ~SigtermBlocked();
    SigtermBlocked(const SigtermBlocked&) = delete;
    SigtermBlocked& operator=(const SigtermBlocked&) = delete;

private:
    sigset_t previous_;
};

}  // namespace velmo
