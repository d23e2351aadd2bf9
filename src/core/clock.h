#pragma once
// The one seam through which the agent reads clocks and sleeps, so that
// back-off, retry and pacing logic can be tested without waiting.
#include <cstdint>
#include <ctime>

namespace velmo {

class Clock {
public:
    virtual ~Clock() = default;
    virtual time_t now() = 0;                  // wall clock, seconds since the epoch
    virtual int64_t monotonic_ms() = 0;        // monotonic clock, milliseconds
    virtual void sleep_seconds(unsigned s) = 0;  // ends early once SIGTERM has arrived
    // Waits the whole time even after SIGTERM: the pauses on the way out.
    virtual void pause_seconds(unsigned s) { sleep_seconds(s); }
};

Clock& clock();
// Replaces the process clock (nullptr restores the system clock). Tests only.
void set_clock(Clock* replacement);

inline time_t now() { return clock().now(); }
inline int64_t monotonic_ms() { return clock().monotonic_ms(); }
inline int64_t monotonic_seconds() { return clock().monotonic_ms() / 1000; }
inline void sleep_seconds(unsigned s) { clock().sleep_seconds(s); }
inline void pause_seconds(unsigned s) { clock().pause_seconds(s); }

}  // namespace velmo
