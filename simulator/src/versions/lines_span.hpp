// SPDX-License-Identifier: Apache-2.0
// libzim_memory: where the mapped versioned pool's lined objects may start
// and the room they start in, mirrored beside zim_tables_versioned_span for the
// snapshots' first try (versions/object_reads.cpp): hidden, so that a try
// reads it without going through the GOT, and with the start map's offset
// already computed.
#ifndef ZIM_SIM_VERSIONS_LINES_SPAN_HPP
#define ZIM_SIM_VERSIONS_LINES_SPAN_HPP

#include <atomic>
#include <cstdint>

#include "versions/versions.hpp"

namespace zim_sim {

// Where a lined object's first byte may lie: past the pool header, a line
// and the object's block header.
constexpr uint64_t kFirstLinedObject =
    ZIM_SHM_POOL_HEADER_SIZE + kLinedExtra + ZIM_SHM_POOL_BLOCK_HEADER_SIZE;

struct LinesSpan {
  std::atomic<uintptr_t> first;  // the pool's address + kFirstLinedObject
  // start_map_offset(size) - kFirstLinedObject; 0 while no versioned pool is
  // mapped, so that no offset is inside it.
  std::atomic<uint64_t> room;
};

extern LinesSpan g_lines_span;

// Mirrors a mapping: hdr's pool of size bytes when it is versioned, else none.
inline void mirror_lines_span(const PoolHeader* hdr, uint64_t size, bool versioned) {
  g_lines_span.room.store(0, std::memory_order_relaxed);
  g_lines_span.first.store(reinterpret_cast<uintptr_t>(hdr) + kFirstLinedObject,
                           std::memory_order_relaxed);
  const uint64_t end = versioned ? start_map_offset(size) : 0;
  if (end > kFirstLinedObject) {
    g_lines_span.room.store(end - kFirstLinedObject, std::memory_order_relaxed);
  }
}

}  // namespace zim_sim

#endif  // ZIM_SIM_VERSIONS_LINES_SPAN_HPP
