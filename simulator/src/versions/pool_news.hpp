// SPDX-License-Identifier: Apache-2.0
// News of the pool as a whole in a versioned pool's feed: what a migration
// does (begun, each move, a type's layout changed, finished), hand-overs,
// adoptions and root changes, and the version line of an object a migration
// converts. Internal to libzim_memory; inert in pools that are not versioned.
//
// Its rules: a change made under the pool's lock draws its sequence before
// the change and publishes it after (lost when the change was not made), so
// that a death in between reads as lost at once (the drawer's writer slot is
// freed). A converted object's line keeps its old object's pool id and takes
// the conversion's sequence as its version.
//
// What it writes: through the feed's room, its sequence and entries; a
// converted object's line (fill_converted_line), inside the conversion's
// transaction. Uses versions/ (the writer slot, the rooms) and feed/.
#ifndef ZIM_SIM_SRC_VERSIONS_POOL_NEWS_HPP
#define ZIM_SIM_SRC_VERSIONS_POOL_NEWS_HPP

#include <cstdint>

#include "versions/versions.hpp"

namespace zim_sim {

class PoolNews {
 public:
  // Claims this process's writer slot: call it before the pool's lock.
  explicit PoolNews(PoolHeader* hdr);
  bool on() const { return on_; }
  // This process's writer stamp, 0 when off.
  uint64_t writer() const { return stamp_; }
  const PoolRooms& rooms() const { return rooms_; }
  // The sequence of a change about to be made; 0 when off or none is left.
  uint64_t draw();
  // Publishes the drawn sequence s as entry, or as lost when not made.
  void publish(uint64_t s, const FeedEntry& entry, bool made = true);
  // Draws and publishes at once, for a change that needs no order with it.
  void tell(const FeedEntry& entry);

 private:
  bool on_ = false;
  uint64_t stamp_ = 0;
  PoolRooms rooms_;
};

FeedEntry news_entry(FeedKind kind, uint32_t table_id, uint64_t offset, uint64_t new_offset,
                     uint64_t pool_id);

// The pool id of the live object at `offset` of a versioned pool, 0 for none.
uint64_t pool_id_at(PoolHeader* hdr, uint64_t offset);

// Writes the line at `at` (its data; the caller puts its header) of an object
// converted from `old`: old's pool id, version 2 * sequence and writer
// `stamp`; a write of old under way (odd) stays under way by its writer, so a
// torn object stays torn; sequence 0 (none left) keeps old's version.
void fill_converted_line(PoolHeader* hdr, uint64_t at, const VersionLine& old, uint64_t sequence,
                         uint64_t stamp);

// zim_shm_pool_set_root's news: the root's offset and its object's pool id.
void set_root_announced(PoolHeader* hdr, uint64_t offset);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_VERSIONS_POOL_NEWS_HPP
