// SPDX-License-Identifier: Apache-2.0
// The inline fields and their presence flags copied between two objects of a
// type, every field stored before the flags. The source comes first, the
// destination second.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "access.hpp"
#include "ordered_move.hpp"
#include "traits.hpp"

namespace zim_tables {

// Copies a block of known width. Inline, 16 bytes cost two instructions; a
// call of the C library's memcpy costs about 25 and then moves 32 bytes per
// two, so it wins above some 400 bytes, and on blocks at any alignment (a
// 7001-byte block at an odd offset) it also beats the inline string move the
// compiler would emit above 256 bytes.
inline constexpr size_t kInlineMoveLimit = 256;  // the compiler's own limit
inline constexpr size_t kInlineCopyLimit = 384;

template <size_t Bytes>
ZIM_TABLES_STEP void copy_block(byte* to, const byte* from) {
  if constexpr (Bytes > kInlineCopyLimit) {
    size_t bytes = Bytes;
    asm("" : "+r"(bytes));  // the width is known: keep the compiler from inlining the move
    std::memcpy(to, from, bytes);
  } else if constexpr (Bytes > kInlineMoveLimit) {
    std::memcpy(to, from, kInlineMoveLimit);
    std::memcpy(to + kInlineMoveLimit, from + kInlineMoveLimit, Bytes - kInlineMoveLimit);
  } else {
    std::memcpy(to, from, Bytes);
  }
}

template <uint32_t O, uint32_t B, uint32_t FO, uint32_t FN>
ZIM_TABLES_STEP void copy_inline(inline_span<O, B, FO, FN>, const byte* src, byte* dst) {
  copy_block<B>(dst + O, src + O);
}
template <typename Array>
ZIM_TABLES_STEP void copy_inline(Array, const byte*, byte*) {}

// The presence flags of the inline fields lie back to back in field order,
// interrupted only by the flag pointers of arrays. Each uninterrupted run is
// copied as one block after the fields it belongs to, so every field is
// still stored before its flag.
struct byte_run {
  uint32_t offset = 0;
  uint32_t bytes = 0;
};
template <size_t Items>
struct flag_runs {
  std::array<byte_run, Items> runs{};
  size_t count = 0;
};

template <typename Item>
struct flag_bytes_of {
  static constexpr byte_run run{};
};
template <uint32_t O, uint32_t B, uint32_t FO, uint32_t FN>
struct flag_bytes_of<inline_span<O, B, FO, FN>> {
  static constexpr byte_run run{FO, FN};
};

template <typename... Steps>
constexpr auto group_flags(item_list<Steps...>) {
  flag_runs<sizeof...(Steps)> g;
  const byte_run items[] = {flag_bytes_of<Steps>::run..., byte_run{}};
  for (const byte_run& r : items) {
    if (r.bytes == 0) continue;
    if (g.count != 0 && g.runs[g.count - 1].offset + g.runs[g.count - 1].bytes == r.offset) {
      g.runs[g.count - 1].bytes += r.bytes;
    } else {
      g.runs[g.count++] = r;
    }
  }
  return g;
}

template <typename Data>
inline constexpr auto kFlagRuns = group_flags(Data{});

template <typename Data, size_t... R>
ZIM_TABLES_STEP void copy_flags(const byte* src, byte* dst, std::index_sequence<R...>) {
  constexpr auto& g = kFlagRuns<Data>;
  (copy_block<g.runs[R].bytes>(dst + g.runs[R].offset, src + g.runs[R].offset), ...);
}

template <typename... Steps>
ZIM_TABLES_STEP void copy_fields_and_flags(item_list<Steps...>, const byte* src, byte* dst) {
  using data = item_list<Steps...>;
  (copy_inline(Steps{}, src, dst), ...);
  order_stores();
  copy_flags<data>(src, dst, std::make_index_sequence<kFlagRuns<data>.count>{});
}

}  // namespace zim_tables
