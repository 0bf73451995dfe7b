// SPDX-License-Identifier: Apache-2.0
// What the index's writers and its check share: the slots as the holder of
// the pool's lock sees them, who alone changes them.
#ifndef ZIM_SIM_SRC_INDEX_INDEX_SLOTS_HPP
#define ZIM_SIM_SRC_INDEX_INDEX_SLOTS_HPP

#include "index/index.hpp"

namespace zim_sim {

constexpr auto kIndexRelaxed = std::memory_order_relaxed;

inline uint64_t next_slot(uint64_t slot, uint64_t slot_count) {
  return slot + 1 == slot_count ? 0 : slot + 1;
}

// The copy of `slot` that its control word names.
inline const IndexEntry& active_entry(const IndexSlot& slot, uint64_t control) {
  return slot.copies[control_copy(control)];
}

inline IndexItem item_at(const Index& index, uint64_t slot) {
  const uint64_t control = index.slots[slot].control.load(kIndexRelaxed);
  const IndexEntry& entry = active_entry(index.slots[slot], control);
  return {control_table_id(control),
          entry.key.load(kIndexRelaxed),
          {entry.offset.load(kIndexRelaxed), entry.pool_id.load(kIndexRelaxed)}};
}

// Where a probe for (table_id, key) ends: the slot that holds it (found), or
// else the empty slot that ended the probe (slot_count if it met none).
struct IndexProbe {
  uint64_t slot;
  bool found;
};
IndexProbe index_probe(const Index& index, uint32_t table_id, uint64_t key);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_INDEX_INDEX_SLOTS_HPP
