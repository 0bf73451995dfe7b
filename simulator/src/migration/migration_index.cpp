// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the index of a versioned pool through a migration and a
// retirement. The pool carries the keys itself: a key that led to an object
// a migration converted leads to its converted object, and a retirement
// removes the keys of the objects it retired. Both run under the pool's lock;
// each key's put or removal is one index operation, which the next index
// writer finishes after a death.

#include <unordered_map>
#include <vector>

#include "migration/migration.hpp"

namespace zim_sim {

namespace {

// The index's entries that `keep` chooses, read whole slot by slot: under the
// pool's lock nobody moves them meanwhile.
template <typename Keep>
std::vector<IndexItem> entries(const Index& index, Keep keep) {
  std::vector<IndexItem> chosen;
  for (uint64_t slot = 0; slot < index.slot_count; ++slot) {
    IndexItem item;
    if (index_read_slot(index, slot, &item) == IndexFound::kFound && keep(&item)) {
      chosen.push_back(item);
    }
  }
  return chosen;
}

}  // namespace

void carry_keys(PoolHeader* hdr, const PoolNews& news, const Record& r, uint64_t moves) {
  if (!news.on() || moves == 0) return;
  const Index& index = news.rooms().index;
  index_recover(index);
  std::unordered_map<uint64_t, uint64_t> new_offset;  // of each old offset
  new_offset.reserve(moves);
  for (uint64_t i = 0; i < moves; ++i) {
    const Move move = move_of(hdr, r, i);
    new_offset.emplace(move.old_offset, move.new_offset);
  }
  // Chosen first, put afterwards: a put on a present key moves no entry, but
  // a walk needs no such argument.
  const std::vector<IndexItem> moved = entries(index, [&](IndexItem* item) {
    const auto it = new_offset.find(item->value.offset);
    if (it == new_offset.end() || pool_id_at(hdr, it->second) != item->value.pool_id) return false;
    item->value.offset = it->second;
    return true;
  });
  for (const IndexItem& item : moved) {
    IndexValue replaced;
    index_put(index, item.table_id, item.key, item.value, &replaced);
  }
}

void unindex_retired(PoolHeader* hdr, uint32_t table_id, PoolNews* news) {
  if (!news->on()) return;
  const Index& index = news->rooms().index;
  index_recover(index);
  const std::vector<IndexItem> gone = entries(index, [&](IndexItem* item) {
    bool retired = false;
    return block_of(hdr, item->value.offset, table_id, &retired) != nullptr && retired;
  });
  for (const IndexItem& item : gone) {
    const uint64_t sequence = news->draw();
    IndexValue removed;
    const bool made = index_remove(index, item.table_id, item.key, &removed);
    news->publish(sequence,
                  news_entry(FeedKind::unindexed, item.table_id, item.value.offset, item.key,
                             item.value.pool_id),
                  made);
  }
}

}  // namespace zim_sim
