#include "support/test_support.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include "core/log.h"
#include "core/paths.h"
#include "core/shell.h"
#include "core/utils.h"

namespace velmo::test {
namespace {
std::mutex log_mutex;
std::vector<LogLine> captured;
}  // namespace

LogCapture::LogCapture() {
    clear();
    set_log_sink([](int priority, const std::string& line) {
        std::lock_guard<std::mutex> lock(log_mutex);
        captured.push_back({priority, line});
    });
}

LogCapture::~LogCapture() { set_log_sink(nullptr); }

std::vector<LogLine> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(log_mutex);
    return captured;
}

bool LogCapture::contains(int priority, const std::string& text) const {
    for (const auto& l : lines())
        if (l.priority == priority && l.text == text) return true;
    return false;
}

bool LogCapture::contains(const std::string& text) const { return count(text) > 0; }

size_t LogCapture::count(const std::string& text) const {
    size_t n = 0;
    for (const auto& l : lines())
        if (l.text == text) ++n;
    return n;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(log_mutex);
    captured.clear();
}

struct FakeClock::State {
    std::mutex mutex;
    time_t now;
    int64_t mono_ms = 1000000;
    std::vector<unsigned> sleeps;
    std::function<void(unsigned)> hook;
};

FakeClock::FakeClock(time_t start) : state_(new State) {
    state_->now = start;
    set_clock(this);
}

FakeClock::~FakeClock() {
    set_clock(nullptr);
    delete state_;
}

time_t FakeClock::now() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->now;
}

int64_t FakeClock::monotonic_ms() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->mono_ms;
}

void FakeClock::sleep_seconds(unsigned s) {
    std::function<void(unsigned)> hook;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->sleeps.push_back(s);
        state_->now += s;
        state_->mono_ms += static_cast<int64_t>(s) * 1000;
        hook = state_->hook;
    }
    if (hook) hook(s);
}

void FakeClock::advance(long seconds) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->now += seconds;
    state_->mono_ms += seconds * 1000;
}

std::vector<unsigned> FakeClock::sleeps() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->sleeps;
}

void FakeClock::on_sleep(std::function<void(unsigned)> hook) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->hook = std::move(hook);
}

TopDir::TopDir() : previous_top_(FilesystemPaths::_top) {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/velmo-unit-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) abort();
    path_ = name.data();
    FilesystemPaths::_top = path_;
}

TopDir::~TopDir() {
    FilesystemPaths::_top = previous_top_;
    run_command("rm -rf " + shell_quote(path_));
}

void TopDir::write(const std::string& relative, const std::string& content) const {
    std::string full = path_ + "/" + relative;
    file_ensure_path_exists(file_get_dir(full));
    std::ofstream(full, std::ios::binary) << content;
}

std::string TopDir::read(const std::string& relative) const { return file_read(path_ + "/" + relative); }

bool TopDir::exists(const std::string& relative) const { return file_exists(path_ + "/" + relative); }

int closed_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

}  // namespace velmo::test
