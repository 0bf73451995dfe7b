// SPDX-License-Identifier: Apache-2.0
// What a migration of a versioned pool must leave, whatever death it
// followed: each converted object with its old object's pool id and a version
// that a complete moved entry of the feed gives it at its new offset, the
// index leading each key to its converted object and sound, and the pool
// attachable again. For the migration tests built with probe_defs/b's types
// and the pool's internals.
#ifndef ZIM_SIM_TESTS_VERSIONED_MIGRATION_CHECKS_HPP
#define ZIM_SIM_TESTS_VERSIONED_MIGRATION_CHECKS_HPP

#include <zim/sim/shm_pool.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "migration_test_util.hpp"
#include "versions/versions.hpp"

namespace zim_sim_test {

// Every entry of the mapped pool's feed still in the ring, from its first.
inline std::vector<zim_shm_pool_change_t> whole_feed() {
  std::vector<zim_shm_pool_change_t> all;
  zim_shm_pool_cursor_t cursor{1, 1000, 0, 0};  // a death's pending sequences lost soon
  for (;;) {
    zim_shm_pool_change_t batch[64];
    uint64_t lapped = 0;
    const int n = zim_shm_pool_changes(&cursor, batch, 64, &lapped);
    if (n < 0 || lapped != 0) return {};
    all.insert(all.end(), batch, batch + n);
    if (n == 0 && zim_shm_pool_wait(&cursor, 20'000) != 1) return all;
  }
}

// The first problem of the mapped pool after a migration whose directory d
// now names the objects that had pool ids `ids`; empty for none.
inline std::string versioned_problems(const Directory& d, const std::vector<uint64_t>& ids) {
  // The move of each sequence, or a loss: a death between a conversion and
  // its entry loses the entry, and followers then copy again.
  std::map<uint64_t, zim_shm_pool_change_t> by_sequence;
  for (const zim_shm_pool_change_t& c : whole_feed()) by_sequence[c.sequence] = c;
  if (by_sequence.empty()) return "an empty feed";
  for (size_t i = 0; i < d.count; ++i) {
    void* obj = zim_shm_pool_at(d.entries[i]);
    const std::string which = "object " + std::to_string(i) + ": ";
    if (zim_shm_pool_id_of(obj) != ids.at(i)) return which + "another pool id";
    const uint64_t version = zim_shm_pool_version_of(obj);
    const auto it = by_sequence.find(version / 2);
    if (version % 2 != 0 || it == by_sequence.end()) return which + "a version of no sequence";
    const zim_shm_pool_change_t& c = it->second;
    const bool moved = c.kind == ZIM_SHM_POOL_CHANGE_MOVED && c.pool_id == ids[i] &&
                       c.key == d.entries[i] && c.table_id == ZIM_TABLE_ID_PROBE_ENTRY;
    if (!moved && c.kind != ZIM_SHM_POOL_CHANGE_LOST) return which + "no move to it";
    if (zim_shm_pool_index_get(ZIM_TABLE_ID_PROBE_ENTRY, i) != obj) return which + "its key";
  }
  zim_sim::PoolHeader* hdr = nullptr;
  zim_sim::PoolRooms rooms;
  if (!zim_sim::mapped_rooms(&hdr, &rooms)) return "rooms";
  const std::string index = zim_sim::index_check(rooms.index);
  if (!index.empty()) return "index: " + index;
  if (hdr->attach_gate.load() != 0) return "still closed to attachers";
  return "";
}

}  // namespace zim_sim_test

#endif  // ZIM_SIM_TESTS_VERSIONED_MIGRATION_CHECKS_HPP
