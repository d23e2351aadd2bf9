#pragma once
// Shared fixtures of the unit tests: a scratch directory used as the top
// prefix, a captured log and a clock whose sleeps take no time.
#include <string>
#include <utility>
#include <vector>

#include <functional>

#include "core/clock.h"

namespace velmo::test {

struct LogLine {
    int priority;
    std::string text;
};

// Captures every log line of the process while it lives.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<LogLine> lines() const;
    bool contains(int priority, const std::string& text) const;
    bool contains(const std::string& text) const;
    size_t count(const std::string& text) const;
    void clear();
};

// A clock that stands still except when the code sleeps: every sleep is
// recorded and advances the clock at once. Installed while it lives.
class FakeClock : public Clock {
public:
    explicit FakeClock(time_t start = 1700000000);
    ~FakeClock() override;
    time_t now() override;
    int64_t monotonic_ms() override;
    void sleep_seconds(unsigned s) override;
    void advance(long seconds);
    std::vector<unsigned> sleeps() const;
    // Called after each sleep (for example to raise SIGTERM after N sleeps).
    void on_sleep(std::function<void(unsigned)> hook);

private:
    struct State;
    State* state_;
};

// A fresh directory under $TMPDIR (or /tmp) that becomes FilesystemPaths::_top
// while the object lives, and is removed afterwards.
class TopDir {
public:
    TopDir();
    ~TopDir();
    const std::string& path() const { return path_; }
    // Writes a file below the top directory, creating its directories.
    void write(const std::string& relative, const std::string& content) const;
    std::string read(const std::string& relative) const;
    bool exists(const std::string& relative) const;

private:
    std::string path_;
    std::string previous_top_;
};

// A loopback TCP port that nothing listens on: connections are refused at once.
int closed_port();

}  // namespace velmo::test
