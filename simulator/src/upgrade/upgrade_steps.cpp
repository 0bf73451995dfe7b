// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the writes of an upgrade. Carving the feed and the index and
// moving one object are transactions under the pool's lock with the undo
// record armed (I4 and I5 in segment/segment.hpp); marking the upgrade,
// turning the layout version and ending the upgrade are one word each.

#include <zim/tables/migration.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "alloc/alloc.hpp"
#include "records/records.hpp"
#include "upgrade/upgrade.hpp"

namespace zim_sim {

namespace {

// Moves under one holding of the pool's lock: short enough a wait for others.
constexpr size_t kMovesPerLock = 64;

// The sequence the upgrade takes for itself: every moved object gets version
// 2 x kUpgradeSequence, and the feed hands out later ones only.
constexpr uint64_t kUpgradeSequence = 1;

// Carves the feed and the index from the carve point, laid out empty: one
// transaction, whose undo clears the span. The VersionState names them first:
// nobody reads its words before the upgrade's magic.
void carve_rooms(PoolHeader* hdr, uint64_t feed_capacity, uint64_t index_capacity) {
  char* const base = reinterpret_cast<char*>(hdr);
  VersionState& s = version_state(hdr);
  const uint64_t ring = upgrade_ring_capacity(feed_capacity);
  const uint64_t feed_size = feed_bytes(ring), index_size = index_bytes(index_capacity);
  const uint64_t feed_header = hdr->carve.load(kRelaxed);
  const uint64_t index_header = feed_header + kLine + lines(feed_size);
  const uint64_t end = index_header + kLine + lines(index_size);
  put(as_word(s.identity), draw_pool_identity());
  put(as_word(s.feed_capacity), feed_capacity);
  put(as_word(s.index_capacity), index_capacity);
  put(as_word(s.feed), feed_header + kLine);
  put(as_word(s.index), index_header + kLine);
  Undo undo;
  undo.span_end = end;
  arm(hdr, 0, undo);
  feed_init(base + feed_header + kLine, feed_size, ring);
  reinterpret_cast<FeedHeader*>(base + feed_header + kLine)
      ->next_sequence.store(kUpgradeSequence + 1, kRelaxed);
  ZIM_POOL_KILL_POINT();
  Index index;
  index_init(base + index_header + kLine, index_size, index_capacity, &index);
  ZIM_POOL_KILL_POINT();
  put_header(hdr, feed_header, feed_size, ZIM_SHM_POOL_FEED);
  put_header(hdr, index_header, index_size, ZIM_SHM_POOL_INDEX);
  put(hdr->carve, end);
  put(hdr->undo.armed, 0);
}

// Moves one object into a lined block carved as a run of its own: one
// transaction. 0, or an errno after a line in u->lines.
int move_one(PoolHeader* hdr, Upgrade* u, const Unlined& o) {
  char* const base = reinterpret_cast<char*>(hdr);
  bool retired = false;
  BlockHeader* old = block_of(hdr, o.offset, o.table_id, &retired);
  if (old == nullptr || retired || old->size.load(kRelaxed) != o.size) {
    u->lines.push_back("the object at offset " + offset_text(o.offset) +
                       " changed while the pool was being upgraded");
    return EPROTO;
  }
  const uint64_t line_header = hdr->carve.load(kRelaxed), end = start_map_offset(hdr->size);
  const uint64_t need = kLinedExtra + kLine + lines(o.size);
  if (line_header > end || end - line_header < need) {
    u->lines.push_back("it has no room left for the object moved from offset " +
                       offset_text(o.offset) + ": objects made since the upgrade began took it");
    return ENOSPC;
  }
  const uint64_t object_header = line_header + kLinedExtra;
  Undo undo;
  undo.record_header = line_header;  // the line, cleared as a record
  undo.record_size = kLineBytes;
  undo.block_header = object_header;
  undo.block_bytes = lines(o.size);
  undo.retired_header = o.offset - kLine;
  arm(hdr, 0, undo);
  // Drawn under the pool's lock and never given back, even when undone.
  const uint64_t pool_id = version_state(hdr).next_pool_id.fetch_add(1, kRelaxed) + 1;
  const uint64_t words[4] = {2 * kUpgradeSequence, pool_id, 0, o.offset};
  fill(base + line_header + kLine, words, sizeof words);
  put_header(hdr, line_header, kLineBytes, ZIM_SHM_POOL_VERSION_LINE);
  put_header(hdr, object_header, o.size, o.table_id);
  void* to = base + object_header + kLine;
  const auto it = u->plans.find(o.table_id);
  if (it != u->plans.end() && it->second != nullptr) {
    if (zim_table_migration_convert(it->second.get(), base + o.offset, o.size, to, o.size) != 0) {
      undo_transaction(hdr);
      u->lines.push_back("the object at offset " + offset_text(o.offset) +
                         " changed while the pool was being upgraded");
      return EPROTO;
    }
    ZIM_POOL_KILL_POINT();
  } else {
    fill(to, base + o.offset, o.size);
  }
  put(hdr->carve, line_header + need);
  put(old->tag, retired_tag(o.table_id));
  put(hdr->undo.armed, 0);
  return 0;
}

}  // namespace

void begin_upgrade(PoolHeader* hdr, const Upgrade& u) {
  if (!u.rooms_carved) carve_rooms(hdr, u.feed_capacity, u.index_capacity);
  put(as_word(version_state(hdr).magic), kUpgradeMagic);
}

int move_objects(PoolHeader* hdr, Upgrade* u) {
  int err = 0;
  for (size_t i = 0; err == 0 && i < u->objects.size();) {
    PoolLock lock(hdr);
    const size_t end = std::min(u->objects.size(), i + kMovesPerLock);
    for (; err == 0 && i < end; ++i) err = move_one(hdr, u, u->objects[i]);
  }
  return err;
}

void turn_versioned(PoolHeader* hdr) {
  const uint64_t root = hdr->root.load(kRelaxed);
  for (const Lined& l : lined_objects(hdr)) {
    if (root != 0 && l.moved_from == root) {
      put(hdr->root, l.offset);
      break;
    }
  }
  // The last word of the upgrade's moving part: from here on the pool's
  // allocations carry lines.
  __atomic_store_n(&hdr->version, kVersionedPoolVersion, __ATOMIC_RELEASE);
  ZIM_POOL_KILL_POINT();
}

void report_moves(PoolHeader* hdr, void (*moved)(uint64_t, uint64_t, uint32_t, void*),
                  void* context) {
  std::vector<Lined> found;
  {
    PoolLock lock(hdr);
    found = lined_objects(hdr);
  }
  for (const Lined& l : found) {
    if (moved != nullptr && l.moved_from != 0) moved(l.moved_from, l.offset, l.table_id, context);
  }
  PoolLock lock(hdr);
  put(as_word(version_state(hdr).magic), kVersionsMagic);
}

}  // namespace zim_sim
