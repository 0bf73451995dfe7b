// SPDX-License-Identifier: Apache-2.0
// A follower in another process (pool_follower, which knows no table type)
// kept through an upgrade: the owner changes objects and keys, hands the
// pool over and, as its successor of probe_defs/b's layouts, adopts it and
// migrates it. The follower, told by the feed, detaches, waits until the pool
// is attachable, attaches again and reads on through the moves; it must end
// with the owner's view: pool ids, offsets, versions, keys and bytes.

#include <gtest/gtest.h>
#include <zim/sim/shm_pool.h>

#include <cerrno>
#include <map>
#include <string>

#include "follower_view.hpp"
#include "migration_test_util.hpp"

namespace zim_sim_test {
namespace {

constexpr uint32_t kEntries = 20;

struct Seen {
  uint64_t offset, version, pool_id;
};

// The objects of the probe's keys of table_id, by key.
std::map<uint64_t, Seen> seen(uint32_t table_id) {
  std::map<uint64_t, Seen> objects;
  for (uint64_t key = 0; key < probe_keys(table_id, kEntries); ++key) {
    if (const void* obj = zim_shm_pool_index_get(table_id, key)) {
      objects[key] = {zim_shm_pool_offset_of(obj), zim_shm_pool_version_of(obj),
                      zim_shm_pool_id_of(obj)};
    }
  }
  return objects;
}

// The owner's changes a follower must follow: two writes, a key removed and
// one that leads to another object since.
void change_some() {
  for (const uint64_t key : {3, 4}) {
    void* obj = zim_shm_pool_index_get(ZIM_TABLE_ID_PROBE_ENTRY, key);
    ASSERT_EQ(zim_shm_pool_write_begin(obj), 0);
    ASSERT_EQ(zim_shm_pool_write_end(obj), 0);
  }
  ASSERT_EQ(zim_shm_pool_index_remove(ZIM_TABLE_ID_PROBE_ENTRY, 1), 0);
  void* entry = zim_shm_pool_index_get(ZIM_TABLE_ID_PROBE_ENTRY, 2);
  ASSERT_EQ(zim_shm_pool_index_put(ZIM_TABLE_ID_PROBE_KEPT, 2, entry, nullptr), 1);
}

TEST(PoolUpgradeFollowTest, AFollowerInAnotherProcessEndsWithTheOwnersViewAfterAnUpgrade) {
  const std::string name = unique_pool_name();
  const zim_shm_pool_options_t options{1, 0, 4096, 256};
  ASSERT_EQ(zim_shm_pool_create_with(name.c_str(), 2u << 20, &options), 0);
  ASSERT_NE(fill_pool(PROBE_A, kEntries), 0u);
  const Proc follower = start(POOL_FOLLOWER, name.c_str(), std::to_string(kEntries));
  ASSERT_NE(read_all(follower.out, "ready\n").find("ready"), std::string::npos);
  change_some();
  const std::map<uint64_t, Seen> entries = seen(ZIM_TABLE_ID_PROBE_ENTRY);
  const std::map<uint64_t, Seen> kept = seen(ZIM_TABLE_ID_PROBE_KEPT);
  ASSERT_EQ(zim_shm_pool_hand_over(), 0);
  ASSERT_NE(read_all(follower.out, "detached\n").find("detached"), std::string::npos);

  ASSERT_EQ(zim_shm_pool_adopt(name.c_str()), 0);
  // Closed from the hand-over until the successor's migration ends.
  EXPECT_EQ(zim_shm_pool_wait_attachable(name.c_str(), 2000), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  ASSERT_EQ(zim_shm_pool_migrate(nullptr, nullptr), 0);
  EXPECT_EQ(zim_shm_pool_wait_attachable(name.c_str(), 0), 0);
  const Outcome o = finish(follower);
  ASSERT_EQ(o.status, 0) << o.out << o.err;

  const std::string owner = owner_view(kEntries);
  EXPECT_EQ(o.out.substr(o.out.find("view\n") + 5), owner);
  EXPECT_EQ(count(owner, "\n"), kEntries - 1 + 3);
  EXPECT_EQ(owner.find("torn"), std::string::npos) << owner;
  // Converted objects keep their pool ids under new offsets and versions;
  // the others stay as they were; the root follows its object.
  for (const auto& [key, was] : seen(ZIM_TABLE_ID_PROBE_ENTRY)) {
    SCOPED_TRACE("key " + std::to_string(key));
    EXPECT_EQ(was.pool_id, entries.at(key).pool_id);
    EXPECT_NE(was.offset, entries.at(key).offset);
    EXPECT_GT(was.version, entries.at(key).version);
  }
  const std::map<uint64_t, Seen> kept_after = seen(ZIM_TABLE_ID_PROBE_KEPT);
  for (const uint64_t key : {0, 1}) {
    SCOPED_TRACE("kept key " + std::to_string(key));
    EXPECT_EQ(kept_after.at(key).offset, kept.at(key).offset);
    EXPECT_EQ(kept_after.at(key).version, kept.at(key).version);
  }
  // Put on another table id's key, a moved object's key moves with it too.
  EXPECT_EQ(kept_after.at(2).offset, seen(ZIM_TABLE_ID_PROBE_ENTRY).at(2).offset);
  EXPECT_EQ(zim_shm_pool_root(),
            zim_shm_pool_offset_of(zim_shm_pool_index_get(ZIM_TABLE_ID_PROBE_ENTRY, 0)));
  EXPECT_EQ(zim_shm_pool_destroy(), 0);
}

}  // namespace
}  // namespace zim_sim_test
