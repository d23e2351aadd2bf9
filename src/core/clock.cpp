#include "core/clock.h"

#include <poll.h>
#include <pthread.h>

#include <atomic>
#include <csignal>

#include "core/signals.h"

namespace velmo {
namespace {

class SystemClock final : public Clock {
public:
    time_t now() override { return time(nullptr); }
    int64_t monotonic_ms() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    }
    void sleep_seconds(unsigned s) override {
        // SIGTERM ends the sleep early; the rest of it is dropped on purpose.
        // It is blocked while the flag is tested and unblocked atomically by
        // the wait, so a SIGTERM that arrives just before the wait still ends it.
        sigset_t term, previous;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &term, &previous);
        if (!SIGTERM_ARRIVED) {
            timespec ts{static_cast<time_t>(s), 0};
            ppoll(nullptr, 0, &ts, &previous);
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
};

SystemClock system_clock;
std::atomic<Clock*> current{&system_clock};

}  // namespace

Clock& clock() { return *current.load(std::memory_order_acquire); }

void set_clock(Clock* replacement) {
    current.store(replacement ? replacement : &system_clock, std::memory_order_release);
}

}  // namespace velmo
