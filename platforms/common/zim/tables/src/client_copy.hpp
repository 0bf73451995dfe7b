// SPDX-License-Identifier: Apache-2.0
// Client copies and release: a copy built from the unit's own allocator and
// copies, with the platform's copy hooks, and a release that stamps the block.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "access.hpp"
#include "copy.hpp"
#include "traits.hpp"
#include "zim/tables/platform.h"
#include "zim/tables/table_object.h"

namespace zim_tables {

// The unit's copy routine. It builds on the unit's own allocator, header
// copy and data copy, which the constructors, write_dbobj_base and read_dbobj
// export, so that their code exists once per unit; a short data copy the
// compiler may take inline instead. Written out whole in each copy
// constructor, so that neither chooses by use_shm at run time.
template <typename T, typename Obj>
ZIM_TABLES_STEP Obj copy(Obj source, zim_bool_t use_shm, Obj (*alloc)(uint32_t, zim_bool_t),
                         void (*copy_headers)(Obj, Obj), void (*copy_data)(Obj, Obj)) {
  const byte* src = reinterpret_cast<const byte*>(source);
  zim_table_props_t* props = zim_srv_table_props_get(T::table_id);
  uint32_t count = 0;
  if constexpr (T::count_field != 0) count = load<uint32_t>(src + T::count_field);
  Obj copy = alloc(count, use_shm);
  copy_headers(source, copy);
  if constexpr (copies_data_inline<T>()) {
    read_dbobj<T, /*ForCopy=*/true>(source, copy);
  } else {
    copy_data(source, copy);
  }
  if (props->copy_hooks_on != 0) {
    props->copy_shm_hook(copy, use_shm);
    props->copy_src_hook(copy, source);
  }
  return copy;
}

inline void clnt_copy_dtor(void* object) {
  if (object == nullptr) return;
  // Volatile: a plain store to a block that is about to be freed is dead to
  // the optimiser, and the stamp must really be in memory when free runs.
  volatile uint64_t* stamp = reinterpret_cast<volatile uint64_t*>(static_cast<byte*>(object) +
                                                                  ZIM_OBJ_RELEASE_STAMP_OFFSET);
  *stamp = ZIM_OBJ_RELEASE_STAMP;
  std::free(object);
}

}  // namespace zim_tables
