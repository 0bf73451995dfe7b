// SPDX-License-Identifier: Apache-2.0
// A versioned pool's index through the public API, across processes: puts,
// replacements, removals and a full index seen by another process with their
// feed entries; retired objects; and a writer killed at each step of a put,
// whose operation the next holder of the pool's lock finishes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zim/sim/pool_upgrade.h>
#include <zim/sim/pool_versions.h>

#include <cerrno>
#include <cstdint>
#include <utility>
#include <vector>

#include "sim_test_util.hpp"
#include "versions/versions.hpp"

namespace {

using namespace zim_sim_test;

constexpr uint32_t kTable = 9;

class PoolIndexApiTest : public ::testing::Test {
 protected:
  void make_pool(uint64_t index_capacity) {
    name_ = unique_pool_name();
    const zim_shm_pool_options_t options{1, 0, 256, index_capacity};
    ASSERT_EQ(zim_shm_pool_create_with(name_.c_str(), 1u << 20, &options), 0);
    ASSERT_EQ(zim_shm_pool_follow(&cursor_), 0);
  }
  void TearDown() override { zim_shm_pool_detach(); }

  // Runs fn in a child attached by name; see stop_after in PoolFollowTest.
  template <typename Fn>
  int in_child(Fn fn, unsigned stop_after = 0) {
    const pid_t pid = spawn([&] {
      zim_shm_pool_detach();
      if (zim_shm_pool_attach(name_.c_str()) != 0) return 100;
      if (stop_after != 0) zim_sim::stop_at_kill_point(stop_after);
      return fn();
    });
    if (stop_after == 0) return wait_exit(pid);
    int status = 0;
    if (waitpid(pid, &status, WUNTRACED) != pid) return -1;
    if (!WIFSTOPPED(status)) return WIFEXITED(status) ? WEXITSTATUS(status) + 1000 : -1;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -2;  // killed where it stopped
  }

  void* object() {
    void* obj = zim_shm_pool_calloc_untyped(32);
    EXPECT_EQ(zim_shm_pool_write_end(obj), 0);
    return obj;
  }

  std::vector<zim_shm_pool_change_t> changes() {
    zim_shm_pool_change_t out[64];
    uint64_t lapped = 0;
    const int n = zim_shm_pool_changes(&cursor_, out, 64, &lapped);
    EXPECT_EQ(lapped, 0u);
    return std::vector<zim_shm_pool_change_t>(out, out + (n > 0 ? n : 0));
  }

  std::string consistency() {
    zim_sim::PoolHeader* hdr = nullptr;
    zim_sim::PoolRooms rooms;
    if (!zim_sim::mapped_rooms(&hdr, &rooms)) return "no rooms";
    return zim_sim::index_check(rooms.index);
  }

  std::string name_;
  zim_shm_pool_cursor_t cursor_{};
};

TEST_F(PoolIndexApiTest, PutsReplacementsAndRemovalsReachEveryProcessAndTheFeed) {
  make_pool(3);
  void* objs[4] = {object(), object(), object(), object()};
  changes();  // the objects' creation
  // Each step in a child, each answer checked here: table ids keep keys apart.
  const struct {
    const char* what;
    int (*step)(const uint64_t* at);  // the objects' offsets: the child maps them elsewhere
    uint32_t kind;                    // of the feed entry, 0 for none
  } steps[] = {
      {"put",
       [](const uint64_t* at) {
         return zim_shm_pool_index_put(kTable, 1, zim_shm_pool_at(at[0]), nullptr);
       },
       4},
      {"same key, other table",
       [](const uint64_t* at) {
         return zim_shm_pool_index_put(3, 1, zim_shm_pool_at(at[1]), nullptr);
       },
       4},
      {"replace",
       [](const uint64_t* at) {
         void* replaced = nullptr;
         const int rc = zim_shm_pool_index_put(kTable, 1, zim_shm_pool_at(at[2]), &replaced);
         return rc == 1 && replaced == zim_shm_pool_at(at[0]) ? 0 : 1;
       },
       4},
      {"third key",
       [](const uint64_t* at) {
         return zim_shm_pool_index_put(kTable, 2, zim_shm_pool_at(at[3]), nullptr);
       },
       4},
      {"full",
       [](const uint64_t* at) {
         return zim_shm_pool_index_put(kTable, 5, zim_shm_pool_at(at[0]), nullptr) == -1 &&
                        errno == ENOSPC
                    ? 0
                    : 1;
       },
       0},
      {"remove", [](const uint64_t*) { return zim_shm_pool_index_remove(3, 1); }, 5},
      {"remove again",
       [](const uint64_t*) {
         return zim_shm_pool_index_remove(3, 1) == -1 && errno == ENOENT ? 0 : 1;
       },
       0},
  };
  uint64_t at[4];
  for (int i = 0; i < 4; ++i) at[i] = zim_shm_pool_offset_of(objs[i]);
  for (const auto& s : steps) {
    ASSERT_EQ(in_child([&] { return s.step(at); }), 0) << s.what;
    const auto c = changes();
    ASSERT_EQ(c.size(), s.kind != 0 ? 1u : 0u) << s.what;
    if (s.kind != 0) {
      EXPECT_EQ(c[0].kind, s.kind) << s.what;
    }
  }
  EXPECT_EQ(zim_shm_pool_index_get(kTable, 1), objs[2]);
  EXPECT_EQ(zim_shm_pool_index_get(kTable, 2), objs[3]);
  EXPECT_EQ(zim_shm_pool_index_get(3, 1), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(consistency(), "");
}

// Keys crowded into one cluster are found wherever it put them, here and in
// another process: past slots of other keys, past the same key of another
// table id, and past the last slot to the first; a key of the cluster never
// put, and a removed one, are absent.
TEST_F(PoolIndexApiTest, CrowdedKeysAreFoundPastOtherKeysAndTheLastSlot) {
  constexpr uint64_t kCapacity = 8, kSlots = 2 * kCapacity;
  const struct {
    const char* what;
    uint64_t home;       // every key's probe starts at home or the slot after
    size_t table_count;  // each key is put under kTable + 1, then kTable
  } cases[] = {
      {"a cluster that wraps", kSlots - 2, 1},
      {"the same keys under two table ids", 3, 2},
  };
  for (const auto& c : cases) {
    make_pool(kCapacity);
    std::vector<uint64_t> keys;  // three to file, a fourth never filed
    for (uint64_t key = 0; keys.size() < 4; ++key) {
      bool near = true;
      for (uint32_t t = 0; t < c.table_count; ++t) {
        near = near && zim_sim::index_home(kTable + t, key, kSlots) - c.home < 2;
      }
      if (near) keys.push_back(key);
    }
    std::vector<std::pair<uint32_t, uint64_t>> filed;
    std::vector<uint64_t> offsets;
    for (uint32_t t = c.table_count; t-- > 0;) {
      for (size_t i = 0; i < 3; ++i) {
        filed.push_back({kTable + t, keys[i]});
        void* obj = object();
        offsets.push_back(zim_shm_pool_offset_of(obj));
        ASSERT_EQ(zim_shm_pool_index_put(kTable + t, keys[i], obj, nullptr), 0) << c.what;
      }
    }
    ASSERT_EQ(zim_shm_pool_index_remove(filed.front().first, filed.front().second), 0);
    const auto found_as_filed = [&] {
      int wrong = 0;
      for (size_t i = 0; i < filed.size(); ++i) {
        const void* want = i == 0 ? nullptr : zim_shm_pool_at(offsets[i]);
        wrong += zim_shm_pool_index_get(filed[i].first, filed[i].second) != want;
      }
      return wrong + (zim_shm_pool_index_get(kTable, keys[3]) != nullptr);
    };
    EXPECT_EQ(found_as_filed(), 0) << c.what;
    EXPECT_EQ(in_child(found_as_filed), 0) << c.what;
    zim_shm_pool_detach();
  }
}

TEST_F(PoolIndexApiTest, ARetiredObjectIsAnnouncedAndItsKeyRemoved) {
  make_pool(8);
  void* obj = pool_calloc(kTable, 64);
  ASSERT_EQ(zim_shm_pool_write_end(obj), 0);
  ASSERT_EQ(zim_shm_pool_index_put(kTable, 42, obj, nullptr), 0);
  const uint64_t pool_id = zim_shm_pool_id_of(obj);
  changes();
  ASSERT_EQ(zim_shm_pool_retire(kTable), 0);
  // Retired, then its key removed; the id had no layout record to forget.
  const auto c = changes();
  ASSERT_EQ(c.size(), 2u);
  for (const auto& [change, kind] : {std::pair{c[0], ZIM_SHM_POOL_CHANGE_RETIRED},
                                     std::pair{c[1], ZIM_SHM_POOL_CHANGE_UNINDEXED}}) {
    EXPECT_EQ(change.kind, kind);
    EXPECT_EQ(change.offset, zim_shm_pool_offset_of(obj));
    EXPECT_EQ(change.pool_id, pool_id);
  }
  EXPECT_EQ(c[1].key, 42u);
  EXPECT_EQ(zim_shm_pool_index_get(kTable, 42), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(zim_shm_pool_index_remove(kTable, 42), -1);  // no entry left
}

TEST_F(PoolIndexApiTest, AWriterKilledInsideAPutLeavesTheIndexToTheNextHolder) {
  make_pool(64);
  void* kept = object();
  void* target = object();
  for (uint64_t key = 100; key < 110; ++key) {
    ASSERT_EQ(zim_shm_pool_index_put(kTable, key, kept, nullptr), 0);
  }
  // A new key, then a removal that moves keys back, killed at every step.
  for (const bool removal : {false, true}) {
    for (unsigned point = 1;; ++point) {
      const uint64_t key = removal ? 100 + point % 10 : 1000 + point;
      if (removal) {
        ASSERT_GE(zim_shm_pool_index_put(kTable, key, target, nullptr), 0);
      }
      const uint64_t mine = zim_shm_pool_offset_of(target);
      const int rc = in_child(
          [&] {
            return removal ? zim_shm_pool_index_remove(kTable, key)
                           : zim_shm_pool_index_put(kTable, key, zim_shm_pool_at(mine), nullptr);
          },
          point);
      ASSERT_TRUE(rc == -2 || rc == 1000) << point;  // killed there, or ended well
      // The next holder finishes or takes nothing back: the key leads to the
      // object or to nothing, every other key as before.
      ASSERT_EQ(zim_shm_pool_index_put(kTable, 1, kept, nullptr) >= 0, true) << point;
      EXPECT_EQ(consistency(), "") << removal << " " << point;
      void* found = zim_shm_pool_index_get(kTable, key);
      EXPECT_TRUE(found == nullptr || found == target) << point;
      for (uint64_t other = 100; other < 110; ++other) {
        if (other != key) {
          EXPECT_NE(zim_shm_pool_index_get(kTable, other), nullptr) << other;
        }
      }
      if (removal) zim_shm_pool_index_put(kTable, key, kept, nullptr);
      if (rc == 1000) {
        EXPECT_GT(point, 10u);  // the lock, the draw, the index's stores, the publish
        break;
      }
    }
  }
  changes();
}

}  // namespace
