// SPDX-License-Identifier: Apache-2.0
// Sizing: the dynamic area an object of a type needs for N and a count, in
// the 32 bits the object size wraps in and the 64 bits the allocator checks.
#pragma once

#include <cstdint>

#include "access.hpp"
#include "report.hpp"
#include "traits.hpp"
#include "zim/tables/platform.h"

namespace zim_tables {

// Dynamic bytes of the per-NPU array fields: N is asked once per field, in
// layout order.
template <typename U, uint32_t O, uint32_t B, uint32_t FO, uint32_t FN>
ZIM_TABLES_STEP U per_npu_bytes_of(inline_span<O, B, FO, FN>) {
  return 0;
}
template <typename U, uint32_t D, uint32_t E, uint32_t F>
ZIM_TABLES_STEP U per_npu_bytes_of(per_npu_array<D, E, F>) {
  return U{hulcon_config_get_max_num_npus()} * static_cast<U>(uint64_t{E} + 1);
}
template <typename U, uint32_t D, uint32_t E, uint32_t F>
ZIM_TABLES_STEP U per_npu_bytes_of(counted_array<D, E, F>) {
  return 0;
}

// The width (element and flag) of three or more per-NPU arrays that all
// have one, else 0: summing their answers and multiplying once saves an
// instruction per array from the third on.
template <typename... Items>
constexpr uint64_t common_per_npu_width(item_list<Items...>) {
  uint64_t width = 0;
  size_t arrays = 0;
  bool common = true;
  const auto see = [&](bool per_npu, uint64_t w) {
    if (!per_npu) return;
    common = common && (width == 0 || width == w);
    width = w;
    ++arrays;
  };
  (see(item_traits<Items>::per_npu, uint64_t{item_traits<Items>::elem_size} + 1), ...);
  return common && arrays >= 3 ? width : 0;
}

// Each answer of the platform is folded into the sum before the next query,
// so one register carries the sum across the calls where keeping every
// answer apart until the end would take one each.
template <typename U, typename Item>
ZIM_TABLES_STEP void add_per_npu_bytes(Item, U& sum) {
  if constexpr (item_traits<Item>::per_npu) {
    sum += per_npu_bytes_of<U>(Item{});
    asm("" : "+r"(sum));
  }
}
template <typename U, typename Item>
ZIM_TABLES_STEP void add_npus(Item, U& npus) {
  if constexpr (item_traits<Item>::per_npu) {
    npus += U{hulcon_config_get_max_num_npus()};
    asm("" : "+r"(npus));
  }
}
// The dynamic area's size, added to `sum`: in 32 bits (U = uint32_t) for the
// sizing operations, which wrap like the object size, in 64 bits for the
// allocator, which must see a size that does not fit.
template <typename U, typename... Items>
ZIM_TABLES_STEP U add_dynamic_bytes(item_list<Items...>, U sum, uint32_t count) {
  using data = item_list<Items...>;
  sum += U{count} * static_cast<U>(list_traits<data>::per_element_bytes);
  if constexpr (constexpr uint64_t width = common_per_npu_width(data{}); width != 0) {
    U npus = 0;
    (add_npus<U>(Items{}, npus), ...);
    sum += npus * static_cast<U>(width);
  } else {
    (add_per_npu_bytes<U>(Items{}, sum), ...);
  }
  return sum;
}
template <typename U, typename Data>
ZIM_TABLES_STEP U dynamic_bytes(Data, uint32_t count) {
  return add_dynamic_bytes<U>(Data{}, U{0}, count);
}

template <typename T>
inline void add_dynamic_to_obj_size(uint32_t* obj_size_ptr, uint32_t count) {
  if (obj_size_ptr == nullptr) report<T>(kSizePtrCheckText, T::size_ptr_check);
  *obj_size_ptr += dynamic_bytes<uint32_t>(typename T::data{}, count);
}

template <typename T>
inline uint32_t get_obj_size(uint32_t count) {
  return add_dynamic_bytes<uint32_t>(typename T::data{},
                                     qor_npd_get_table_size(T::table_id) + T::fixed_size, count);
}

}  // namespace zim_tables
