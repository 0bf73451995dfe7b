// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the index read without a lock, by processes that may only
// map the pool. A reader writes nothing; it reads a slot's control word
// (acquire: the copy it names was filled before it), the copy, then the word
// again after an acquire fence: a writer stores the copy's words with release
// after the store that retired the copy, so a reader that read any of them
// sees the control word changed. Every slot number is taken modulo the slot
// count checked at open, so hostile bytes cannot lead a reader out of the
// region, and every loop is bounded.

#include "index/index.hpp"

namespace zim_sim {

namespace {

constexpr auto kAcquire = std::memory_order_acquire;
constexpr auto kRelaxed = std::memory_order_relaxed;

// Tries before a reader reports kBusy: each failed one saw a writer change
// what it read, which takes a writer a lock acquisition.
constexpr unsigned kTries = 256;

}  // namespace

// A key that stays present is found: the slots on its path stay occupied
// while it stays, and what changes them meanwhile is a put that rewrites one
// slot in place (the key it held stays), an insert into the empty slot that
// ended a probe, or a removal, which empties the last slot of a cluster (on
// no remaining entry's path) after moving entries back; only a move can carry
// an entry behind a reader, and a move counts in `moves` before the slot it
// left changes.
IndexFound index_get(const Index& index, uint32_t table_id, uint64_t key, IndexValue* value) {
  const uint64_t n = index.slot_count;
  const uint64_t home = index_home(table_id, key, n);
  for (unsigned attempt = 0; attempt < kTries; ++attempt) {
    const uint64_t moves = index.header->moves.load(kAcquire);
    uint64_t at = home;
    bool changed = false;
    for (uint64_t probed = 0; probed < n && !changed; ++probed) {
      const IndexSlot& slot = index.slots[at];
      const uint64_t control = slot.control.load(kAcquire);
      if (!control_occupied(control)) break;
      const IndexEntry& entry = slot.copies[control_copy(control)];
      if (control_table_id(control) == table_id && entry.key.load(kRelaxed) == key) {
        const IndexValue found{entry.offset.load(kRelaxed), entry.pool_id.load(kRelaxed)};
        std::atomic_thread_fence(kAcquire);
        if (slot.control.load(kRelaxed) == control) return *value = found, IndexFound::kFound;
        changed = true;
      }
      at = at + 1 == n ? 0 : at + 1;
    }
    if (changed) continue;
    std::atomic_thread_fence(kAcquire);
    if (index.header->moves.load(kRelaxed) == moves) return IndexFound::kAbsent;
  }
  return IndexFound::kBusy;
}

IndexFound index_read_slot(const Index& index, uint64_t slot_number, IndexItem* item) {
  if (slot_number >= index.slot_count) return IndexFound::kAbsent;
  const IndexSlot& slot = index.slots[slot_number];
  for (unsigned attempt = 0; attempt < kTries; ++attempt) {
    const uint64_t control = slot.control.load(kAcquire);
    if (!control_occupied(control)) return IndexFound::kAbsent;
    const IndexEntry& entry = slot.copies[control_copy(control)];
    const IndexItem read{control_table_id(control),
                         entry.key.load(kRelaxed),
                         {entry.offset.load(kRelaxed), entry.pool_id.load(kRelaxed)}};
    std::atomic_thread_fence(kAcquire);
    if (slot.control.load(kRelaxed) == control) return *item = read, IndexFound::kFound;
  }
  return IndexFound::kBusy;
}

}  // namespace zim_sim
