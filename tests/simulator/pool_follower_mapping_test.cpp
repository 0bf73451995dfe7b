// SPDX-License-Identifier: Apache-2.0
// Followers' mappings: a follower writes nothing, and the owner retires
// objects while followers map the pool, which learn of it from the feed.
#include <gtest/gtest.h>
#include <zim/sim/pool_upgrade.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>

#include <cerrno>
#include <cstdint>

#include "pool_peer.hpp"
#include "sim_test_util.hpp"

namespace {

using namespace zim_sim_test;

constexpr zim_shm_pool_options_t kVersioned{1, 0, 64, 64};
constexpr uint32_t kTableId = 3;

class FollowerMappingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = unique_pool_name();
    ASSERT_EQ(zim_shm_pool_create_with(name_.c_str(), 1u << 20, &kVersioned), 0);
    object_ = zim_shm_table_pool_calloc(kTableId, 32);
    ASSERT_NE(object_, nullptr);
    ASSERT_EQ(zim_shm_pool_write_end(object_), 0);
    at_ = zim_shm_pool_offset_of(object_);
  }
  void TearDown() override { zim_shm_pool_detach(); }

  std::string name_;
  void* object_ = nullptr;
  uint64_t at_ = 0;
};

TEST_F(FollowerMappingTest, AFollowerReadsButWritesNothing) {
  const uint64_t at = at_;
  uint64_t version = 0;
  Peer follower(
      name_,
      {
          [&] { return outcome(zim_shm_pool_read_begin(zim_shm_pool_at(at), &version) == 0); },
          [&] { return outcome(zim_shm_pool_write_begin(zim_shm_pool_at(at)) == 0); },
          [] { return outcome(zim_shm_table_pool_calloc(kTableId, 32) != nullptr); },
          [] { return outcome(zim_shm_pool_calloc_untyped(16) != nullptr); },
          [] {
            return outcome(zim_shm_pool_alloc_with_id(ZIM_SHM_POOL_UNTYPED, 16, 99) != nullptr);
          },
          [&] {
            return outcome(zim_shm_pool_index_put(kTableId, 1, zim_shm_pool_at(at), nullptr) == 0);
          },
          [] { return outcome(zim_shm_pool_claim_writes() == 0); },
      },
      zim_shm_pool_attach_follower);
  EXPECT_EQ(follower.run(0), 0) << "a copy";
  const char* refused[] = {nullptr,
                           "write_begin",
                           "a typed block",
                           "an untyped block",
                           "a block with an id",
                           "an index put",
                           "a claim of the writes"};
  for (unsigned char step = 1; step < 7; ++step)
    EXPECT_EQ(follower.run(step), EPERM) << refused[step];
  EXPECT_EQ(zim_shm_pool_write_begin(object_), 0) << "the object stayed whole";
  EXPECT_EQ(zim_shm_pool_write_end(object_), 0);
}

TEST(FollowerMapping, OnlyAVersionedPoolIsFollowed) {
  const std::string name = unique_pool_name();
  ASSERT_EQ(zim_shm_pool_create(name.c_str(), 1u << 20), 0);
  EXPECT_EQ(run_in_child([&] {
              zim_shm_pool_detach();
              return zim_shm_pool_attach_follower(name.c_str()) == -1 && errno == ENOTSUP ? 0 : 1;
            }),
            0);
  zim_shm_pool_detach();
}

// The owner retires a table id while another process maps the pool: refused
// for an attacher, done for a follower, which reads the retirement in its
// feed and finds the object gone.
TEST_F(FollowerMappingTest, TheOwnerRetiresWhileFollowersMapThePool) {
  const struct {
    int (*attach)(const char*);
    int retired;  // zim_shm_pool_retire's answer
    const char* who;
  } cases[] = {{zim_shm_pool_attach, -1, "an attacher"},
               {zim_shm_pool_attach_follower, 0, "a follower"}};
  for (const auto& c : cases) {
    const uint64_t at = at_;
    zim_shm_pool_cursor_t cursor{};
    Peer peer(name_,
              {[&] { return outcome(zim_shm_pool_follow(&cursor) == 0); },
               [&] {
                 zim_shm_pool_change_t change{};
                 uint64_t lapped = 0;
                 const int n = zim_shm_pool_changes(&cursor, &change, 1, &lapped);
                 return n == 1 && change.kind == ZIM_SHM_POOL_CHANGE_RETIRED && change.offset == at
                            ? 0
                            : 1;
               },
               [&] {
                 uint64_t version = 0;
                 return outcome(zim_shm_pool_read_begin(zim_shm_pool_at(at), &version) == 0);
               }},
              c.attach);
    ASSERT_EQ(peer.run(0), 0) << c.who;
    EXPECT_EQ(zim_shm_pool_retire(kTableId), c.retired) << c.who;
    if (c.retired != 0) {
      EXPECT_EQ(errno, EBUSY);
      continue;
    }
    EXPECT_EQ(peer.run(1), 0) << "the retirement told";
    EXPECT_EQ(peer.run(2), EINVAL) << "no longer an object";
  }
}

}  // namespace
