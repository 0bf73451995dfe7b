// SPDX-License-Identifier: Apache-2.0
// libzim_memory: whether a pool id is taken by a live object, for objects
// made with a given id. The pool keeps no map of its ids: every id an object
// has below ZIM_SHM_POOL_LOCAL_IDS is at or below the pool's counter, so such
// an id above it is free at once; for one at or below it, or a local id, the start map leads to
// every block, and a line followed by a live object's header is an object to compare.

#include "versions/versions.hpp"

namespace zim_sim {

namespace {

// Whether the block whose data begins at `at` (below `end`) is a line whose
// live object has pool_id.
bool line_has(PoolHeader* hdr, uint64_t at, uint64_t end, uint64_t pool_id) {
  const BlockHeader& header = block_header_at(hdr, at - ZIM_SHM_POOL_BLOCK_HEADER_SIZE);
  if (header.tag.load(std::memory_order_relaxed) != block_tag(ZIM_SHM_POOL_VERSION_LINE) ||
      header.size.load(std::memory_order_relaxed) != kLineBytes || end - at < kLinedExtra) {
    return false;
  }
  const uint64_t object_tag =
      block_header_at(hdr, at + kLineBytes).tag.load(std::memory_order_relaxed);
  if (static_cast<uint32_t>(object_tag) != kBlockMagic) return false;  // retired, or not yet
  const auto* line = reinterpret_cast<const VersionLine*>(reinterpret_cast<char*>(hdr) + at);
  return line->pool_id.load(std::memory_order_relaxed) == pool_id;
}

}  // namespace

bool pool_id_taken(PoolHeader* hdr, uint64_t pool_id) {
  if (pool_id < ZIM_SHM_POOL_LOCAL_IDS &&
      pool_id > version_state(hdr).next_pool_id.load(std::memory_order_relaxed)) {
    return false;
  }
  // Under the pool's lock the carve point holds (I1), but it is bounded by
  // this mapping all the same.
  const uint64_t map = start_map_offset(hdr->size);
  uint64_t end = hdr->carve.load(std::memory_order_relaxed);
  if (end > map) end = map;
  const auto* words =
      reinterpret_cast<const std::atomic<uint64_t>*>(reinterpret_cast<const char*>(hdr) + map);
  const uint64_t last_line = (end - ZIM_SHM_POOL_HEADER_SIZE) / ZIM_SHM_POOL_ALIGN;
  for (uint64_t w = 0; w * 64 < last_line; ++w) {
    uint64_t bits = words[w].load(std::memory_order_relaxed);
    while (bits != 0) {
      const uint64_t line = w * 64 + static_cast<uint64_t>(__builtin_ctzll(bits));
      bits &= bits - 1;
      const uint64_t at = ZIM_SHM_POOL_HEADER_SIZE + line * ZIM_SHM_POOL_ALIGN;
      if (at >= end) return false;
      if (at > ZIM_SHM_POOL_HEADER_SIZE && line_has(hdr, at, end, pool_id)) return true;
    }
  }
  return false;
}

}  // namespace zim_sim
