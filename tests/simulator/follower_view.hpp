// SPDX-License-Identifier: Apache-2.0
// What a follower of a versioned pool keeps of it and how it tells it, shared
// by the follower process (pool_follower.cpp) and the tests that hold its
// view to the owner's: per index key, the object's pool id, offset, version
// and a hash of its bytes as copied between read brackets.
#ifndef ZIM_SIM_TESTS_FOLLOWER_VIEW_HPP
#define ZIM_SIM_TESTS_FOLLOWER_VIEW_HPP

#include <zim/sim/shm_pool.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <utility>

namespace zim_sim_test {

struct Held {
  uint64_t offset = 0, version = 0;
};

// The keys the probe's fill indexes: its count of probe_entry objects (table
// id 0) and its three probe_kept objects (table id 1).
inline uint64_t probe_keys(uint32_t table_id, uint64_t entries) {
  return table_id == 0 ? entries : 3;
}

// One key's line: "table key pool_id offset version hash", the bytes copied
// whole at `version` (else "torn").
inline std::string key_line(uint32_t table_id, uint64_t key, uint64_t pool_id, const Held& h) {
  uint64_t size = 0;
  const void* obj = zim_shm_pool_block_at(h.offset, nullptr, &size);
  std::string hash = "gone";
  uint64_t version = 0;
  if (obj != nullptr && zim_shm_pool_read_begin(obj, &version) == 0) {
    const std::string bytes(static_cast<const char*>(obj), size);
    const bool whole = zim_shm_pool_read_end(obj, version) == 0 && version == h.version;
    hash = whole ? std::to_string(std::hash<std::string>()(bytes)) : "torn";
  }
  char line[160];
  std::snprintf(line, sizeof line, "%" PRIu32 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " ",
                table_id, key, pool_id, h.offset, h.version);
  return line + hash + "\n";
}

// The owner's truth: every probe key the index answers, through the index.
inline std::string owner_view(uint64_t entries) {
  std::string view;
  for (uint32_t table_id = 0; table_id < 2; ++table_id) {
    for (uint64_t key = 0; key < probe_keys(table_id, entries); ++key) {
      const void* obj = zim_shm_pool_index_get(table_id, key);
      if (obj == nullptr) continue;
      const Held h{zim_shm_pool_offset_of(obj), zim_shm_pool_version_of(obj)};
      view += key_line(table_id, key, zim_shm_pool_id_of(obj), h);
    }
  }
  return view;
}

}  // namespace zim_sim_test

#endif  // ZIM_SIM_TESTS_FOLLOWER_VIEW_HPP
