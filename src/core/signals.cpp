#include "core/signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/exception.h"

namespace velmo {

volatile std::sig_atomic_t SIGTERM_ARRIVED = 0;

namespace {

int wakeup_pipe[2] = {-1, -1};

extern "C" void on_sigterm(int) {
    SIGTERM_ARRIVED = 1;
    // Non-blocking: a full pipe never holds up the handler, and one byte wakes every wait.
    int saved = errno;
    if (wakeup_pipe[1] >= 0) {
        ssize_t ignored = write(wakeup_pipe[1], "T", 1);
        (void)ignored;
    }
    errno = saved;
}

}  // namespace

int sigterm_wakeup_fd() { return wakeup_pipe[0]; }

void install_signal_handlers() {
    if (wakeup_pipe[0] < 0 && pipe2(wakeup_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw VelmoException("Failed to register a signal handler: '%s'", strerror(errno));
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
