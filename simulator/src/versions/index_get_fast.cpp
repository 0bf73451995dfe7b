// SPDX-License-Identifier: Apache-2.0
// libzim_memory: zim_shm_pool_index_get as a lookup runs it, inline over the
// view kept per mapping (pool_view.hpp): the probe of the index for a present key, then the
// check that the entry names a live lined object with the entry's pool id,
// as the checked lookup (pool_index.cpp) makes it. An absent key, a probe
// that a writer disturbed or that would wrap past the last slot, or no view
// yet go to the checked lookup, which decides them whole (and sets errno).

#include "index/index_probe_inline.hpp"
#include "versions/pool_view.hpp"

extern "C" ZIM_SIM_API void* zim_shm_pool_index_get(uint32_t table_id, uint64_t key) {
  const zim_sim::PoolView* view = zim_sim::reader_view();
  if (__builtin_expect(view == nullptr, 0) ||
      __builtin_expect(zim_sim::version_state(view->hdr).index != view->index_at, 0)) {
    return zim_sim::index_get_checked(table_id, key);
  }
  zim_sim::IndexValue value;
  if (__builtin_expect(!zim_sim::index_find_present(view->index, table_id, key, &value), 0)) {
    return zim_sim::index_get_checked(table_id, key);
  }
  // The offset is the index's word: the view bounds it before any load.
  const zim_sim::VersionLine* line = zim_sim::view_line_at(*view, value.offset).line;
  if (__builtin_expect(line == nullptr, 0) ||
      line->pool_id.load(std::memory_order_relaxed) != value.pool_id) {
    return zim_sim::index_get_checked(table_id, key);
  }
  return reinterpret_cast<char*>(view->hdr) + value.offset;
}
