// SPDX-License-Identifier: Apache-2.0
// Copies of the header fields and of the data (inline fields, flags, arrays)
// between two objects of a type, each field stored before the flag marking it.
// The source comes first, the destination second.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "access.hpp"
#include "array_copy.hpp"
#include "field_copy.hpp"
#include "ordered_move.hpp"
#include "traits.hpp"
#include "zim/tables/platform.h"
#include "zim/tables/table_object.h"

namespace zim_tables {

template <uint32_t Offset, uint32_t Width>
ZIM_TABLES_STEP void copy_header_field(header_field<Offset, Width>, const byte* src, byte* dst) {
  std::memcpy(dst + Offset, src + Offset, Width);
}

template <typename... Fields>
ZIM_TABLES_STEP void copy_header_fields(item_list<Fields...>, const byte* src, byte* dst) {
  (copy_header_field(Fields{}, src, dst), ...);
}

template <typename T>
inline void copy_base(const void* source, void* destination) {
  const byte* src = static_cast<const byte*>(source);
  byte* dst = static_cast<byte*>(destination);
  std::memcpy(dst, src, ZIM_OBJ_BASE_HEADER_SIZE);
  copy_header_fields(typename T::header{}, src, dst);
}

// The pointer slots of a type's arrays (data and flag pointers), sorted and
// grouped into pairs of neighbouring slots where they stand side by side, so
// that one 16-byte load reads two pointers.
template <size_t Slots>
struct slot_groups {
  std::array<uint32_t, Slots> pairs{};
  std::array<uint32_t, Slots> singles{};
  size_t pair_count = 0;
  size_t single_count = 0;
};

template <typename... Steps>
constexpr auto group_slots(item_list<Steps...>) {
  constexpr size_t slots = 2 * list_traits<item_list<Steps...>>::arrays;
  std::array<uint32_t, slots> at{};
  size_t n = 0;
  ((item_traits<Steps>::array
        ? (at[n++] = item_traits<Steps>::data_ptr, at[n++] = item_traits<Steps>::flag_ptr, 0)
        : 0),
   ...);
  for (size_t i = 1; i < slots; ++i) {
    for (size_t j = i; j > 0 && at[j - 1] > at[j]; --j) {
      const uint32_t t = at[j];
      at[j] = at[j - 1];
      at[j - 1] = t;
    }
  }
  slot_groups<slots> g;
  for (size_t i = 0; i < slots;) {
    if (i + 1 < slots && at[i + 1] == at[i] + 8) {
      g.pairs[g.pair_count++] = at[i];
      i += 2;
    } else {
      g.singles[g.single_count++] = at[i++];
    }
  }
  return g;
}

template <typename Data>
inline constexpr auto kSlotGroups = group_slots(Data{});

// Whether every source pointer lies at the same distance from the
// destination's pointer of the same slot. The destination's pointers are its
// own packed layout for this N and count (the allocator or the fix-up wrote
// them, the operation's precondition), so then the source holds its arrays
// packed in the same order and lengths, and the per-array copies would move
// exactly one block. Differences are OR-ed together and tested once.
template <typename Data, size_t... P, size_t... S>
ZIM_TABLES_STEP bool same_distance(const byte* src, const byte* dst, uintptr_t distance,
                                   std::index_sequence<P...>, std::index_sequence<S...>) {
  constexpr auto& g = kSlotGroups<Data>;
  uintptr_t differs = 0;
#ifdef __SSE2__
  if constexpr (sizeof...(P) != 0) {
    const __m128i want = _mm_set1_epi64x(static_cast<long long>(distance));
    __m128i acc = _mm_setzero_si128();
    const auto pair = [&](uint32_t at) {
      const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + at));
      const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst + at));
      acc = _mm_or_si128(acc, _mm_xor_si128(_mm_sub_epi64(s, d), want));
    };
    (pair(g.pairs[P]), ...);
    acc = _mm_or_si128(acc, _mm_unpackhi_epi64(acc, acc));
    differs = static_cast<uintptr_t>(_mm_cvtsi128_si64(acc));
  }
#else
  ((differs |= (load<uintptr_t>(src + g.pairs[P]) - load<uintptr_t>(dst + g.pairs[P])) ^ distance,
    differs |=
    (load<uintptr_t>(src + g.pairs[P] + 8) - load<uintptr_t>(dst + g.pairs[P] + 8)) ^ distance),
   ...);
#endif
  ((differs |=
    (load<uintptr_t>(src + g.singles[S]) - load<uintptr_t>(dst + g.singles[S])) ^ distance),
   ...);
  return differs == 0;
}

// The packed dynamic area as one memcpy per stretch between two arrays'
// element flags: [data 1], [flags 1, data 2], ..., [flags k]. memcpy stores
// a stretch in any order, but stretch after stretch, so every array's
// elements are still stored before its element flags. A call costs a dozen
// instructions or more and then moves 32 bytes per load and store where the
// ordered copy moves 16: the cheaper way once the stretches are long. From
// 8 KiB on memcpy moves with a string instruction, which counts one step
// per byte: a longer stretch goes by the ordered copy.
inline constexpr uint64_t kStretchCopyBytes = 192;  // per stretch, on average

ZIM_TABLES_STEP void copy_stretch_bytes(byte* to, const byte* from, uint64_t bytes) {
  if (bytes > kStringMoveBytes) {
    copy_ascending(to, from, bytes);
  } else {
    std::memcpy(to, from, bytes);
  }
}

template <uint32_t O, uint32_t B, uint32_t FO, uint32_t FN>
ZIM_TABLES_STEP void copy_stretch(inline_span<O, B, FO, FN>, byte*, const byte*, uint64_t&,
                                  uint64_t&, uint32_t, uint32_t) {}
template <typename Array>
ZIM_TABLES_STEP void copy_stretch(Array, byte* to, const byte* from, uint64_t& start, uint64_t& at,
                                  uint32_t npus, uint32_t count) {
  const uint64_t length = item_traits<Array>::per_npu ? npus : count;
  at += length * item_traits<Array>::elem_size;
  copy_stretch_bytes(to + start, from + start, at - start);
  order_stores();
  start = at;
  at += length;
}
template <typename... Steps>
__attribute__((noinline)) void copy_in_stretches(item_list<Steps...>, byte* to, const byte* from,
                                                 uint32_t npus, uint32_t count) {
  uint64_t start = 0, at = 0;
  (copy_stretch(Steps{}, to, from, start, at, npus, count), ...);
  copy_stretch_bytes(to + start, from + start, at - start);
}

// A type with both kinds of arrays and no elements: the fix-up leaves the
// counted arrays' pointers null, so the destination's pointers are not one
// packed layout. The per-NPU arrays go one by one, each by the moves its
// length picks (an empty counted array picks none), out of line so that the
// packed path saves no register for it.
template <typename Data>
__attribute__((noinline)) void copy_without_elements(const byte* src, byte* dst, uint32_t npus) {
  copy_each_array<array_moves::short_inline>(Data{}, src, dst, npus, 0);
}

template <typename Data>
ZIM_TABLES_STEP void copy_arrays(const byte* src, byte* dst, uint32_t npus, uint32_t count) {
  using traits = list_traits<Data>;
  constexpr auto& g = kSlotGroups<Data>;
  if constexpr (traits::has_counted && traits::has_per_npu) {
    if (count == 0) {
      copy_without_elements<Data>(src, dst, npus);
      return;
    }
  }
  // Every array's storage and flags, back to back.
  const uint64_t bytes =
      uint64_t{npus} * traits::per_npu_bytes + uint64_t{count} * traits::per_element_bytes;
  if (bytes == 0) return;
  const uintptr_t from = load<uintptr_t>(src + traits::first_data_ptr);
  const uintptr_t to = load<uintptr_t>(dst + traits::first_data_ptr);
  // Past the test of the first source pointer (neither null nor a block that
  // runs past the end of the address space) and of the distances, every
  // source pointer lies in [from, from + bytes) and none is null.
  if (from - 1 < ~bytes &&
      same_distance<Data>(src, dst, from - to, std::make_index_sequence<g.pair_count>{},
                          std::make_index_sequence<g.single_count>{})) {
    if (bytes >= kStretchCopyBytes * (traits::arrays + 1)) {
      copy_in_stretches(Data{}, reinterpret_cast<byte*>(to), reinterpret_cast<const byte*>(from),
                        npus, count);
    } else {
      copy_ascending(reinterpret_cast<byte*>(to), reinterpret_cast<const byte*>(from), bytes);
    }
    return;
  }
  copy_arrays_one_by_one<Data>(src, dst, npus, count);
}

// Proving the dynamic area packed and copying it in one pass costs less than
// copying array by array from three arrays on, unless there are no more than
// four and their elements and flags average 16 bytes or more: memcpy moves
// such arrays best one by one.
template <typename Data>
constexpr bool copies_packed() {
  using traits = list_traits<Data>;
  constexpr uint64_t widths = traits::per_npu_bytes + traits::per_element_bytes;
  return traits::arrays >= 5 || (traits::arrays >= 3 && widths < 16 * traits::arrays);
}

// Whether read_dbobj is the field moves and at most a test of the count
// that jumps to out-of-line array copies: no call of the platform, no frame,
// no proof of a packed layout. The unit's copy routine leaves such a copy to
// the compiler to take inline where it pays; any other it calls, so that
// its code exists once, in the exported read_dbobj itself.
template <typename T>
constexpr bool copies_data_inline() {
  return !has_per_npu_arrays<T> && !copies_packed<typename T::data>();
}

// The copy routine takes its own instance (ForCopy), which the compiler may
// take inline or call; the exported read_dbobj is then the only caller of
// the other and holds the body itself, not a jump to a body it shares with
// the copy routine.
template <typename T, bool ForCopy = false>
ZIM_TABLES_NOT_FOLDED inline void read_dbobj(const void* source, void* destination) {
  using data = typename T::data;
  constexpr size_t arrays = list_traits<data>::arrays;
  constexpr bool packed_copy = copies_packed<data>();
  const byte* src = static_cast<const byte*>(source);
  byte* dst = static_cast<byte*>(destination);
  // The destination was laid out for its own count: that count governs. Array
  // by array it is read after the field copies, so that nothing is held in a
  // register across them on the way to an object without elements.
  uint32_t count = 0;
  if constexpr (has_counted_arrays<T> && packed_copy) count = load<uint32_t>(dst + T::count_field);
  uint32_t npus = 0;
  if constexpr (has_per_npu_arrays<T>) npus = hulcon_config_get_max_num_npus();
  copy_fields_and_flags(data{}, src, dst);
  if constexpr (has_counted_arrays<T> && !packed_copy) count = load<uint32_t>(dst + T::count_field);
  if constexpr (packed_copy) {
    copy_arrays<data>(src, dst, npus, count);
  } else if constexpr (has_per_npu_arrays<T> && !has_counted_arrays<T>) {
    copy_per_npu_arrays<data>(src, dst, npus);
  } else if constexpr (has_per_npu_arrays<T>) {
    // No test of N or the count: an empty array's length picks no move.
    copy_each_array<array_moves::short_inline>(data{}, src, dst, npus, count);
  } else if constexpr (arrays != 0) {
    if (count != 0) copy_arrays_by_pointers<data>(src, dst, npus, count);
  }
}

}  // namespace zim_tables
