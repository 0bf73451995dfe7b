// SPDX-License-Identifier: Apache-2.0
// The mark of an in-place upgrade of a pool of layout version 8 under way
// (upgrade/): the word at header offset 4096, which a versioned pool's
// VersionState begins with and which is zero in other pools of version 8.
// The rooms below the upgrade read it here: the handshake refuses attachers
// while it stands, the migration and retirement wait for the upgrade.
// Internal to libzim_memory; only upgrade/ writes the word.
#ifndef ZIM_SIM_SRC_SEGMENT_UPGRADE_MARK_HPP
#define ZIM_SIM_SRC_SEGMENT_UPGRADE_MARK_HPP

#include <atomic>
#include <cstdint>

#include "segment/segment.hpp"

namespace zim_sim {

constexpr uint64_t kUpgradeMarkOffset = 4096;
constexpr uint64_t kUpgradeMagic = 0x387075646172677aull;

inline std::atomic<uint64_t>& upgrade_mark(const PoolHeader* hdr) {
  return *reinterpret_cast<std::atomic<uint64_t>*>(
      reinterpret_cast<char*>(const_cast<PoolHeader*>(hdr)) + kUpgradeMarkOffset);
}

// Whether objects are moving, or their moves are not all reported yet: no
// other process may attach meanwhile.
inline bool upgrade_under_way(const PoolHeader* hdr) {
  return upgrade_mark(hdr).load(std::memory_order_acquire) == kUpgradeMagic;
}

// Whether an upgrade under way keeps the owner from `doing` (say, "migrate")
// in the pool hdr named `pool`, asked under its lock: true after one line on
// stderr (upgrade_mark.cpp).
bool upgrade_forbids(PoolHeader* hdr, const char* doing, const char* pool);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_SEGMENT_UPGRADE_MARK_HPP
