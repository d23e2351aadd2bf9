#pragma once
// The SIM statistics record that the platform library fills through
// sim_stats_init(record, slot) and sim_stats_load(record). The agent provides
// one record per SIM slot (0 and 1) and reads two 32-bit words of it; the
// other bytes belong to the platform and are never interpreted here.
//
//   offset  size  field
//        0     4  slot                the slot given to sim_stats_init
//        4    16  (platform)
//       20     4  cell_changes_today  cell changes seen on the slot today;
//                                     the cells used today are this + 1
//       24     4  active_today        non-zero when the slot's SIM was in use today
//       28   228  (platform)
//
// A caller hands read_module_state areas of at least kSimStatsRecordSize
// bytes each, zeroed, so that a platform without the statistics calls
// leaves them reading as "not active".
#include <cstddef>
#include <cstdint>

namespace velmo {

struct SimStatsRecord {
    uint32_t slot;
    uint32_t platform_head[4];
    uint32_t cell_changes_today;
    uint32_t active_today;
    uint8_t platform_tail[228];
};

constexpr size_t kSimStatsRecordSize = sizeof(SimStatsRecord);
constexpr size_t kSimStatsCellChangesOffset = 20;
constexpr size_t kSimStatsActiveOffset = 24;

static_assert(kSimStatsRecordSize == 256, "the platform's record is 256 bytes");
static_assert(offsetof(SimStatsRecord, cell_changes_today) == kSimStatsCellChangesOffset, "layout");
static_assert(offsetof(SimStatsRecord, active_today) == kSimStatsActiveOffset, "layout");

}  // namespace velmo
