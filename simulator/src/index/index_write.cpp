// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the index's writers, under the pool's lock, and the
// recovery of an operation whose writer died.
//
// Every store goes through put() (release, then a kill point). A slot
// changes by one store of its control word after the copy it names was
// filled, so a writer killed at any store leaves each slot whole. What a
// death leaves of an operation:
//  - a put on a present key: the old or the new value, nothing to repair;
//  - an insert (pending = kIndexInserting): the key absent or present, `live`
//    perhaps one short; recovery recounts it;
//  - a removal (pending = kIndexRemoving): some entries moved back, one of
//    them perhaps present twice (in the hole it was copied to and in the slot
//    `hole` names as its source); recovery redoes that copy and carries the
//    removal on from the hole, as the dead writer would have;
//  - a rewrite (pending = kIndexRewriting): some keys of the pool id with
//    the new offset; recovery rewrites the rest.

#include "index/index_slots.hpp"
#include "segment/segment.hpp"

namespace zim_sim {

namespace {

uint64_t hole_word(uint64_t hole, uint64_t source) { return hole | source << 32; }

// Fills the copy of `slot` that readers do not read, then names it.
void publish(IndexSlot& slot, const IndexItem& item) {
  const uint64_t control = next_control(slot.control.load(kIndexRelaxed), item.table_id, true);
  IndexEntry& entry = slot.copies[control_copy(control)];
  put(entry.key, item.key);
  put(entry.offset, item.value.offset);
  put(entry.pool_id, item.value.pool_id);
  put(slot.control, control);
}

// Copies the entry of `source` into `hole`, counts the move, then names
// `source` as the next hole.
void move_back(const Index& index, uint64_t hole, uint64_t source) {
  IndexHeader& header = *index.header;
  put(header.hole, hole_word(hole, source));
  publish(index.slots[hole], item_at(index, source));
  put(header.moves, header.moves.load(kIndexRelaxed) + 1);
  put(header.hole, hole_word(source, kIndexNoSlot));
}

// Cyclic distance from slot `from` forward to slot `to`.
uint64_t distance(uint64_t from, uint64_t to, uint64_t n) {
  return to >= from ? to - from : to + n - from;
}

// Moves back into `hole` each later entry of its cluster whose probe passes
// the hole, the next hole being the slot it left, then empties the last hole.
void close_hole(const Index& index, uint64_t hole) {
  const uint64_t n = index.slot_count;
  uint64_t at = hole;
  for (uint64_t steps = 1; steps < n; ++steps) {
    at = next_slot(at, n);
    if (!control_occupied(index.slots[at].control.load(kIndexRelaxed))) break;
    const IndexItem item = item_at(index, at);
    const uint64_t home = index_home(item.table_id, item.key, n);
    if (distance(home, at, n) < distance(hole, at, n)) continue;  // its probe starts after the hole
    move_back(index, hole, at);
    hole = at;
  }
  IndexSlot& last = index.slots[hole];
  put(last.control, next_control(last.control.load(kIndexRelaxed), 0, false));
}

uint64_t count_live(const Index& index) {
  uint64_t live = 0;
  for (uint64_t at = 0; at < index.slot_count; ++at) {
    live += control_occupied(index.slots[at].control.load(kIndexRelaxed));
  }
  return live;
}

void finish_removal(const Index& index) {
  const uint64_t word = index.header->hole.load(kIndexRelaxed);
  uint64_t hole = word & kIndexNoSlot;
  const uint64_t source = word >> 32;
  if (hole >= index.slot_count) return;  // damaged: the slots stay as they are
  if (source != kIndexNoSlot) {
    if (source >= index.slot_count) return;
    move_back(index, hole, source);
    hole = source;
  }
  close_hole(index, hole);
}

uint64_t rewrite_all(const Index& index, uint64_t pool_id, uint64_t offset) {
  uint64_t rewritten = 0;
  for (uint64_t at = 0; at < index.slot_count; ++at) {
    if (!control_occupied(index.slots[at].control.load(kIndexRelaxed))) continue;
    IndexItem item = item_at(index, at);
    if (item.value.pool_id != pool_id) continue;
    if (item.value.offset != offset) {
      item.value.offset = offset;
      publish(index.slots[at], item);
    }
    ++rewritten;
  }
  return rewritten;
}

}  // namespace

IndexProbe index_probe(const Index& index, uint32_t table_id, uint64_t key) {
  const uint64_t n = index.slot_count;
  uint64_t at = index_home(table_id, key, n);
  for (uint64_t probed = 0; probed < n; ++probed, at = next_slot(at, n)) {
    const uint64_t control = index.slots[at].control.load(kIndexRelaxed);
    if (!control_occupied(control)) return {at, false};
    if (control_table_id(control) == table_id &&
        active_entry(index.slots[at], control).key.load(kIndexRelaxed) == key) {
      return {at, true};
    }
  }
  return {n, false};
}

void index_recover(const Index& index) {
  IndexHeader& header = *index.header;
  const uint64_t pending = header.pending.load(kIndexRelaxed);
  if (pending == 0) return;
  if (pending == kIndexRemoving) finish_removal(index);
  if (pending == kIndexRewriting) {
    rewrite_all(index, header.rewrite_pool_id.load(kIndexRelaxed),
                header.rewrite_offset.load(kIndexRelaxed));
  }
  put(header.live, count_live(index));
  put(header.pending, 0);
}

IndexPut index_put(const Index& index, uint32_t table_id, uint64_t key, IndexValue value,
                   IndexValue* replaced) {
  index_recover(index);
  IndexHeader& header = *index.header;
  const IndexProbe probe = index_probe(index, table_id, key);
  if (probe.found) {
    *replaced = item_at(index, probe.slot).value;
    publish(index.slots[probe.slot], {table_id, key, value});
    return IndexPut::kReplaced;
  }
  const uint64_t live = header.live.load(kIndexRelaxed);
  if (live >= index.capacity || probe.slot >= index.slot_count) return IndexPut::kFull;
  put(header.pending, kIndexInserting);
  publish(index.slots[probe.slot], {table_id, key, value});
  put(header.live, live + 1);
  put(header.pending, 0);
  return IndexPut::kAdded;
}

bool index_remove(const Index& index, uint32_t table_id, uint64_t key, IndexValue* removed) {
  index_recover(index);
  IndexHeader& header = *index.header;
  const IndexProbe probe = index_probe(index, table_id, key);
  if (!probe.found) return false;
  *removed = item_at(index, probe.slot).value;
  put(header.hole, hole_word(probe.slot, kIndexNoSlot));
  put(header.pending, kIndexRemoving);
  close_hole(index, probe.slot);
  const uint64_t live = header.live.load(kIndexRelaxed);
  put(header.live, live == 0 ? 0 : live - 1);
  put(header.pending, 0);
  return true;
}

uint64_t index_rewrite_offset(const Index& index, uint64_t pool_id, uint64_t offset) {
  index_recover(index);
  IndexHeader& header = *index.header;
  put(header.rewrite_pool_id, pool_id);
  put(header.rewrite_offset, offset);
  put(header.pending, kIndexRewriting);
  const uint64_t rewritten = rewrite_all(index, pool_id, offset);
  put(header.pending, 0);
  return rewritten;
}

}  // namespace zim_sim
