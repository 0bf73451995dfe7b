// SPDX-License-Identifier: Apache-2.0
// Byte moves whose stores become visible in ascending address order, none
// straddling a cache line: what lets a reader trust a flag it has seen.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "access.hpp"
#include "traits.hpp"

namespace zim_tables {

// From 8 KiB on the C library's memcpy moves with a string instruction,
// which callgrind counts one step per byte.
inline constexpr uint64_t kStringMoveBytes = 8191;

// A reader of an object may look at a presence flag or an element flag and
// then at what it marks, so read_dbobj stores a field before its flag and an
// array's elements before its element flags. Stores before the fence are
// not moved past stores after it, by the compiler or by the processor; on
// x86-64 the fence costs no instruction.
ZIM_TABLES_STEP void order_stores() { std::atomic_thread_fence(std::memory_order_release); }

template <size_t Width>
ZIM_TABLES_STEP void move_ordered(byte* to, const byte* from) {
  unsigned char chunk[Width];
  std::memcpy(chunk, from, Width);
  std::memcpy(to, chunk, Width);
  order_stores();
}

// The ordered copy's stores, one move of Width bytes at a time (a test
// records them instead).
struct ordered_moves {
  template <size_t Width>
  ZIM_TABLES_STEP void move(byte* to, const byte* from) const {
    move_ordered<Width>(to, from);
  }
};

// Moves [at, end), fewer than 16 bytes inside one cache line, as two
// overlapping pieces of the widest size that fits, the lower one first.
template <typename Moves>
ZIM_TABLES_STEP void move_short(Moves m, byte* to, const byte* from, uint64_t at, uint64_t end) {
  const uint64_t n = end - at;
  if (n >= 8) {
    m.template move<8>(to + at, from + at);
    m.template move<8>(to + end - 8, from + end - 8);
  } else if (n >= 4) {
    m.template move<4>(to + at, from + at);
    m.template move<4>(to + end - 4, from + end - 4);
  } else if (n >= 2) {
    m.template move<2>(to + at, from + at);
    m.template move<2>(to + end - 2, from + end - 2);
  } else if (n == 1) {
    m.template move<1>(to + at, from + at);
  }
}

// Moves [at, end), fewer than 32 bytes inside one cache line.
template <typename Moves>
ZIM_TABLES_STEP void move_in_line(Moves m, byte* to, const byte* from, uint64_t at, uint64_t end) {
  if (end - at >= 16) {
    m.template move<16>(to + at, from + at);
    m.template move<16>(to + end - 16, from + end - 16);
  } else {
    move_short(m, to, from, at, end);
  }
}

// Chunks of 16 bytes, in ascending order from an aligned destination.
template <size_t Chunks, typename Moves, size_t... C>
ZIM_TABLES_STEP void move_chunks(Moves m, byte* to, const byte* from, std::index_sequence<C...>) {
  (m.template move<16>(to + 16 * C, from + 16 * C), ...);
}
template <size_t Chunks, typename Moves>
ZIM_TABLES_STEP void move_chunks(Moves m, byte* to, const byte* from) {
  move_chunks<Chunks>(m, to, from, std::make_index_sequence<Chunks>{});
}

// Copies a packed dynamic area in ascending address order, where every
// array's element flags follow its element storage: the C library's memcpy
// promises no order (it stores the last bytes of a block first). A store
// that straddles a cache line can become visible in two halves, so the new
// bytes of every store lie inside one line: the head up to the first 16-byte
// boundary goes in pieces inside its line, the body in aligned chunks, and
// the last chunk ends with the area, storing the bytes before its new ones
// again with the values they already hold.
template <typename Moves>
ZIM_TABLES_STEP void copy_ascending_by(Moves m, byte* to, const byte* from, uint64_t bytes) {
  const uint64_t line_offset = reinterpret_cast<uintptr_t>(to) & 63;
  const uint64_t line_end = 64 - line_offset;
  if (bytes < 32) {
    if (bytes <= line_end) {
      move_in_line(m, to, from, 0, bytes);
    } else {
      move_in_line(m, to, from, 0, line_end);
      move_in_line(m, to, from, line_end, bytes);
    }
    return;
  }
  uint64_t at = line_end;
  if (line_offset <= 48) {
    m.template move<16>(to, from);
    at = 16 - (line_offset & 15);
  } else {
    move_short(m, to, from, 0, at);
  }
  // The aligned body: 256 bytes a round, then the rest by its bits (128,
  // 64, 32 and 16 bytes), one test each instead of a loop's per chunk.
  for (; bytes - at >= 256; at += 256) move_chunks<16>(m, to + at, from + at);
  const uint64_t rest = bytes - at;
  if ((rest & 128) != 0) {
    move_chunks<8>(m, to + at, from + at);
    at += 128;
  }
  if ((rest & 64) != 0) {
    move_chunks<4>(m, to + at, from + at);
    at += 64;
  }
  if ((rest & 32) != 0) {
    move_chunks<2>(m, to + at, from + at);
    at += 32;
  }
  if ((rest & 16) != 0) move_chunks<1>(m, to + at, from + at);
  if ((rest & 15) != 0) m.template move<16>(to + bytes - 16, from + bytes - 16);
}

__attribute__((noinline)) inline void copy_ascending(byte* to, const byte* from, uint64_t bytes) {
  copy_ascending_by(ordered_moves{}, to, from, bytes);
}

}  // namespace zim_tables
