// SPDX-License-Identifier: Apache-2.0
// The inline fields and their presence flags copied between two objects of a
// type by the stores the field plan lays out: every field stored before its
// flag. The source comes first, the destination second.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "access.hpp"
#include "field_plan.hpp"
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

// A type's spans in field order, the arrays left out.
template <typename Item>
struct span_of {
  static constexpr bool is_span = false;
  static constexpr field_span span{};
};
template <uint32_t O, uint32_t B, uint32_t FO, uint32_t FN>
struct span_of<inline_span<O, B, FO, FN>> {
  static constexpr bool is_span = true;
  static constexpr field_span span{O, B, FO, FN};
};

template <typename... Steps>
constexpr auto plan_fields(item_list<Steps...>) {
  constexpr size_t items = sizeof...(Steps);
  std::array<field_span, items + 1> spans{};
  size_t count = 0;
  ((span_of<Steps>::is_span ? (spans[count++] = span_of<Steps>::span, 0) : 0), ...);
  return plan_field_copy<plan_capacity(items)>(spans.data(), count);
}

template <typename Data>
inline constexpr auto kFieldPlan = plan_fields(Data{});

template <uint32_t Offset, uint32_t Bytes, bool FenceAfter>
ZIM_TABLES_STEP void copy_planned(const byte* src, byte* dst) {
  copy_block<Bytes>(dst + Offset, src + Offset);
  if constexpr (FenceAfter) order_stores();
}

template <typename Data, size_t... S>
ZIM_TABLES_STEP void copy_fields_and_flags(const byte* src, byte* dst, std::index_sequence<S...>) {
  constexpr auto& plan = kFieldPlan<Data>;
  (copy_planned<plan.steps[S].offset, plan.steps[S].bytes, plan.steps[S].fence_after>(src, dst),
   ...);
}

template <typename... Steps>
ZIM_TABLES_STEP void copy_fields_and_flags(item_list<Steps...>, const byte* src, byte* dst) {
  using data = item_list<Steps...>;
  copy_fields_and_flags<data>(src, dst, std::make_index_sequence<kFieldPlan<data>.count>{});
}

}  // namespace zim_tables
