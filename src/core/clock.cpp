#include "core/clock.h"

#include <poll.h>

#include <atomic>
#include <cerrno>

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
    // SIGTERM ends the sleep early, whichever thread handled it: the handler
    // writes the wake-up pipe that the wait polls. The rest of the sleep is
    // dropped on purpose.
    void sleep_seconds(unsigned s) override { wait(s, true); }
    void pause_seconds(unsigned s) override { wait(s, false); }

private:
    void wait(unsigned s, bool until_sigterm) {
        const int64_t deadline = monotonic_ms() + static_cast<int64_t>(s) * 1000;
        pollfd wakeup{until_sigterm ? sigterm_wakeup_fd() : -1, POLLIN, 0};  // poll skips a negative fd
        for (;;) {
            if (until_sigterm && SIGTERM_ARRIVED) return;
            const int64_t remaining = deadline - monotonic_ms();
            if (remaining <= 0) return;
            // Slices of at most a minute keep the conversion to int safe for any sleep.
            const int slice = static_cast<int>(remaining < 60000 ? remaining : 60000);
            if (poll(&wakeup, 1, slice) < 0 && errno != EINTR) return;
        }
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
