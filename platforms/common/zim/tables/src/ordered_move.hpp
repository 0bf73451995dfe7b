// SPDX-License-Identifier: Apache-2.0
// Byte moves whose stores become visible in ascending address order, none
// straddling a cache line: what lets a reader trust a flag it has seen.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

template <size_t Width>
ZIM_TABLES_STEP uint64_t move_piece_if(bool wanted, byte* to, const byte* from, uint64_t at) {
  if (!wanted) return at;
  move_ordered<Width>(to + at, from + at);
  return at + Width;
}

// Moves [at, end), fewer than 16 bytes inside one cache line, as two
// overlapping pieces of the widest size that fits, the lower one first.
ZIM_TABLES_STEP void move_short(byte* to, const byte* from, uint64_t at, uint64_t end) {
  const uint64_t n = end - at;
  if (n >= 8) {
    move_ordered<8>(to + at, from + at);
    move_ordered<8>(to + end - 8, from + end - 8);
  } else if (n >= 4) {
    move_ordered<4>(to + at, from + at);
    move_ordered<4>(to + end - 4, from + end - 4);
  } else if (n >= 2) {
    move_ordered<2>(to + at, from + at);
    move_ordered<2>(to + end - 2, from + end - 2);
  } else if (n == 1) {
    move_ordered<1>(to + at, from + at);
  }
}

// Copies a packed dynamic area in ascending address order, where every
// array's element flags follow its element storage: the C library's memcpy
// promises no order (it stores the last bytes of a block first). No store
// straddles a cache line, where it could become visible in two halves: the
// body goes in aligned 16-byte chunks, the ends in pieces inside one line.
// Overlapping pieces store some bytes twice, with the same values.
__attribute__((noinline)) inline void copy_ascending(byte* to, const byte* from, uint64_t bytes) {
  const uintptr_t line_offset = reinterpret_cast<uintptr_t>(to) & 63;
  uint64_t at = 0;
  if (bytes < 16) {
    // Pieces of 1, 2, 4 and 8 bytes, each at its own alignment.
    at = move_piece_if<1>(bytes - at >= 1 && ((line_offset + at) & 1) != 0, to, from, at);
    at = move_piece_if<2>(bytes - at >= 2 && ((line_offset + at) & 2) != 0, to, from, at);
    at = move_piece_if<4>(bytes - at >= 4 && ((line_offset + at) & 4) != 0, to, from, at);
    at = move_piece_if<8>(bytes - at >= 8 && ((line_offset + at) & 8) != 0, to, from, at);
    at = move_piece_if<8>(bytes - at >= 8, to, from, at);
    at = move_piece_if<4>(bytes - at >= 4, to, from, at);
    at = move_piece_if<2>(bytes - at >= 2, to, from, at);
    move_piece_if<1>(bytes - at >= 1, to, from, at);
    return;
  }
  if (line_offset <= 48) {
    move_ordered<16>(to, from);
    at = 16 - (line_offset & 15);
  } else {
    at = 64 - line_offset;
    move_short(to, from, 0, at);
  }
  for (; bytes - at >= 64; at += 64) {
    move_ordered<16>(to + at, from + at);
    move_ordered<16>(to + at + 16, from + at + 16);
    move_ordered<16>(to + at + 32, from + at + 32);
    move_ordered<16>(to + at + 48, from + at + 48);
  }
  for (; bytes - at >= 16; at += 16) move_ordered<16>(to + at, from + at);
  move_short(to, from, at, bytes);
}

}  // namespace zim_tables
