// Stand-in for the router's platform library libquenno, the one the agent
// calls. It uses libtorska and libravelo without linking to them: their
// symbols are found only when the caller loaded them with global visibility
// before this library. Weak references make a missing one visible as a
// wrong answer (-100, zero counters) instead of a crash.
//
// Variants (compile definitions): QUENNO_NO_SIM_STATS_LOAD leaves out
// sim_stats_load, QUENNO_NO_SIM_STATS leaves out both statistics calls.
#include <cstring>

#include "platform_journal.h"
#include "telemetry/sim_stats.h"

extern "C" int torska_module_state(void) __attribute__((weak));
extern "C" int ravelo_sim_counters(int slot, uint32_t* cell_changes, uint32_t* active) __attribute__((weak));

namespace {
const uint32_t kInitialised = 0x51a75e7;  // platform_head[0] after sim_stats_init
// The whole record of this platform: larger than the fields the agent reads,
// as a real platform's record is, and all of it written by sim_stats_init.
const size_t kPlatformRecordSize = 2048;
}

__attribute__((constructor)) static void loaded() { platform_record("libquenno.so", "load"); }
__attribute__((destructor)) static void unloaded() { platform_record("libquenno.so", "unload"); }

PLATFORM_API int module_state_get(void* arg1, void* arg2) {
    platform_record("libquenno.so", "module_state_get", platform_pointer(arg1), platform_pointer(arg2));
    return torska_module_state ? torska_module_state() : -100;
}

#if !defined(QUENNO_NO_SIM_STATS)
PLATFORM_API int sim_stats_init(void* area, int slot) {
    char slot_text[16];
    snprintf(slot_text, sizeof slot_text, "%d", slot);
    platform_record("libquenno.so", "sim_stats_init", platform_pointer(area), slot_text);
    auto* record = static_cast<velmo::SimStatsRecord*>(area);
    memset(area, 0, kPlatformRecordSize);  // the whole record: a smaller area shows as damage beyond it
    record->slot = static_cast<uint32_t>(slot);
    record->platform_head[0] = kInitialised;
    return 0;
}

#if !defined(QUENNO_NO_SIM_STATS_LOAD)
PLATFORM_API int sim_stats_load(void* area) {
    platform_record("libquenno.so", "sim_stats_load", platform_pointer(area));
    auto* record = static_cast<velmo::SimStatsRecord*>(area);
    if (record->platform_head[0] != kInitialised) return -1;  // not initialised: leave it alone
    if (ravelo_sim_counters) ravelo_sim_counters(static_cast<int>(record->slot), &record->cell_changes_today,
                                                 &record->active_today);
    return 0;
}
#endif
#endif
