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
  // The alignment units from first up to the start map, rounded up: an
  // aligned object's offset from first, rotated right by the alignment's
  // bits, is below them exactly when it lies before the start map; an
  // unaligned one's low bits rotate to the top, past any room. 0 while no
  // versioned pool is mapped, so that no offset is inside it.
  std::atomic<uint64_t> units;
  std::atomic<uintptr_t> end;  // the start map's address: no block reaches past it
};

extern LinesSpan g_lines_span;

// The number of bits of the pool's alignment, which the span's compare rotates away.
constexpr unsigned kAlignBits = 4;
static_assert(uint64_t{1} << kAlignBits == ZIM_SHM_POOL_ALIGN, "the rotation spans the alignment");

// offset from the span's first, rotated for the compare against its units.
inline uint64_t span_units(uint64_t offset) {
  return offset >> kAlignBits | offset << (64 - kAlignBits);
}

// Mirrors a mapping: hdr's pool of size bytes when it is versioned, else none.
inline void mirror_lines_span(const PoolHeader* hdr, uint64_t size, bool versioned) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(hdr);
  g_lines_span.units.store(0, std::memory_order_relaxed);
  g_lines_span.first.store(at + kFirstLinedObject, std::memory_order_relaxed);
  const uint64_t end = versioned ? start_map_offset(size) : 0;
  g_lines_span.end.store(at + end, std::memory_order_relaxed);
  if (end > kFirstLinedObject) {
    const uint64_t room = end - kFirstLinedObject;
    g_lines_span.units.store((room + ZIM_SHM_POOL_ALIGN - 1) >> kAlignBits,
                             std::memory_order_relaxed);
  }
}

}  // namespace zim_sim

#endif  // ZIM_SIM_VERSIONS_LINES_SPAN_HPP
