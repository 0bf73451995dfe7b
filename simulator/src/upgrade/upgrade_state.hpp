// SPDX-License-Identifier: Apache-2.0
// Where an in-place upgrade of a pool of layout version 8 stands, as the
// pool's bytes say: what attachers, the upgrade itself and its resumption
// read. Internal to libzim_memory; the steps are in upgrade.hpp.
//
// The upgrade marks itself in the VersionState (header offset 4096, zero in
// a pool of version 8; segment/upgrade_mark.hpp): its magic is kUpgradeMagic from the moment the
// feed and the index are carved until every move was reported, when it becomes kVersionsMagic. The
// layout version turns to 9 once every object is lined, before the reports.
#ifndef ZIM_SIM_SRC_UPGRADE_UPGRADE_STATE_HPP
#define ZIM_SIM_SRC_UPGRADE_UPGRADE_STATE_HPP

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "segment/segment.hpp"
#include "segment/upgrade_mark.hpp"
#include "versions/versions.hpp"

namespace zim_sim {

static_assert(kUpgradeMarkOffset == kVersionStateOffset + offsetof(VersionState, magic),
              "the mark is the VersionState's magic");

enum class UpgradeStage {
  kNone,       // version 8, not begun (feed and index may be carved already)
  kMoving,     // version 8, feed and index carved: objects move into lined blocks
  kReporting,  // version 9: every object lined, the moves being reported
  kVersioned,  // version 9, complete
  kDamaged,    // a state no upgrade or creation leaves
};

// A word of the VersionState that the upgrade stores with put() (I4).
inline std::atomic<uint64_t>& as_word(uint64_t& field) {
  static_assert(sizeof(std::atomic<uint64_t>) == sizeof(uint64_t), "a word is a word");
  return *reinterpret_cast<std::atomic<uint64_t>*>(&field);
}

inline UpgradeStage upgrade_stage(const PoolHeader* hdr) {
  PoolHeader* pool = const_cast<PoolHeader*>(hdr);  // read only
  const uint64_t magic = as_word(version_state(pool).magic).load(std::memory_order_acquire);
  const uint32_t version = __atomic_load_n(&hdr->version, __ATOMIC_ACQUIRE);
  if (version == kPoolVersion) {
    return magic == 0               ? UpgradeStage::kNone
           : magic == kUpgradeMagic ? UpgradeStage::kMoving
                                    : UpgradeStage::kDamaged;
  }
  if (version != kVersionedPoolVersion) return UpgradeStage::kDamaged;
  return magic == kVersionsMagic  ? UpgradeStage::kVersioned
         : magic == kUpgradeMagic ? UpgradeStage::kReporting
                                  : UpgradeStage::kDamaged;
}

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_UPGRADE_UPGRADE_STATE_HPP
