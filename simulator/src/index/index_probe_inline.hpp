// SPDX-License-Identifier: Apache-2.0
// A lookup of a key that is present, inline for the pool's lookup: the probe
// of index_get (index_read.cpp) that finds the key in a slot read whole
// (control word, copy, control word again, as a seqlock). Reaching an empty
// slot, a slot that a writer changed meanwhile, or the last slot (a probe
// that would wrap to the first, which few keys need), it gives up: the caller
// asks index_get, which tells an absent key from a moved one, wraps and
// retries. Bounded: from the key's home, below the slot count checked at open.
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

// Whether the slot holds (table_id, key): the copy its control word names
// holds key (the test that fails most often, so first: a stale copy of an
// empty slot is read but not trusted), and the word names an entry of
// table_id.
__attribute__((always_inline)) inline bool holds_key(const IndexSlot& slot, uint64_t control,
                                                     uint32_t table_id, uint64_t key) {
  return named_copy(slot, control).key.load(std::memory_order_relaxed) == key &&
         control_table_id(control) == table_id && control_occupied(control);
}

// The value of the copy `control` names, if the word did not change while
// it was read.
__attribute__((always_inline)) inline bool read_value(const IndexSlot& slot, uint64_t control,
                                                      IndexValue* value) {
  const IndexEntry& entry = named_copy(slot, control);
  const IndexValue found{entry.offset.load(std::memory_order_relaxed),
                         entry.pool_id.load(std::memory_order_relaxed)};
  std::atomic_thread_fence(std::memory_order_acquire);
  if (slot.control.load(std::memory_order_relaxed) != control) return false;
  *value = found;
  return true;
}

__attribute__((always_inline)) inline bool index_find_present(const Index& index, uint32_t table_id,
                                                              uint64_t key, IndexValue* value) {
  const IndexSlot* slot = index.slots + index_home(table_id, key, index.slot_count);
  // The home is below the slot count: its slot needs no bound test.
  uint64_t control = slot->control.load(std::memory_order_acquire);
  if (__builtin_expect(holds_key(*slot, control, table_id, key), 1)) {
    return read_value(*slot, control, value);
  }
  const IndexSlot* const end = index.slots + index.slot_count;
  while (control_occupied(control) && ++slot != end) {
    control = slot->control.load(std::memory_order_acquire);
    if (holds_key(*slot, control, table_id, key)) return read_value(*slot, control, value);
  }
  return false;
}

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_INDEX_INDEX_PROBE_INLINE_HPP
