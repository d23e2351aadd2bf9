// Performs the router status lookups given on its command line, in order, and
// prints one line per result. The integration tests run it inside the
// simulated router and compare its output and the router's journal.
//
// Its monotonic clock stands still (at 5000.5 s) unless "advance-ms" moves
// it, so the tests decide exactly when the status cache expires.
//
//   value SECTION KEY        read_status_value
//   ACCESSOR[:2]             a typed accessor by name (status_mobile_cell:2 = second module)
//   mac | imei | serial      get_mac_address, get_imei, get_serial_number
//   advance-ms N             moves the clock forward
//   sim-write PATH TEXT      writes TEXT to $VELMO_SIM/PATH (the router changes meanwhile)
//   module-state             read_module_state(nullptr, scratch, sim0, sim1) with areas
//                            filled with 0xa5 bytes; prints result, pointers and the two
//                            words of each area as key=value pairs, and whether the
//                            guard bytes after each area are intact
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "core/clock.h"
#include "telemetry/sim_stats.h"
#include "telemetry/status_reader.h"

namespace {

class ProbeClock : public velmo::Clock {
public:
    time_t now() override { return time(nullptr); }
    int64_t monotonic_ms() override { return mono_ms; }
    void sleep_seconds(unsigned s) override { mono_ms += static_cast<int64_t>(s) * 1000; }
    int64_t mono_ms = 5000500;
};

std::string pointer(const void* p) {
    char text[32];
    snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
    return text;
}

std::string word(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

// Each area is followed by guard bytes that the platform must leave alone.
struct GuardedArea {
    velmo::SimStatsArea area;
    unsigned char guard[256];
};

std::string module_state() {
    static unsigned char scratch[64];
    static GuardedArea sim[2];
    memset(sim, 0xa5, sizeof sim);
    int result = velmo::read_module_state(nullptr, scratch, &sim[0].area, &sim[1].area);
    std::string out = "result=" + std::to_string(result) + " arg2=" + pointer(scratch);
    bool guards_intact = true;
    for (int slot = 0; slot < 2; ++slot) {
        std::string name = " sim" + std::to_string(slot);
        out += name + "=" + pointer(&sim[slot].area);
        out += name + ".cells=" + word(sim[slot].area.cell_changes_today());
        out += name + ".active=" + word(sim[slot].area.active_today());
        for (unsigned char b : sim[slot].guard) guards_intact = guards_intact && b == 0xa5;
    }
    return out + " guards=" + (guards_intact ? "intact" : "damaged");
}

const std::map<std::string, std::function<std::string(bool)>>& accessors() {
    using namespace velmo;
    static const std::map<std::string, std::function<std::string(bool)>> table = {
        {"status_product_name", [](bool) { return status_product_name(); }},
        {"status_firmware_version", [](bool) { return status_firmware_version(); }},
        {"status_serial_number", [](bool) { return status_serial_number(); }},
        {"status_module_revision", [](bool s) { return status_module_revision(s); }},
        {"status_module_imei", [](bool s) { return status_module_imei(s); }},
        {"status_module_iccid", [](bool s) { return status_module_iccid(s); }},
        {"status_mobile_operator", [](bool s) { return status_mobile_operator(s); }},
        {"status_mobile_technology", [](bool s) { return status_mobile_technology(s); }},
        {"status_mobile_cell", [](bool s) { return std::to_string(status_mobile_cell(s)); }},
        {"status_mobile_channel", [](bool s) { return std::to_string(status_mobile_channel(s)); }},
        {"status_mobile_signal_strength", [](bool s) { return std::to_string(status_mobile_signal_strength(s)); }},
        {"status_mobile_signal_quality", [](bool s) { return std::to_string(status_mobile_signal_quality(s)); }},
    };
    return table;
}

int usage(const std::string& what) {
    fprintf(stderr, "status_probe: bad or incomplete action '%s'\n", what.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    ProbeClock clock;
    velmo::set_clock(&clock);
    for (int i = 1; i < argc; ++i) {
        std::string action = argv[i];
        auto more = [&](int n) { return i + n < argc; };
        std::string line;
        if (action == "value" && more(2)) {
            line = velmo::read_status_value(argv[i + 1], argv[i + 2]);
            i += 2;
        } else if (action == "mac") {
            line = velmo::get_mac_address();
        } else if (action == "imei") {
            line = velmo::get_imei();
        } else if (action == "serial") {
            line = velmo::get_serial_number();
        } else if (action == "module-state") {
            line = module_state();
        } else if (action == "advance-ms" && more(1)) {
            clock.mono_ms += std::stoll(argv[++i]);
            continue;
        } else if (action == "sim-write" && more(2)) {
            const char* sim = getenv("VELMO_SIM");
            if (!sim) return usage(action + " (no VELMO_SIM)");
            std::ofstream(std::string(sim) + "/" + argv[i + 1], std::ios::binary) << argv[i + 2];
            i += 2;
            continue;
        } else {
            bool second = action.size() > 2 && action.compare(action.size() - 2, 2, ":2") == 0;
            auto found = accessors().find(second ? action.substr(0, action.size() - 2) : action);
            if (found == accessors().end()) return usage(action);
            line = found->second(second);
        }
        printf("%s\n", line.c_str());
    }
    velmo::set_clock(nullptr);
    return 0;
}
