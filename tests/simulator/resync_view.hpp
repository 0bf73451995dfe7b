// SPDX-License-Identifier: Apache-2.0
// A follower's view of a versioned pool's objects, kept by the public API: a
// copy of every live object by pool id, brought up to date from the feed and,
// when lapped or told of a lost change, by a resync from its mark.
#ifndef ZIM_SIM_TESTS_RESYNC_VIEW_HPP
#define ZIM_SIM_TESTS_RESYNC_VIEW_HPP

#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>

#include <cstdint>
#include <cstring>
#include <map>

namespace zim_sim_test {

constexpr uint64_t kCopyBytes = 64;  // every object the views follow is this long

struct Copy {
  uint64_t version;
  uint32_t table_id;
  unsigned char bytes[kCopyBytes];
  bool operator==(const Copy& o) const {
    return version == o.version && table_id == o.table_id &&
           std::memcmp(bytes, o.bytes, kCopyBytes) == 0;
  }
};

class FollowerView {
 public:
  // From the pool's next change on, starting from a copy of everything.
  bool start() { return resync(0); }

  // Reads the feed until it is caught up; false on an error.
  bool catch_up() {
    for (;;) {
      zim_shm_pool_change_t changes[16];
      uint64_t lapped = 0;
      const int n = zim_shm_pool_changes(&cursor_, changes, 16, &lapped);
      if (n < 0) return false;
      if (lapped != 0) {
        ++laps;
        if (!resync(mark_)) return false;
        continue;
      }
      for (int i = 0; i < n; ++i) {
        if (!apply(changes[i])) return false;
      }
      if (n == 0) return true;
    }
  }

  std::map<uint64_t, Copy> objects;  // by pool id
  unsigned laps = 0, resyncs = 0;

 private:
  bool apply(const zim_shm_pool_change_t& c) {
    if (c.sequence != mark_ + 1) return false;  // each sequence once, in order
    mark_ = c.sequence;
    switch (c.kind) {
      case ZIM_SHM_POOL_CHANGE_CREATED:
      case ZIM_SHM_POOL_CHANGE_CHANGED:
        return copy(c.offset, c.pool_id, c.table_id);
      case ZIM_SHM_POOL_CHANGE_RETIRED:
        objects.erase(c.pool_id);
        return true;
      case ZIM_SHM_POOL_CHANGE_LOST:
        return resync(mark_);
      default:
        return true;
    }
  }

  bool copy(uint64_t offset, uint64_t pool_id, uint32_t table_id) {
    const void* obj = zim_shm_pool_at(offset);
    Copy c{0, table_id, {}};
    for (;;) {
      if (zim_shm_pool_read_begin(obj, &c.version) != 0) return false;
      std::memcpy(c.bytes, obj, kCopyBytes);
      if (zim_shm_pool_read_end(obj, c.version) == 0) break;
    }
    objects[pool_id] = c;
    return true;
  }

  bool resync(uint64_t mark) {
    ++resyncs;
    const auto visit = [](const zim_shm_pool_object_version_t* o, void* context) {
      auto& self = *static_cast<FollowerView*>(context);
      if (o->kind == ZIM_SHM_POOL_CHANGE_RETIRED) {
        self.objects.erase(o->pool_id);
        return 0;
      }
      return self.copy(o->offset, o->pool_id, o->table_id) ? 0 : 1;
    };
    if (zim_shm_pool_changed_since(mark, &cursor_, visit, this) != 0) return false;
    mark_ = cursor_.next - 1;
    return true;
  }

  zim_shm_pool_cursor_t cursor_{};
  uint64_t mark_ = 0;
};

}  // namespace zim_sim_test

#endif  // ZIM_SIM_TESTS_RESYNC_VIEW_HPP
