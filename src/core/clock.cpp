#include "core/clock.h"

#include <atomic>
#include <cerrno>

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
        // A single nanosleep: a signal (SIGTERM) ends the sleep early and the
        // remaining time is dropped on purpose.
        timespec ts{static_cast<time_t>(s), 0};
        nanosleep(&ts, nullptr);
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
