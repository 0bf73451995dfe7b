// SPDX-License-Identifier: Apache-2.0
// Helpers for the index's tests: a region shared with other processes, the
// keys an index holds, and keys that collide.
#ifndef ZIM_SIM_TESTS_INDEX_TEST_UTIL_HPP
#define ZIM_SIM_TESTS_INDEX_TEST_UTIL_HPP

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "index/index.hpp"

namespace zim_sim {
// In the index's namespace, where comparisons of models find it.
inline bool operator==(const IndexValue& a, const IndexValue& b) {
  return a.offset == b.offset && a.pool_id == b.pool_id;
}
}  // namespace zim_sim

namespace zim_sim_test {

using IndexKey = std::pair<uint32_t, uint64_t>;  // table id, key
using IndexModel = std::map<IndexKey, zim_sim::IndexValue>;

// A memory file mapped shared: a forked child may map it again elsewhere.
struct SharedRegion {
  explicit SharedRegion(uint64_t size) : bytes(size), fd(memfd_create("index", 0)) {
    if (fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) == 0) base = map_again();
  }
  ~SharedRegion() {
    if (base != nullptr) munmap(base, bytes);
    if (fd >= 0) close(fd);
  }
  // Another mapping of the same bytes, at another address (null on failure).
  void* map_again() const {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : p;
  }
  const uint64_t bytes;
  const int fd;
  void* base = nullptr;
};

// What the slots hold, read the way the inspector would.
inline IndexModel index_contents(const zim_sim::Index& index) {
  IndexModel held;
  for (uint64_t at = 0; at < index.slot_count; ++at) {
    zim_sim::IndexItem item;
    if (zim_sim::index_read_slot(index, at, &item) == zim_sim::IndexFound::kFound) {
      held[{item.table_id, item.key}] = item.value;
    }
  }
  return held;
}

// `count` keys of table_id, from `first` on, whose probes start at slots
// [home, home + span) of an index of slot_count slots.
inline std::vector<uint64_t> colliding_keys(uint32_t table_id, uint64_t slot_count, uint64_t home,
                                            uint64_t span, size_t count, uint64_t first = 0) {
  std::vector<uint64_t> keys;
  for (uint64_t key = first; keys.size() < count; ++key) {
    const uint64_t at = zim_sim::index_home(table_id, key, slot_count);
    if (at >= home && at < home + span) keys.push_back(key);
  }
  return keys;
}

}  // namespace zim_sim_test

#endif  // ZIM_SIM_TESTS_INDEX_TEST_UTIL_HPP
