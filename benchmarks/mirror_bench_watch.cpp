// SPDX-License-Identifier: Apache-2.0
// The local readers of the mirrors' pools: a follower of each pool's feed
// that measures how long a change took to reach it, and a check that the
// pool holds given write numbers.
#include <unistd.h>
#include <zim/sim/pool_upgrade.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/olist.h>

#include <algorithm>
#include <cstdlib>

#include "mirror_bench.hpp"

namespace zim_mirror_bench {

namespace {

// The write number of the object at `obj` and the time its writer stored,
// from a snapshot; false when it is no olist.
bool read_stamp(void* obj, uint64_t* number, uint64_t* stamp) {
  if (obj == nullptr) return false;
  qor_olist_obj* copy = zim_olist_snapshot(static_cast<qor_olist_obj*>(obj));
  if (copy == nullptr) return false;
  *stamp = zim_olist_get_field_0(copy, 0);
  *number = zim_olist_get_field_0(copy, 1);
  zim_olist_clnt_copy_dtor(copy);
  return true;
}

void attach_when_open(const std::string& pool, const Shared& shared) {
  while (zim_shm_pool_wait_attachable(pool.c_str(), 100'000) != 0) {
    if (shared.stop.load()) std::_Exit(0);
    usleep(10'000);  // not made yet
  }
  if (zim_shm_pool_attach_follower(pool.c_str()) != 0) fail("cannot follow " + pool);
}

}  // namespace

void watch_mirror(const std::string& pool, Shared& shared, Watch& watch) {
  attach_when_open(pool, shared);
  zim_shm_pool_cursor_t cursor{};
  if (zim_shm_pool_follow(&cursor) != 0) fail("follow");
  watch.following.store(1);
  zim_shm_pool_change_t batch[256];
  while (shared.stop.load() == 0) {
    uint64_t lapped = 0;
    const int n = zim_shm_pool_changes(&cursor, batch, 256, &lapped);
    if (n < 0) fail("changes");
    uint64_t seen = watch.seen.load(std::memory_order_relaxed);
    for (int i = 0; i < n; ++i) {
      const zim_shm_pool_change_t& c = batch[i];
      uint64_t number = 0, stamp = 0;
      if ((c.kind != ZIM_SHM_POOL_CHANGE_CHANGED && c.kind != ZIM_SHM_POOL_CHANGE_CREATED) ||
          c.table_id != ZIM_TABLE_ID_OLIST ||
          !read_stamp(zim_shm_pool_at(c.offset), &number, &stamp))
        continue;
      const uint64_t at = now_ns();
      seen = std::max(seen, number);
      if (shared.recording.load(std::memory_order_relaxed) == 0) continue;
      const uint64_t k = watch.samples.load(std::memory_order_relaxed);
      if (k < kMaxSamples) {
        watch.latency_ns[k] = at - stamp;
        watch.samples.store(k + 1, std::memory_order_release);
      }
    }
    watch.seen.store(seen, std::memory_order_release);
    if (n == 0) zim_shm_pool_wait(&cursor, 100'000);
  }
  zim_shm_pool_detach();
  std::_Exit(0);
}

bool wait_converged(const std::string& pool,
                    const std::vector<std::pair<uint64_t, uint64_t>>& expected,
                    uint64_t deadline_ns) {
  // The mirror adopts its pool at start: attach once it is open, and stay,
  // so that the check neither maps the pool nor takes its lock again and
  // again while the mirror loads.
  bool attached = false;
  while (!attached && now_ns() < deadline_ns) {
    attached = zim_shm_pool_wait_attachable(pool.c_str(), 100'000) == 0 &&
               zim_shm_pool_attach_follower(pool.c_str()) == 0;
    if (!attached) usleep(10'000);
  }
  const auto held = [](const std::pair<uint64_t, uint64_t>& e) {
    uint64_t number = 0, stamp = 0;
    return read_stamp(zim_shm_pool_index_get(ZIM_TABLE_ID_OLIST, e.first), &number, &stamp) &&
           number >= e.second;
  };
  // Checked in order from the first not yet held: a look costs the entries
  // it finds held and one more, so the checker does not compete with the
  // mirror for a core by looking up every pending object every few
  // milliseconds (a version, once held, is never taken back).
  size_t held_so_far = 0;
  while (attached && now_ns() < deadline_ns) {
    while (held_so_far < expected.size() && held(expected[held_so_far])) ++held_so_far;
    if (held_so_far == expected.size()) break;
    usleep(5000);
  }
  if (attached) zim_shm_pool_detach();
  return attached && held_so_far == expected.size();
}

}  // namespace zim_mirror_bench
