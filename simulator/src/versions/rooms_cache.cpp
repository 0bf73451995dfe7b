// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the mapped versioned pool's feed and index, opened and
// checked once per mapping and per process rather than at every change and
// lookup. A view keeps the capacities it checked and never reads them again,
// so a view kept for the mapping's life stays inside it whatever the pool's
// bytes become; a forked child, and a mapping at the same address after a
// remap, check the rooms again.

#include <pthread.h>

#include <mutex>

#include "names/mapping.hpp"
#include "names/names.hpp"
#include "versions/versions.hpp"

namespace zim_sim {

namespace {

// Written under g_control, only when no caller may still use what it held:
// for a new mapping, or rooms that the pool records at other offsets.
struct RoomsCache {
  std::atomic<uint64_t> epoch{0};  // the mapping the rooms were opened for; 0: none
  std::atomic<uint64_t> feed_at{0}, index_at{0};
  PoolRooms rooms;
};
RoomsCache g_cache;

void forget_in_child() { g_cache.epoch.store(0, std::memory_order_relaxed); }
[[maybe_unused]] const int g_forget_registered = pthread_atfork(nullptr, nullptr, forget_in_child);

bool cache_holds(const VersionState& state, uint64_t epoch) {
  return g_cache.epoch.load(std::memory_order_acquire) == epoch &&
         g_cache.feed_at.load(std::memory_order_relaxed) == state.feed &&
         g_cache.index_at.load(std::memory_order_relaxed) == state.index;
}

// checked_rooms' first call for a mapping, out of the path of the others.
__attribute__((noinline)) const PoolRooms* open_into_cache(PoolHeader* hdr, uint64_t epoch) {
  const VersionState& state = version_state(hdr);
  std::lock_guard<std::mutex> guard(g_control);
  if (cache_holds(state, epoch)) return &g_cache.rooms;
  const uint64_t feed_at = state.feed, index_at = state.index;
  PoolRooms rooms;
  if (!open_rooms(hdr, &rooms)) return nullptr;
  // open_rooms checked the rooms at these offsets, unless another process
  // moved them meanwhile: then the next call opens them again.
  g_cache.epoch.store(0, std::memory_order_relaxed);
  g_cache.rooms = rooms;
  g_cache.feed_at.store(feed_at, std::memory_order_relaxed);
  g_cache.index_at.store(index_at, std::memory_order_relaxed);
  g_cache.epoch.store(epoch, std::memory_order_release);
  return &g_cache.rooms;
}

}  // namespace

const PoolRooms* checked_rooms(PoolHeader* hdr) {
  const uint64_t epoch = g_mapping_epoch.load(std::memory_order_acquire);
  if (cache_holds(version_state(hdr), epoch)) return &g_cache.rooms;
  return open_into_cache(hdr, epoch);
}

}  // namespace zim_sim
