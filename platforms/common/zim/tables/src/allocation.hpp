// SPDX-License-Identifier: Apache-2.0
// Server object allocation: sizes the block, refuses sizes past 32 bits
// before anything is written, then stamps the base header and fixes pointers.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "access.hpp"
#include "fix_ptrs.hpp"
#include "report.hpp"
#include "sizing.hpp"
#include "traits.hpp"
#include "zim/tables/platform.h"
#include "zim/tables/table_object.h"

namespace zim_tables {

template <typename T>
ZIM_TABLES_STEP void* srv_alloc(uint32_t count, zim_bool_t use_shm) {
  const uint32_t npd_size = qor_npd_get_table_size(T::table_id);
  const uint64_t exact_size =
      uint64_t{npd_size} + T::fixed_size + dynamic_bytes<uint64_t>(typename T::data{}, count);
  // A size past 32 bits would wrap into a block smaller than the layout.
  // Stop before anything is allocated or written: types that check their
  // layout report that check, the others cannot be allocated at all.
  const bool fits = list_traits<typename T::data>::arrays != 0
                        ? exact_size <= UINT32_MAX
                        : npd_size <= UINT32_MAX - T::fixed_size;  // one compare
  if (!fits) {
    if constexpr (T::size_check) {
      report<T>(kFixPtrsCheckText, T::fix_ptrs_check);
    } else {
      report<T>(kAllocCheckText, T::alloc_check);
    }
  }
  const uint32_t size = static_cast<uint32_t>(exact_size);

  byte* obj_inst = static_cast<byte*>(use_shm ? zim_shm_table_pool_calloc(T::table_id, size)
                                              : std::calloc(1, size));
  if (obj_inst == nullptr) report<T>(kAllocCheckText, T::alloc_check);

  // The stamps go in a fixed order, the uid among them, so that a block
  // seen half-made in a pool always shows a prefix of the same sequence.
  store<uint16_t>(obj_inst + ZIM_OBJ_TABLE_ID_OFFSET, static_cast<uint16_t>(T::table_id));
  store<uint32_t>(obj_inst + ZIM_OBJ_TOTAL_SIZE_OFFSET, size);
  obj_inst[ZIM_OBJ_ALLOC_STATE_OFFSET] = 1;
  store<uint32_t>(obj_inst + ZIM_OBJ_UID_OFFSET, qor_getuid());
  if constexpr (T::sets_obj_flags_bit5) {
    obj_inst[ZIM_OBJ_FLAGS_OFFSET] |= ZIM_OBJ_FLAGS_BIT5;
  } else {
    obj_inst[ZIM_OBJ_FLAGS_OFFSET] &= static_cast<byte>(~ZIM_OBJ_FLAGS_BIT5);
  }
  obj_inst[T::npd_present] = npd_size != 0 ? 1 : 0;
  if constexpr (T::count_field != 0) store<uint32_t>(obj_inst + T::count_field, count);
  if constexpr (T::size_check) fix_ptrs<T, true>(npd_size, obj_inst);
  return obj_inst;
}

}  // namespace zim_tables
