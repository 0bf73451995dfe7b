// SPDX-License-Identifier: Apache-2.0
// The compile-time vocabulary of a unit's traits struct: the item lists and
// field descriptors it is written in, the facts derived from them, and the
// check that its layout constants agree before any operation uses them.
//
// The traits struct T provides:
//   table_id, fixed_size, npd_present, count_field (0: none), size_check,
//   sets_obj_flags_bit5, header (item_list of header_field), data (item_list
//   of inline_span, per_npu_array and counted_array), unit_path, the check
//   sites fix_ptrs_check (types with the size check), size_ptr_check and
//   alloc_check, and wisp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zim/tables/table_object.h"

namespace zim_tables {

using byte = unsigned char;

// ---------------------------------------------------------------------------
// Layout vocabulary of a traits struct.

template <uint32_t Offset, uint32_t Width>
struct header_field {};

// Adjacent inline fields: Bytes bytes from Offset, then Flags presence flags
// from FlagOffset.
template <uint32_t Offset, uint32_t Bytes, uint32_t FlagOffset, uint32_t Flags>
struct inline_span {};

// Array fields: data pointer at DataPtr, flag pointer at FlagPtr. A per-NPU
// array has N elements, a counted array as many as the count field says.
template <uint32_t DataPtr, uint32_t ElemSize, uint32_t FlagPtr>
struct per_npu_array {};
template <uint32_t DataPtr, uint32_t ElemSize, uint32_t FlagPtr>
struct counted_array {};

template <typename... Items>
struct item_list {};

// Where a check reports from: its line and the prototype of the operation
// that owns it. Both are fixed by the generator, not by where code lands.
struct check_site {
  unsigned int line;
  const char* prototype;
};

// ---------------------------------------------------------------------------
// Facts about a type's array fields, derived at compile time.

template <typename Item>
struct item_traits {
  static constexpr bool per_npu = false;
  static constexpr bool counted = false;
  static constexpr bool array = false;
  static constexpr uint32_t data_ptr = 0, elem_size = 0, flag_ptr = 0;
};
template <uint32_t D, uint32_t E, uint32_t F>
struct array_item_traits {
  static constexpr bool array = true;
  static constexpr uint32_t data_ptr = D, elem_size = E, flag_ptr = F;
};
template <uint32_t D, uint32_t E, uint32_t F>
struct item_traits<per_npu_array<D, E, F>> : array_item_traits<D, E, F> {
  static constexpr bool per_npu = true;
  static constexpr bool counted = false;
};
template <uint32_t D, uint32_t E, uint32_t F>
struct item_traits<counted_array<D, E, F>> : array_item_traits<D, E, F> {
  static constexpr bool per_npu = false;
  static constexpr bool counted = true;
};

template <typename List>
struct list_traits;
template <typename... Items>
struct list_traits<item_list<Items...>> {
  static constexpr bool has_per_npu = (item_traits<Items>::per_npu || ...);
  static constexpr bool has_counted = (item_traits<Items>::counted || ...);
  static constexpr size_t arrays = (size_t{item_traits<Items>::array} + ... + 0);
  // Dynamic bytes per NPU and per counted element: sum of (element size + 1).
  static constexpr uint64_t per_npu_bytes =
      ((item_traits<Items>::per_npu ? uint64_t{item_traits<Items>::elem_size} + 1 : 0) + ... + 0);
  static constexpr uint64_t per_element_bytes =
      ((item_traits<Items>::counted ? uint64_t{item_traits<Items>::elem_size} + 1 : 0) + ... + 0);
  static constexpr uint32_t widest_element = [] {
    uint32_t widest = 0;
    ((widest = item_traits<Items>::elem_size > widest ? item_traits<Items>::elem_size : widest),
     ...);
    return widest;
  }();
  static constexpr uint32_t narrowest_element = [] {
    uint32_t narrowest = UINT32_MAX;
    ((narrowest = item_traits<Items>::array && item_traits<Items>::elem_size < narrowest
                      ? item_traits<Items>::elem_size
                      : narrowest),
     ...);
    return narrowest;
  }();
  // The data pointer of the array placed first, where a packed dynamic area
  // begins.
  static constexpr uint32_t first_data_ptr = [] {
    uint32_t first = 0;
    ((first = first == 0 && item_traits<Items>::array ? item_traits<Items>::data_ptr : first), ...);
    return first;
  }();
};

template <typename T>
inline constexpr bool has_per_npu_arrays = list_traits<typename T::data>::has_per_npu;
template <typename T>
inline constexpr bool has_counted_arrays = list_traits<typename T::data>::has_counted;

// Compile-time guard that a traits struct describes a well-formed fixed part:
// pointers 8-aligned, every step inside the fixed part and below npd_present,
// the fixed size the smallest multiple of 8 above npd_present, and array
// fields only in a type with the size check, the only kind the fix-up lays
// out. The sums are taken in 64 bits, so constants near 2^32 cannot wrap into
// a pass.
template <uint32_t NpdPresent, uint32_t O, uint32_t B, uint32_t FO, uint32_t FN>
constexpr bool step_fits(inline_span<O, B, FO, FN>) {
  return O >= ZIM_OBJ_BASE_HEADER_SIZE && uint64_t{O} + B <= FO && uint64_t{FO} + FN <= NpdPresent;
}
template <uint32_t NpdPresent, uint32_t D, uint32_t E, uint32_t F>
constexpr bool array_fits() {
  return D % 8 == 0 && F % 8 == 0 && uint64_t{D} + 8 <= F && uint64_t{F} + 8 <= NpdPresent &&
         E > 0 && E < UINT32_MAX;
}
template <uint32_t NpdPresent, uint32_t D, uint32_t E, uint32_t F>
constexpr bool step_fits(per_npu_array<D, E, F>) {
  return array_fits<NpdPresent, D, E, F>();
}
template <uint32_t NpdPresent, uint32_t D, uint32_t E, uint32_t F>
constexpr bool step_fits(counted_array<D, E, F>) {
  return array_fits<NpdPresent, D, E, F>();
}
template <uint32_t NpdPresent, typename... Items>
constexpr bool steps_fit(item_list<Items...>) {
  return (step_fits<NpdPresent>(Items{}) && ...);
}
template <typename T>
constexpr bool layout_is_consistent() {
  // The right side is a multiple of 8, so the fixed part also ends 8-aligned.
  return uint64_t{T::fixed_size} == (uint64_t{T::npd_present} + 8) / 8 * 8 &&
         (T::count_field == 0 || (T::count_field >= ZIM_OBJ_BASE_HEADER_SIZE &&
                                  uint64_t{T::count_field} + 4 <= T::fixed_size)) &&
         // Without the size check the fix-up compiles to nothing: an array's
         // pointers would stay null in every object allocated.
         (list_traits<typename T::data>::arrays == 0 || T::size_check) &&
         steps_fit<T::npd_present>(typename T::data{});
}

}  // namespace zim_tables
