// SPDX-License-Identifier: Apache-2.0
// A lookup of a key that is present, inline for the pool's lookup: the probe
// of index_get (index_read.cpp) that finds the key in a slot read whole
// (control word, copy, control word again, as a seqlock). Reaching an empty
// slot, or a slot that a writer changed meanwhile, it gives up: the caller
// asks index_get, which tells an absent key from a moved one and retries.
// Bounded: at most slot_count slots, each taken modulo the slot count
// checked at open.
#ifndef ZIM_SIM_SRC_INDEX_INDEX_PROBE_INLINE_HPP
#define ZIM_SIM_SRC_INDEX_INDEX_PROBE_INLINE_HPP

#include "index/index.hpp"

namespace zim_sim {

// The copy of a slot that its control word names, addressed without a
// multiplication: copy c lies 24 * c bytes in.
__attribute__((always_inline)) inline const IndexEntry& named_copy(const IndexSlot& slot,
                                                                   uint64_t control) {
  static_assert(sizeof(IndexEntry) == 24 && kControlOccupied == 1, "copy c at 12 * (control & 2)");
  const auto* first = reinterpret_cast<const char*>(slot.copies);
  return *reinterpret_cast<const IndexEntry*>(first + (control & 2) * (sizeof(IndexEntry) / 2));
}

// What one slot tells the probe: go on, found (the value stored), or stop.
enum class SlotSays { kOn, kFound, kStop };

__attribute__((always_inline)) inline SlotSays probe_slot(const IndexSlot& slot, uint32_t table_id,
                                                          uint64_t key, IndexValue* value) {
  const uint64_t control = slot.control.load(std::memory_order_acquire);
  if (!control_occupied(control)) return SlotSays::kStop;
  const IndexEntry& entry = named_copy(slot, control);
  if (control_table_id(control) != table_id || entry.key.load(std::memory_order_relaxed) != key) {
    return SlotSays::kOn;
  }
  const IndexValue found{entry.offset.load(std::memory_order_relaxed),
                         entry.pool_id.load(std::memory_order_relaxed)};
  std::atomic_thread_fence(std::memory_order_acquire);
  if (slot.control.load(std::memory_order_relaxed) != control) return SlotSays::kStop;
  *value = found;
  return SlotSays::kFound;
}

// The probe runs from the key's home to the last slot, then from the first
// slot back to the home: n slots at most, with no wrap test per slot.
__attribute__((always_inline)) inline bool index_find_present(const Index& index, uint32_t table_id,
                                                              uint64_t key, IndexValue* value) {
  const uint64_t n = index.slot_count;
  const IndexSlot* const slots = index.slots;
  const uint64_t home = index_home(table_id, key, n);
  for (uint64_t at = home; at < n; ++at) {
    const SlotSays says = probe_slot(slots[at], table_id, key, value);
    if (says != SlotSays::kOn) return says == SlotSays::kFound;
  }
  for (uint64_t at = 0; at < home; ++at) {
    const SlotSays says = probe_slot(slots[at], table_id, key, value);
    if (says != SlotSays::kOn) return says == SlotSays::kFound;
  }
  return false;
}

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_INDEX_INDEX_PROBE_INLINE_HPP
