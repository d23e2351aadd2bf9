// Stand-in for the router's platform library libtorska: the module state
// that libquenno's module_state_get answers.
#include "platform_journal.h"

__attribute__((constructor)) static void loaded() { platform_record("libtorska.so", "load"); }
__attribute__((destructor)) static void unloaded() { platform_record("libtorska.so", "unload"); }

// The number in $VELMO_SIM/platform/module_state, 0 without the file.
PLATFORM_API int torska_module_state(void) {
    long value;
    platform_numbers("module_state", &value, 1);
    return static_cast<int>(value);
}
