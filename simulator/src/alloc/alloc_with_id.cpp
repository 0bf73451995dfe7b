// SPDX-License-Identifier: Apache-2.0
// libzim_memory: blocks that carry a pool id given by their maker, for a
// process that copies another pool's objects under their own ids.

#include <cerrno>

#include "alloc/alloc.hpp"
#include "names/names.hpp"
#include "versions/versions.hpp"

extern "C" ZIM_SIM_API void* zim_shm_pool_alloc_with_id(uint32_t table_id, uint64_t size,
                                                        uint64_t pool_id) {
  zim_sim::PoolHeader* hdr = zim_sim::mapped_pool();
  // Never the default pool: it is not versioned.
  if (pool_id == 0 || hdr == nullptr || !zim_sim::is_versioned(hdr) ||
      (table_id > ZIM_SHM_POOL_MAX_TABLE_ID && table_id != ZIM_SHM_POOL_UNTYPED)) {
    errno = EINVAL;
    return nullptr;
  }
  return zim_sim::calloc_block_as(table_id, size, pool_id);
}
