#pragma once
// The SIM statistics record that the platform library fills through
// sim_stats_init(record, slot) and sim_stats_load(record). The agent provides
// one area per SIM slot (0 and 1) and reads two 32-bit words of it; the other
// bytes belong to the platform and are never interpreted here.
//
//   offset  size  field
//        0     4  slot                the slot given to sim_stats_init
//        4    16  (platform)
//       20     4  cell_changes_today  cell changes seen on the slot today;
//                                     the cells used today are this + 1
//       24     4  active_today        non-zero when the slot's SIM was in use today
//       28     .  (platform)
//
// The record's full size is the platform's own and may grow with its
// firmware, and the library writes as much as it needs. A caller therefore
// hands read_module_state a SimStatsArea per slot: far larger than any known
// record, and zeroed, so that a platform without the statistics calls leaves
// it reading as "not active".
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velmo {

// The fields read by the agent, at the start of the platform's record.
struct SimStatsRecord {
    uint32_t slot;
    uint32_t platform_head[4];
    uint32_t cell_changes_today;
    uint32_t active_today;
};

constexpr size_t kSimStatsCellChangesOffset = 20;
constexpr size_t kSimStatsActiveOffset = 24;
constexpr size_t kSimStatsAreaSize = 8192;

static_assert(offsetof(SimStatsRecord, cell_changes_today) == kSimStatsCellChangesOffset, "layout");
static_assert(offsetof(SimStatsRecord, active_today) == kSimStatsActiveOffset, "layout");

// Memory for one slot's record, zeroed and aligned for any field type.
struct SimStatsArea {
    alignas(std::max_align_t) unsigned char bytes[kSimStatsAreaSize] = {};

    uint32_t word(size_t offset) const {
        uint32_t value;
        std::memcpy(&value, bytes + offset, sizeof value);
        return value;
    }
    uint32_t cell_changes_today() const { return word(kSimStatsCellChangesOffset); }
    uint32_t active_today() const { return word(kSimStatsActiveOffset); }
};

}  // namespace velmo
