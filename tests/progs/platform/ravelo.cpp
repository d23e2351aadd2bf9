// Stand-in for the router's platform library libravelo: the source of the
// per-SIM counters that libquenno puts into its statistics records.
#include "platform_journal.h"

__attribute__((constructor)) static void loaded() { platform_record("libravelo.so", "load"); }
__attribute__((destructor)) static void unloaded() { platform_record("libravelo.so", "unload"); }

// The counters of a SIM slot from $VELMO_SIM/platform/sim<slot>:
// "<cell changes today> <active today>".
PLATFORM_API int ravelo_sim_counters(int slot, uint32_t* cell_changes, uint32_t* active) {
    char name[16];
    snprintf(name, sizeof name, "sim%d", slot);
    long values[2];
    platform_numbers(name, values, 2);
    *cell_changes = static_cast<uint32_t>(values[0]);
    *active = static_cast<uint32_t>(values[1]);
    return 0;
}
