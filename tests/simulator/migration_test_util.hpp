// SPDX-License-Identifier: Apache-2.0
// For the migration tests, built with probe_defs/b's types: a pool that
// pool_probe of layout a fills, a directory kept up to date through `moved`,
// and the pool's state to compare.
#ifndef ZIM_SIM_TESTS_MIGRATION_TEST_UTIL_HPP
#define ZIM_SIM_TESTS_MIGRATION_TEST_UTIL_HPP

#include <zim/sim/shm_pool.h>
#include <zim/tables/platform.h>
#include <zim/tables/probe_entry.h>
#include <zim/tables/probe_kept.h>

#include <cstddef>
#include <string>
#include <unordered_map>

#include "probe_objects.hpp"
#include "segment/segment.hpp"
#include "sim_test_util.hpp"

namespace zim_sim_test {

// The size of a probe_entry object of this program's layout.
inline uint64_t entry_size() {
  return ZIM_PROBE_ENTRY_OBJECT_SIZE(0u, qor_npd_get_table_size(ZIM_TABLE_ID_PROBE_ENTRY), 0u);
}

// Has pool_probe of layout a fill the mapped pool with `count` objects; the
// offset of its directory of them, 0 on failure.
inline uint64_t fill_pool(const char* probe, uint32_t count) {
  const Outcome o = run(probe, "fill", zim_shm_pool_name(), {}, std::to_string(count).c_str());
  EXPECT_EQ(o.status, 0) << o.err;
  return o.status == 0 ? std::stoull(o.out) : 0;
}

// The probe's directory in the mapped pool, brought up to date by `moved`.
struct Directory {
  Directory(uint64_t offset, size_t objects)
      : entries(static_cast<uint64_t*>(zim_shm_pool_at(offset))), count(objects) {
    for (size_t i = 0; i < count; ++i) index.emplace(entries[i], i);
  }
  static void moved(uint64_t old_offset, uint64_t new_offset, uint32_t, void* context) {
    auto* d = static_cast<Directory*>(context);
    ++d->calls;
    const auto it = d->index.find(old_offset);
    if (it != d->index.end()) d->entries[it->second] = new_offset;
  }
  // Whether every entry names a live probe_entry of this program's layout
  // holding the values of the object the probe made.
  bool leads_to_new_objects() const {
    const uint32_t npd = qor_npd_get_table_size(ZIM_TABLE_ID_PROBE_ENTRY);
    for (size_t i = 0; i < count; ++i) {
      uint32_t id = 0;
      uint64_t size = 0;
      void* obj = zim_shm_pool_block_at(entries[i], &id, &size);
      if (obj == nullptr || id != ZIM_TABLE_ID_PROBE_ENTRY || size != entry_size() ||
          !PROBE_OBJECT(PROBE_ENTRY, obj, false, static_cast<uint32_t>(i), size, npd)) {
        return false;
      }
    }
    return true;
  }
  uint64_t* entries;
  size_t count;
  std::unordered_map<uint64_t, size_t> index;  // old offset -> entry
  uint64_t calls = 0;
};

// The mapped pool's allocation state, root and blocks (carved or not) and
// start map: everything but its lock's bookkeeping and, without `owners`,
// the undo record and what each adoption changes.
inline std::string pool_state(bool owners) {
  using zim_sim::PoolHeader;
  const auto* base = static_cast<const char*>(zim_shm_pool_base());
  const auto part = [base](size_t from, size_t to) { return std::string(base + from, to - from); };
  std::string state = part(offsetof(PoolHeader, root), offsetof(PoolHeader, next_uid));
  state += part(offsetof(PoolHeader, carve), offsetof(PoolHeader, undo));
  if (owners) state += part(offsetof(PoolHeader, undo), offsetof(PoolHeader, untyped));
  state += part(offsetof(PoolHeader, untyped), offsetof(PoolHeader, kept));
  if (owners) state += part(offsetof(PoolHeader, kept), offsetof(PoolHeader, migration));
  state += part(offsetof(PoolHeader, migration), sizeof(PoolHeader));
  return state + part(ZIM_SHM_POOL_HEADER_SIZE, zim_shm_pool_size());
}

}  // namespace zim_sim_test

#endif  // ZIM_SIM_TESTS_MIGRATION_TEST_UTIL_HPP
