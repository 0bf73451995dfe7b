// SPDX-License-Identifier: Apache-2.0
// libzim_memory: every key of the mapped pool's index, for a tool that
// saves the pool while its writers run.

#include <cerrno>
#include <cstdint>
#include <vector>

#include "image/image.hpp"
#include "index/index.hpp"
#include "versions/versions.hpp"

namespace {

// Walks of the slots before a reader that writers keep outrunning gives up.
constexpr unsigned kTries = 64;

// One walk of the slots: true when no entry moved back meanwhile, so that
// each key was met once.
bool walk_once(const zim_sim::Index& index, std::vector<zim_shm_pool_index_entry_t>* found) {
  found->clear();
  const uint64_t moves = index.header->moves.load(std::memory_order_acquire);
  for (uint64_t slot = 0; slot < index.slot_count; ++slot) {
    zim_sim::IndexItem item;
    const zim_sim::IndexFound got = zim_sim::index_read_slot(index, slot, &item);
    if (got == zim_sim::IndexFound::kBusy) return false;
    if (got == zim_sim::IndexFound::kFound) {
      found->push_back({item.key, item.value.offset, item.value.pool_id, item.table_id, 0});
    }
  }
  return index.header->moves.load(std::memory_order_acquire) == moves;
}

}  // namespace

extern "C" ZIM_SIM_API int64_t zim_shm_pool_index_list(zim_shm_pool_index_entry_t* out,
                                                       uint64_t max) {
  zim_sim::PoolHeader* hdr = nullptr;
  zim_sim::PoolRooms rooms;
  if ((out == nullptr && max != 0) || !zim_sim::mapped_rooms(&hdr, &rooms)) {
    return errno = EINVAL, -1;
  }
  std::vector<zim_shm_pool_index_entry_t> found;
  for (unsigned attempt = 0; attempt < kTries; ++attempt) {
    if (!walk_once(rooms.index, &found)) continue;
    for (uint64_t i = 0; i < found.size() && i < max; ++i) out[i] = found[i];
    return static_cast<int64_t>(found.size());
  }
  return errno = EBUSY, -1;
}
