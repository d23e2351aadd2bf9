// Runs one collect_measurements inside the simulated router and prints the
// result as one JSON line: {"downloads":{...},"uploads":{...},"values":{...}}.
// A collection that raises prints "raised: <what>" on standard error and
// exits with 3. Log lines go to the router's syslog as "velmo_client".
//
//   measure_probe [options] REPORTING
//     REPORTING               the "reporting" section of a profile (JSON text)
//     -d DIR                  the top prefix (as the agent's -d)
//     --port N                the management server's port (default 8883)
//     --counters DOWN UP      the history's stored interface counters
//     --history NAME TEXT     a string value the history holds for NAME
//     --rusage                prints "cpu_self_ms=N cpu_children_ms=N" on standard
//                             error after the collection (the benchmark's figures)
//     --fast-clock            a monotonic clock that moves 2 s at every
//                             reading, so waits measured by it end at once
#include <sys/resource.h>
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "core/clock.h"
#include "core/paths.h"
#include "desired_state/profile.h"
#include "telemetry/measurements.h"

namespace {

class FastClock : public velmo::Clock {
public:
    time_t now() override { return time(nullptr); }
    int64_t monotonic_ms() override { return mono_ms += 2000; }
    void sleep_seconds(unsigned s) override { mono_ms += static_cast<int64_t>(s) * 1000; }
    int64_t mono_ms = 0;
};

long cpu_ms(int who) {
    struct rusage usage {};
    getrusage(who, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000L +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000L;
}

nlohmann::json counter(const velmo::TrafficCounter& c) {
    return {{"last_delta", c.last_delta}, {"last_interface_value", c.last_interface_value}};
}

}  // namespace

int main(int argc, char** argv) {
    openlog("velmo_client", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    FastClock fast_clock;
    velmo::MetricsHistory history;
    int32_t port = 8883;
    std::string reporting = "{}";
    bool rusage = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-d" && i + 1 < argc) {
            velmo::FilesystemPaths::_top = argv[++i];
        } else if (arg == "--port" && i + 1 < argc) {
            port = std::atoi(argv[++i]);
        } else if (arg == "--counters" && i + 2 < argc) {
            history.downloads.last_interface_value = std::strtoll(argv[++i], nullptr, 10);
            history.uploads.last_interface_value = std::strtoll(argv[++i], nullptr, 10);
        } else if (arg == "--history" && i + 2 < argc) {
            std::string name = argv[++i];
            history.last_changed_values[name] = std::string(argv[++i]);
        } else if (arg == "--rusage") {
            rusage = true;
        } else if (arg == "--fast-clock") {
            velmo::set_clock(&fast_clock);
        } else {
            reporting = arg;
        }
    }
    try {
        auto requested = velmo::get_desired_reporting({{"reporting", nlohmann::json::parse(reporting)}});
        velmo::Measurements m = velmo::collect_measurements(requested, history, port);
        nlohmann::json out = {{"values", m.values}, {"downloads", counter(m.downloads)},
                              {"uploads", counter(m.uploads)}};
        printf("%s\n", out.dump().c_str());
        if (rusage) fprintf(stderr, "cpu_self_ms=%ld cpu_children_ms=%ld\n", cpu_ms(RUSAGE_SELF), cpu_ms(RUSAGE_CHILDREN));
    } catch (const std::exception& e) {
        fprintf(stderr, "raised: %s\n", e.what());
        velmo::set_clock(nullptr);
        return 3;
    }
    velmo::set_clock(nullptr);
    return 0;
}
