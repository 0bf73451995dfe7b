// SPDX-License-Identifier: Apache-2.0
// Pointer fix-up: lays a type's arrays out back to back after the fixed part
// and the NPD area, writes their pointers, and checks the object holds them.
#pragma once

#include <cstdint>

#include "access.hpp"
#include "report.hpp"
#include "traits.hpp"
#include "zim/tables/platform.h"
#include "zim/tables/table_object.h"

namespace zim_tables {

// The cursor is the 64-bit address of the next free byte of the dynamic
// area; pointer_fixed_size is its distance from the object.

// Filled: the counted arrays have elements (count != 0). The count is tested
// once per fix-up, not once per array.
template <bool Filled, uint32_t O, uint32_t B, uint32_t FO, uint32_t FN>
ZIM_TABLES_STEP void place(inline_span<O, B, FO, FN>, byte*, uintptr_t&, uint32_t) {}

template <bool Filled, uint32_t D, uint32_t E, uint32_t F>
ZIM_TABLES_STEP void place(per_npu_array<D, E, F>, byte* obj, uintptr_t& cursor, uint32_t) {
  // N is asked again for the flags: the platform's answer is never cached.
  store<uintptr_t>(obj + D, cursor);
  cursor += uint64_t{hulcon_config_get_max_num_npus()} * E;
  store<uintptr_t>(obj + F, cursor);
  cursor += hulcon_config_get_max_num_npus();
}

template <bool Filled, uint32_t D, uint32_t E, uint32_t F>
ZIM_TABLES_STEP void place(counted_array<D, E, F>, byte* obj, uintptr_t& cursor, uint32_t count) {
  if constexpr (Filled) {
    store<uintptr_t>(obj + D, cursor);
    cursor += uint64_t{count} * E;
    store<uintptr_t>(obj + F, cursor);
    cursor += count;
  } else {
    store<uintptr_t>(obj + D, 0);
    store<uintptr_t>(obj + F, 0);
  }
}

template <bool Filled, typename... Items>
ZIM_TABLES_STEP void place_all(item_list<Items...>, byte* obj, uintptr_t& cursor, uint32_t count) {
  (place<Filled>(Items{}, obj, cursor, count), ...);
}

// Inline in the constructors too: a call would cost a frame more than the
// stores it makes in most types. A constructor's own block (Fresh) is
// zero-filled, so its counted arrays' pointers are null already where there
// are no elements; and without per-NPU arrays, whose N is asked again, its
// layout is the size the constructor refused past 32 bits before allocating,
// so the check cannot fail there.
template <typename T, bool Fresh = false>
ZIM_TABLES_STEP void fix_ptrs(uint32_t npd_size, void* object) {
  // Without per-NPU arrays a fresh block needs neither the layout of an
  // object without elements nor the check.
  constexpr bool trusts_fresh_block = Fresh && !has_per_npu_arrays<T>;
  if constexpr (T::size_check) {
    byte* obj_inst = static_cast<byte*>(object);
    const uintptr_t base = reinterpret_cast<uintptr_t>(obj_inst);
    uintptr_t cursor = base + T::fixed_size + uint64_t{npd_size};
    if constexpr (has_counted_arrays<T>) {
      const uint32_t count = load<uint32_t>(obj_inst + T::count_field);
      // The path without elements ends in a compiler barrier: merged at the
      // join, the two paths' stores to the same pointer fields would hold
      // every position of the filled path in a register across its platform
      // calls.
      if (count != 0) {
        place_all<true>(typename T::data{}, obj_inst, cursor, count);
      } else if constexpr (!trusts_fresh_block) {
        place_all<false>(typename T::data{}, obj_inst, cursor, 0);
        asm volatile("" ::: "memory");
      }
    } else {
      place_all<true>(typename T::data{}, obj_inst, cursor, 0);
    }
    // Checked after every pointer is written, as a 64-bit comparison, so a
    // wrapped 32-bit size fails here.
    const uint64_t pointer_fixed_size = cursor - base;
    if (!trusts_fresh_block &&
        pointer_fixed_size > load<uint32_t>(obj_inst + ZIM_OBJ_TOTAL_SIZE_OFFSET)) {
      report<T>(kFixPtrsCheckText, T::fix_ptrs_check);
    }
  } else {
    (void)npd_size;
    (void)object;
  }
}

template <typename T>
inline void fix_ptrs_from_base(void* object) {
  fix_ptrs<T>(qor_npd_get_table_size(T::table_id), object);
}

}  // namespace zim_tables
