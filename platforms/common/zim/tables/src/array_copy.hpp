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
// together cover any length from Width to 2 * Width. Moves of 32 bytes go
// as 16-byte pieces, which the compiler keeps in registers (a 32-byte
// buffer it would copy through the stack).
template <size_t Width>
ZIM_TABLES_STEP void move_ends(byte* to, const byte* from, uint64_t bytes) {
  if constexpr (Width == 32) {
    unsigned char head[2][16], tail[2][16];
    std::memcpy(head[0], from, 16);
    std::memcpy(head[1], from + 16, 16);
    std::memcpy(tail[0], from + bytes - 32, 16);
    std::memcpy(tail[1], from + bytes - 16, 16);
    std::memcpy(to, head[0], 16);
    std::memcpy(to + 16, head[1], 16);
    std::memcpy(to + bytes - 32, tail[0], 16);
    std::memcpy(to + bytes - 16, tail[1], 16);
  } else {
    unsigned char head[Width], tail[Width];
    std::memcpy(head, from, Width);
    std::memcpy(tail, from + bytes - Width, Width);
    std::memcpy(to, head, Width);
    std::memcpy(to + bytes - Width, tail, Width);
  }
}

// Copies n elements of ElemSize bytes. Up to 32 bytes the copy is inline, a
// pair of moves chosen by the length: a call of the C library's memcpy costs
// a dozen instructions before it moves anything. Lengths that are no
// multiple of the element size never occur, so their branches are not
// emitted. Arrays of elements over 32 bytes reach 8 KiB at a couple of
// hundred elements, where memcpy turns to a string move that counts one
// step per byte: there the ordered copy is cheaper.
inline constexpr uint64_t kInlineArrayBytes = 32;
// Where a test of the count has bounded every array to this many bytes, the
// copies are inline alone, two 16-byte moves from each end above 32 bytes:
// with no call left, the copy saves no registers.
inline constexpr uint64_t kBoundedArrayBytes = 64;

// How an array's copies are made: by memcpy alone (the cold path), inline
// up to 32 bytes and by memcpy beyond, or inline alone within the bound.
enum class array_moves { by_call, short_inline, bounded };

template <array_moves How, uint32_t ElemSize>
ZIM_TABLES_STEP void copy_elements(byte* to, const byte* from, uint64_t n) {
  const uint64_t bytes = n * ElemSize;
  if (bytes > kInlineArrayBytes) {
    if constexpr (How == array_moves::bounded) {
      move_ends<kInlineArrayBytes>(to, from, bytes);
    } else if (ElemSize > 32 && bytes > kStringMoveBytes) {
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
template <array_moves How, uint32_t ElemSize>
ZIM_TABLES_STEP void copy_array_bytes(const byte* src_field, const byte* dst_field, uint64_t n) {
  const byte* from = load_pointer(src_field);
  if constexpr (How != array_moves::by_call) {
    if (from != nullptr) copy_elements<How, ElemSize>(load_pointer(dst_field), from, n);
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

template <array_moves How, uint32_t D, uint32_t E, uint32_t F>
ZIM_TABLES_STEP void copy_array_of(const byte* src, byte* dst, uint64_t n) {
  const uint64_t bytes = n * E;
  if constexpr (How != array_moves::by_call && (E & (E - 1)) == 0 && E <= kInlineArrayBytes) {
    if (How == array_moves::bounded && bytes > kInlineArrayBytes) {
      move_array<D, E, F, kInlineArrayBytes>(src, dst, n);
      return;
    }
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
  copy_array_bytes<How, E>(src + D, dst + D, n);
  order_stores();
  copy_array_bytes<How, 1>(src + F, dst + F, n);
}

template <array_moves How, uint32_t D, uint32_t E, uint32_t F>
ZIM_TABLES_STEP void copy_array(per_npu_array<D, E, F>, const byte* src, byte* dst, uint32_t npus,
                                uint32_t) {
  copy_array_of<How, D, E, F>(src, dst, npus);
}
template <array_moves How, uint32_t D, uint32_t E, uint32_t F>
ZIM_TABLES_STEP void copy_array(counted_array<D, E, F>, const byte* src, byte* dst, uint32_t,
                                uint32_t count) {
  copy_array_of<How, D, E, F>(src, dst, count);
}
template <array_moves How, uint32_t O, uint32_t B, uint32_t FO, uint32_t FN>
ZIM_TABLES_STEP void copy_array(inline_span<O, B, FO, FN>, const byte*, byte*, uint32_t, uint32_t) {
}

// Array by array: where a pointer test per array costs less than proving the
// layout packed (out of line where no call of the platform already saves
// registers, so that an object without elements saves none); and cold, for
// a source whose arrays are not where the destination's layout puts them (a
// null pointer, a moved array, another count), each array by memcpy so that
// the rare path's code stays small.
template <array_moves How, typename... Steps>
ZIM_TABLES_STEP void copy_each_array(item_list<Steps...>, const byte* src, byte* dst, uint32_t npus,
                                     uint32_t count) {
  (copy_array<How>(Steps{}, src, dst, npus, count), ...);
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

// Counts from 1 (read_dbobj copies no array of an object without elements)
// up to Bound, at which every array holds kBoundedArrayBytes or fewer:
// inline moves alone, so that the copy saves no registers. With one element
// per array every width is fixed here; a Bound of 1 is that alone.
template <typename Data, uint32_t Bound>
__attribute__((noinline)) void copy_bounded_arrays(const byte* src, byte* dst, uint32_t npus,
                                                   uint32_t count) {
  if (Bound == 1 || count == 1) {
    copy_all_single(Data{}, src, dst);
  } else if constexpr (Bound > 1) {
    copy_each_array<array_moves::bounded>(Data{}, src, dst, npus, count);
  }
}

// Called with a count above Above only, which the copies may rely on (0:
// none told; for some types the compiler saves more registers when told).
template <typename Data, array_moves How, uint32_t Above>
__attribute__((noinline)) void copy_arrays_as(const byte* src, byte* dst, uint32_t npus,
                                              uint32_t count) {
  if (Above != 0 && count <= Above) __builtin_unreachable();
  copy_each_array<How>(Data{}, src, dst, npus, count);
}

// Per-NPU arrays all hold N elements, so the tests of N that pick the moves
// of one pick them for all. In class C, N is 1 (C = 0) or lies in
// (2^(C-1), 2^C]: an array of E-byte elements then holds more than
// W = E << (C-1) bytes and at most 2W, two moves of W bytes (its flags two
// of W / E), where E is a power of two; any other array, or one wider than
// 32 bytes there, goes as its length says, inline alone up to 64 bytes.
template <int C, uint32_t D, uint32_t E, uint32_t F>
ZIM_TABLES_STEP void copy_array_in_class(per_npu_array<D, E, F>, const byte* src, byte* dst,
                                         uint32_t npus) {
  constexpr uint64_t width = C == 0 ? E : uint64_t{E} << (C - 1);
  if constexpr ((E & (E - 1)) == 0 && width <= kInlineArrayBytes) {
    move_array<D, E, F, width>(src, dst, npus);
  } else if constexpr (2 * width <= kBoundedArrayBytes) {
    copy_array_of<array_moves::bounded, D, E, F>(src, dst, npus);
  } else {
    copy_array_of<array_moves::short_inline, D, E, F>(src, dst, npus);
  }
}
template <int C, typename Step>
ZIM_TABLES_STEP void copy_array_in_class(Step, const byte*, byte*, uint32_t) {}
template <int C, typename... Steps>
ZIM_TABLES_STEP void copy_class(item_list<Steps...>, const byte* src, byte* dst, uint32_t npus) {
  (copy_array_in_class<C>(Steps{}, src, dst, npus), ...);
}

// The least N of class C.
constexpr uint64_t least_npus_of_class(int c) { return c == 0 ? 1 : (uint64_t{1} << (c - 1)) + 1; }

// Finds N's class by halving the classes it may be in, Low to High, where
// -1 stands for N = 0 and Top + 1 for N past the classes, which goes out of
// line: no value of N takes many more tests than another.
template <int Low, int High, int Top, typename Data>
ZIM_TABLES_STEP void copy_per_npu_classes(const byte* src, byte* dst, uint32_t npus) {
  if constexpr (Low == High) {
    if constexpr (Low == Top + 1) {
      copy_arrays_as<Data, array_moves::short_inline, 0>(src, dst, npus, 0);
    } else if constexpr (Low >= 0) {
      copy_class<Low>(Data{}, src, dst, npus);
    }
  } else {
    constexpr int mid = (Low + High + 1) / 2;
    if (npus >= least_npus_of_class(mid)) {
      copy_per_npu_classes<mid, High, Top, Data>(src, dst, npus);
    } else {
      copy_per_npu_classes<Low, mid - 1, Top, Data>(src, dst, npus);
    }
  }
}

// The highest class in which the narrowest array holds 32 bytes or fewer,
// the most that one array's inline moves take; -1 where a type's arrays
// take no shared test: counted arrays, a single array (whose own test does
// as well), elements over 16 bytes.
template <typename Data>
constexpr int shared_npu_classes() {
  using traits = list_traits<Data>;
  constexpr uint64_t narrowest = traits::narrowest_element;
  if (traits::has_counted || traits::arrays < 2 || 2 * narrowest > kInlineArrayBytes) return -1;
  int top = 1;
  while ((narrowest << top) <= kInlineArrayBytes) ++top;
  return top - 1;
}

// The per-NPU arrays of a type copied one by one, with the tests of N shared
// where they can be.
template <typename Data>
ZIM_TABLES_STEP void copy_per_npu_arrays(const byte* src, byte* dst, uint32_t npus) {
  constexpr int top = shared_npu_classes<Data>();
  if constexpr (top >= 0) {
    copy_per_npu_classes<-1, top + 1, top, Data>(src, dst, npus);
  } else {
    copy_each_array<array_moves::short_inline>(Data{}, src, dst, npus, 0);
  }
}

// The counted arrays of a type without per-NPU ones, chosen by the count in
// the caller and each way a call of its own, so that only the ways with
// calls of memcpy save registers. One array past the inline limit in flags
// is past it in elements too: memcpy for both. Up to the count that bounds
// every array, inline moves alone; past it, array by array as each length
// says.
template <typename Data>
ZIM_TABLES_STEP void copy_arrays_by_pointers(const byte* src, byte* dst, uint32_t npus,
                                             uint32_t count) {
  constexpr uint32_t widest = list_traits<Data>::widest_element;
  if (list_traits<Data>::arrays == 1 && count > kInlineArrayBytes) {
    copy_arrays_as<Data, array_moves::by_call, kInlineArrayBytes>(src, dst, npus, count);
    return;
  }
  constexpr uint32_t bound = widest <= kBoundedArrayBytes / 2 ? kBoundedArrayBytes / widest : 1;
  if (count <= bound) {
    copy_bounded_arrays<Data, bound>(src, dst, npus, count);
    return;
  }
  copy_arrays_as<Data, array_moves::short_inline, 0>(src, dst, npus, count);
}

template <typename Data>
__attribute__((noinline, cold)) void copy_arrays_one_by_one(const byte* src, byte* dst,
                                                            uint32_t npus, uint32_t count) {
  copy_each_array<array_moves::by_call>(Data{}, src, dst, npus, count);
}

}  // namespace zim_tables
