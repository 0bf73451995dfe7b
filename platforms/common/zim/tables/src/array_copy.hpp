// SPDX-License-Identifier: Apache-2.0
// Array fields copied one by one, each as its pointers say: the elements,
// then the element flags. The source comes first, the destination second.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "access.hpp"
#include "ordered_move.hpp"
#include "traits.hpp"

namespace zim_tables {

// Two moves of Width bytes, at the start and at the end of [0, bytes), which
// together cover any length from Width to 2 * Width.
template <size_t Width>
ZIM_TABLES_STEP void move_ends(byte* to, const byte* from, uint64_t bytes) {
  unsigned char head[Width], tail[Width];
  std::memcpy(head, from, Width);
  std::memcpy(tail, from + bytes - Width, Width);
  std::memcpy(to, head, Width);
  std::memcpy(to + bytes - Width, tail, Width);
}

// Copies n elements of ElemSize bytes. Up to 32 bytes the copy is inline, a
// pair of moves chosen by the length: a call of the C library's memcpy costs
// a dozen instructions before it moves anything. Lengths that are no
// multiple of the element size never occur, so their branches are not
// emitted. Arrays of elements over 32 bytes reach 8 KiB at a couple of
// hundred elements, where memcpy turns to a string move that counts one
// step per byte: there the ordered copy is cheaper.
inline constexpr uint64_t kInlineArrayBytes = 32;

template <uint32_t ElemSize>
ZIM_TABLES_STEP void copy_elements(byte* to, const byte* from, uint64_t n) {
  const uint64_t bytes = n * ElemSize;
  if (bytes > kInlineArrayBytes) {
    if (ElemSize > 32 && bytes > kStringMoveBytes) {
      copy_ascending(to, from, bytes);
    } else {
      std::memcpy(to, from, bytes);
    }
  } else if (bytes > 16) {
    move_ends<16>(to, from, bytes);
  } else if (bytes >= 8) {
    move_ends<8>(to, from, bytes);
  } else if constexpr (ElemSize < 8) {
    if (bytes >= 4) {
      move_ends<4>(to, from, bytes);
    } else if constexpr (ElemSize < 4) {
      if (bytes >= 2) {
        move_ends<2>(to, from, bytes);
      } else if constexpr (ElemSize == 1) {
        if (bytes == 1) *to = *from;
      }
    }
  }
}

// Copies an array's n elements. A null source skips the copy; an empty array
// moves nothing (its destination pointer may be null). Inline short copies
// where arrays are copied one by one as a rule; memcpy on the cold path,
// whose code stays small.
template <bool Short, uint32_t ElemSize>
ZIM_TABLES_STEP void copy_array_bytes(const byte* src_field, const byte* dst_field, uint64_t n) {
  const byte* from = load_pointer(src_field);
  if constexpr (Short) {
    if (from != nullptr) copy_elements<ElemSize>(load_pointer(dst_field), from, n);
  } else {
    if (from != nullptr && n != 0) std::memcpy(load_pointer(dst_field), from, n * ElemSize);
  }
}

// An array's elements, then its flags, with moves of Width bytes for the
// elements and of Width / E (at least 1) for the flags: where E is a power
// of two, n elements of Width to 2 * Width bytes have Width / E to
// 2 * Width / E flags, so one test of the length picks both pairs of moves.
template <uint32_t D, uint32_t E, uint32_t F, size_t Width>
ZIM_TABLES_STEP void move_array(const byte* src, byte* dst, uint64_t n) {
  constexpr size_t kFlagWidth = Width / E > 1 ? Width / E : 1;
  if (const byte* from = load_pointer(src + D); from != nullptr) {
    move_ends<Width>(load_pointer(dst + D), from, n * E);
  }
  order_stores();
  if (const byte* from = load_pointer(src + F); from != nullptr) {
    move_ends<kFlagWidth>(load_pointer(dst + F), from, n);
  }
}

template <bool Short, uint32_t D, uint32_t E, uint32_t F>
ZIM_TABLES_STEP void copy_array_of(const byte* src, byte* dst, uint64_t n) {
  const uint64_t bytes = n * E;
  if constexpr (Short && (E & (E - 1)) == 0 && E <= kInlineArrayBytes) {
    if (bytes <= kInlineArrayBytes) {
      if (bytes > 16) {
        move_array<D, E, F, 16>(src, dst, n);
      } else if (bytes >= 8) {
        move_array<D, E, F, 8>(src, dst, n);
      } else if constexpr (E < 8) {
        if (bytes >= 4) {
          move_array<D, E, F, 4>(src, dst, n);
        } else if constexpr (E < 4) {
          if (bytes >= 2) {
            move_array<D, E, F, 2>(src, dst, n);
          } else if constexpr (E == 1) {
            if (bytes == 1) move_array<D, E, F, 1>(src, dst, n);
          }
        }
      }
      return;
    }
  }
  copy_array_bytes<Short, E>(src + D, dst + D, n);
  order_stores();
  copy_array_bytes<Short, 1>(src + F, dst + F, n);
}

template <bool Short, uint32_t D, uint32_t E, uint32_t F>
ZIM_TABLES_STEP void copy_array(per_npu_array<D, E, F>, const byte* src, byte* dst, uint32_t npus,
                                uint32_t) {
  copy_array_of<Short, D, E, F>(src, dst, npus);
}
template <bool Short, uint32_t D, uint32_t E, uint32_t F>
ZIM_TABLES_STEP void copy_array(counted_array<D, E, F>, const byte* src, byte* dst, uint32_t,
                                uint32_t count) {
  copy_array_of<Short, D, E, F>(src, dst, count);
}
template <bool Short, uint32_t O, uint32_t B, uint32_t FO, uint32_t FN>
ZIM_TABLES_STEP void copy_array(inline_span<O, B, FO, FN>, const byte*, byte*, uint32_t, uint32_t) {
}

// Array by array: where a pointer test per array costs less than proving the
// layout packed (out of line where no call of the platform already saves
// registers, so that an object without elements saves none); and cold, for
// a source whose arrays are not where the destination's layout puts them (a
// null pointer, a moved array, another count), each array by memcpy so that
// the rare path's code stays small.
template <bool Short, typename... Steps>
ZIM_TABLES_STEP void copy_each_array(item_list<Steps...>, const byte* src, byte* dst, uint32_t npus,
                                     uint32_t count) {
  (copy_array<Short>(Steps{}, src, dst, npus, count), ...);
}

// A counted array of one element: both copies have a width known here.
template <uint32_t D, uint32_t E, uint32_t F>
ZIM_TABLES_STEP void copy_single(counted_array<D, E, F>, const byte* src, byte* dst) {
  if (const byte* from = load_pointer(src + D); from != nullptr) {
    std::memcpy(load_pointer(dst + D), from, E);
  }
  order_stores();
  if (const byte* from = load_pointer(src + F); from != nullptr) *load_pointer(dst + F) = *from;
}
template <typename Step>
ZIM_TABLES_STEP void copy_single(Step, const byte*, byte*) {}
template <typename... Steps>
ZIM_TABLES_STEP void copy_all_single(item_list<Steps...>, const byte* src, byte* dst) {
  (copy_single(Steps{}, src, dst), ...);
}

template <typename Data>
__attribute__((noinline)) void copy_arrays_by_pointers(const byte* src, byte* dst, uint32_t npus,
                                                       uint32_t count) {
  // One array: one test of its length chooses both copies, since past the
  // inline limit in flags its elements are past it too. One element per
  // array: no length to test.
  if (list_traits<Data>::arrays == 1 && count > kInlineArrayBytes) {
    copy_each_array<false>(Data{}, src, dst, npus, count);
  } else if (count == 1) {
    copy_all_single(Data{}, src, dst);
  } else {
    copy_each_array<true>(Data{}, src, dst, npus, count);
  }
}
template <typename Data>
__attribute__((noinline, cold)) void copy_arrays_one_by_one(const byte* src, byte* dst,
                                                            uint32_t npus, uint32_t count) {
  copy_each_array<false>(Data{}, src, dst, npus, count);
}

}  // namespace zim_tables
