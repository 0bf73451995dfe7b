// SPDX-License-Identifier: Apache-2.0
// libzim_memory: untyped blocks, for a server's own records in the pool (a
// directory of its objects, say). They live in a region of their own, so they
// never share a chunk with table objects, and their tag tells a walk that
// they hold no object to check.

#include "alloc/alloc.hpp"

extern "C" ZIM_SIM_API void* zim_shm_pool_calloc_untyped(uint64_t size) {
  return zim_sim::calloc_block(ZIM_SHM_POOL_UNTYPED, size);
}
