#include "core/signals.h"

#include <pthread.h>

#include <cerrno>
#include <cstring>

#include "core/exception.h"

namespace velmo {

volatile std::sig_atomic_t SIGTERM_ARRIVED = 0;

namespace {
extern "C" void on_sigterm(int) { SIGTERM_ARRIVED = 1; }
}  // namespace

void install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = on_sigterm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (sigaction(SIGTERM, &action, nullptr) != 0)
        throw VelmoException("Failed to register a signal handler: '%s'", strerror(errno));
}

SigtermBlocked::SigtermBlocked() {
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, &previous_);
}

SigtermBlocked::~SigtermBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

}  // namespace velmo
