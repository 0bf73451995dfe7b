// SPDX-License-Identifier: Apache-2.0
// libzim_memory: what the write brackets and the index's lookups need of the
// mapped versioned pool, derived once per mapping and process (pool_view.cpp)
// so that they check an address with a few loads: the bounds of the
// mapping's objects, its start map, the feed's and the index's checked views
// and, for writers, this process's writer stamp. The view holds nothing read
// from the pool that a later call trusts: the bounds come from this process's
// mapping size, the capacities from the rooms' checked open. A forked child,
// and a new mapping, derive it again.
#ifndef ZIM_SIM_SRC_VERSIONS_POOL_VIEW_HPP
#define ZIM_SIM_SRC_VERSIONS_POOL_VIEW_HPP

#include <cstdint>

#include "names/mapping.hpp"
#include "versions/versions.hpp"

namespace zim_sim {

// The offset of the first object that can have a line: past the header, a
// line's header and data and the object's own header.
constexpr uint64_t kFirstLinedObject =
    ZIM_SHM_POOL_HEADER_SIZE + kLinedExtra + ZIM_SHM_POOL_BLOCK_HEADER_SIZE;
constexpr uint64_t kFirstLinedLine =
    (kFirstLinedObject - ZIM_SHM_POOL_HEADER_SIZE) / ZIM_SHM_POOL_ALIGN;

// Written under g_control, the epochs last (release); 0: none. A reader
// that finds `epoch` equal to the mapping's may use every field but the
// stamp and token, which `writer_epoch` guards the same way.
struct PoolView {
  std::atomic<uint64_t> epoch{0};
  std::atomic<uint64_t> writer_epoch{0};
  PoolHeader* hdr = nullptr;
  uintptr_t first = 0;  // the address of kFirstLinedObject
  uint64_t lines = 0;   // objects lie at kFirstLinedObject + 16 * i, i below this
  const std::atomic<uint64_t>* start_map = nullptr;
  uint64_t stamp = 0;  // this process's writer stamp, never 0
  uint32_t token = 0;  // its appender token
  uint64_t feed_at = 0, index_at = 0;
  FeedView feed;
  Index index;
};

extern PoolView g_pool_view;

// The view of the current mapping for writers (stamp and token included) or
// for readers, derived by the checked calls, so that the usual path makes no
// call; null until then.
__attribute__((always_inline)) inline const PoolView* pool_view_for(
    const std::atomic<uint64_t>& kept_epoch) {
  const uint64_t epoch = g_mapping_epoch.load(std::memory_order_acquire);
  const bool kept = kept_epoch.load(std::memory_order_acquire) == epoch;
  return __builtin_expect(kept, 1) ? &g_pool_view : nullptr;
}
__attribute__((always_inline)) inline const PoolView* writer_view() {
  return pool_view_for(g_pool_view.writer_epoch);
}
__attribute__((always_inline)) inline const PoolView* reader_view() {
  return pool_view_for(g_pool_view.epoch);
}

// Derives the view when the mapping has none (with the writer's stamp, when
// `writer`, claiming a slot), errno left as it was: the checked calls make it
// first. Nothing when no versioned pool is mapped, its rooms do not check or
// no writer slot is free.
void prepare_pool_view(bool writer);

// The line of the live lined object that starts at obj, and its tag; line
// null for any other address. Reads only inside the mapping: the address is
// bounded before anything is loaded.
struct ViewLine {
  VersionLine* line;
  uint64_t tag;
};

// The checks past the bounds, for the object at `at`, whose line number
// (from kFirstLinedObject) is below view.lines.
__attribute__((always_inline)) inline ViewLine line_in_bounds(const PoolView& view, char* at,
                                                              uint64_t line) {
  // The start bit: a block handed out begins here, so the headers below are
  // the allocator's, not bytes of an object in front.
  const uint64_t bit = line + kFirstLinedLine;
  if (((view.start_map[bit / 64].load(std::memory_order_relaxed) >> (bit % 64)) & 1) == 0) {
    return {nullptr, 0};
  }
  const auto* object = reinterpret_cast<const BlockHeader*>(at - ZIM_SHM_POOL_BLOCK_HEADER_SIZE);
  const uint64_t tag = object->tag.load(std::memory_order_acquire);
  const uint32_t id = static_cast<uint32_t>(tag >> 32);
  if (static_cast<uint32_t>(tag) != kBlockMagic ||
      (id > ZIM_SHM_POOL_MAX_TABLE_ID && id != ZIM_SHM_POOL_UNTYPED)) {
    return {nullptr, 0};
  }
  const auto* header =
      reinterpret_cast<const BlockHeader*>(at - ZIM_SHM_POOL_BLOCK_HEADER_SIZE - kLinedExtra);
  if (header->tag.load(std::memory_order_acquire) != block_tag(ZIM_SHM_POOL_VERSION_LINE) ||
      header->size.load(std::memory_order_relaxed) != kLineBytes) {
    return {nullptr, 0};
  }
  return {reinterpret_cast<VersionLine*>(at - ZIM_SHM_POOL_BLOCK_HEADER_SIZE - kLineBytes), tag};
}

// Rotated, a distance off a 16-byte line lands past every line.
constexpr uint64_t line_number(uint64_t from_first) { return from_first >> 4 | from_first << 60; }

__attribute__((always_inline)) inline ViewLine view_line(const PoolView& view, const void* obj) {
  const uint64_t line = line_number(reinterpret_cast<uintptr_t>(obj) - view.first);
  if (line >= view.lines) return {nullptr, 0};
  return line_in_bounds(view, static_cast<char*>(const_cast<void*>(obj)), line);
}

// The same for the object at `offset` from the pool's first byte, a word
// read from the pool: bounded before anything is loaded.
__attribute__((always_inline)) inline ViewLine view_line_at(const PoolView& view, uint64_t offset) {
  const uint64_t line = line_number(offset - kFirstLinedObject);
  if (line >= view.lines) return {nullptr, 0};
  return line_in_bounds(view, reinterpret_cast<char*>(view.hdr) + offset, line);
}

// The brackets with every check and every case, where the view's fast path
// leaves them (brackets.cpp).
int write_begin_checked(void* obj);
int write_end_checked(void* obj);

// zim_shm_pool_index_get with every check and every case (pool_index.cpp).
void* index_get_checked(uint32_t table_id, uint64_t key);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_VERSIONS_POOL_VIEW_HPP
