// SPDX-License-Identifier: Apache-2.0
// A follower of a versioned pool in a process of its own, which knows no
// table type (so it attaches whatever layouts the pool holds):
//   pool_follower NAME ENTRIES
// attaches, takes the probe's keys (follower_view.hpp) from the index, prints
// "ready", then keeps its view from the feed alone: a hand-over makes it
// detach, print "detached", wait until the pool is attachable and attach
// again, reading on from its cursor through the migration's moves. At the
// migration's end it prints "view" and its view; exit 0. A lap or a lost
// change (it would have to copy again) exits 2; a refused call 3.
#include <zim/sim/shm_pool.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>

#include "follower_view.hpp"

namespace {

using zim_sim_test::Held;

struct Follower {
  const char* name;
  std::map<std::pair<uint32_t, uint64_t>, uint64_t> keys;  // -> pool id
  std::map<uint64_t, Held> objects;                        // by pool id
  bool finished = false;

  void take_keys(uint64_t entries) {
    for (uint32_t table_id = 0; table_id < 2; ++table_id) {
      for (uint64_t key = 0; key < zim_sim_test::probe_keys(table_id, entries); ++key) {
        const void* obj = zim_shm_pool_index_get(table_id, key);
        if (obj == nullptr) continue;
        keys[{table_id, key}] = zim_shm_pool_id_of(obj);
        objects[zim_shm_pool_id_of(obj)] = {zim_shm_pool_offset_of(obj),
                                            zim_shm_pool_version_of(obj)};
      }
    }
  }

  // 0, or the exit status.
  int apply(const zim_shm_pool_change_t& c) {
    switch (c.kind) {
      case ZIM_SHM_POOL_CHANGE_CREATED:
      case ZIM_SHM_POOL_CHANGE_CHANGED:
        objects[c.pool_id] = {c.offset, 2 * c.sequence};
        return 0;
      case ZIM_SHM_POOL_CHANGE_MOVED:
        objects[c.pool_id] = {c.key, 2 * c.sequence};
        return 0;
      case ZIM_SHM_POOL_CHANGE_INDEXED:
        keys[{c.table_id, c.key}] = c.pool_id;
        objects.emplace(c.pool_id, Held{c.offset, 0}).first->second.offset = c.offset;
        return 0;
      case ZIM_SHM_POOL_CHANGE_UNINDEXED:
        keys.erase({c.table_id, c.key});
        return 0;
      case ZIM_SHM_POOL_CHANGE_HANDED_OVER:
        return come_back();
      case ZIM_SHM_POOL_CHANGE_MIGRATION_FINISHED:
        finished = true;
        return 0;
      case ZIM_SHM_POOL_CHANGE_LOST:
        return 2;
      default:
        return 0;
    }
  }

  int come_back() {
    zim_shm_pool_detach();
    std::printf("detached\n");
    std::fflush(stdout);
    if (zim_shm_pool_wait_attachable(name, 30'000'000) != 0) return 3;
    return zim_shm_pool_attach(name) == 0 ? 0 : 3;
  }

  void print() const {
    std::string view = "view\n";
    for (const auto& [key, pool_id] : keys) {
      const auto it = objects.find(pool_id);
      view += zim_sim_test::key_line(key.first, key.second, pool_id,
                                     it != objects.end() ? it->second : Held{});
    }
    std::fputs(view.c_str(), stdout);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || zim_shm_pool_attach(argv[1]) != 0) return 3;
  Follower f{argv[1], {}, {}, false};
  zim_shm_pool_cursor_t cursor;
  if (zim_shm_pool_follow(&cursor) != 0) return 3;
  f.take_keys(std::strtoull(argv[2], nullptr, 10));
  std::printf("ready\n");
  std::fflush(stdout);
  while (!f.finished) {
    zim_shm_pool_change_t batch[64];
    uint64_t lapped = 0;
    if (zim_shm_pool_wait(&cursor, 30'000'000) != 1) return 3;
    const int n = zim_shm_pool_changes(&cursor, batch, 64, &lapped);
    if (n < 0) return 3;
    if (lapped != 0) return 2;
    for (int i = 0; i < n; ++i) {
      if (const int status = f.apply(batch[i])) return status;
    }
  }
  f.print();
  return 0;
}
