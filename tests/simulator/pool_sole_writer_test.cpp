// SPDX-License-Identifier: Apache-2.0
// A versioned pool with one writer, and objects made with a given pool id:
// other processes refused, a holder's claim ending with it (killed at each
// kill point of the claim too), and given ids that never meet another live
// object's.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zim/sim/pool_upgrade.h>
#include <zim/sim/shm_pool.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <vector>

#include "pool_peer.hpp"
#include "segment/segment.hpp"
#include "sim_test_util.hpp"

namespace {

using namespace zim_sim_test;

constexpr zim_shm_pool_options_t kVersioned{1, 0, 1024, 4096};

class SoleWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = unique_pool_name();
    ASSERT_EQ(zim_shm_pool_create_with(name_.c_str(), 1u << 20, &kVersioned), 0);
  }
  void TearDown() override { zim_shm_pool_detach(); }

  void* whole_object() {
    void* obj = zim_shm_pool_calloc_untyped(64);
    EXPECT_EQ(zim_shm_pool_write_end(obj), 0);
    return obj;
  }

  pid_t holder() {
    pid_t pid = -1;
    EXPECT_GE(zim_shm_pool_writes_holder(name_.c_str(), &pid), 0);
    return pid;
  }

  // Live objects of the mapped pool that carry pool_id.
  static int carrying(uint64_t pool_id) {
    std::pair<uint64_t, int> seen{pool_id, 0};
    const auto visit = [](const zim_shm_pool_piece_t* p, void* to) {
      auto& s = *static_cast<std::pair<uint64_t, int>*>(to);
      if (p->table_id == ZIM_SHM_POOL_UNTYPED && p->retired == 0) {
        s.second += zim_shm_pool_id_of(zim_shm_pool_at(p->offset)) == s.first;
      }
      return 0;
    };
    EXPECT_EQ(zim_shm_pool_walk_mapped(visit, &seen), 0);
    return seen.second;
  }

  std::string name_;
};

TEST_F(SoleWriterTest, OnlyTheHolderWritesAndAllocates) {
  void* obj = whole_object();
  void* begun = whole_object();
  const uint64_t at = zim_shm_pool_offset_of(obj), begun_at = zim_shm_pool_offset_of(begun);
  Peer peer(
      name_,
      {
          [&] { return outcome(zim_shm_pool_write_begin(zim_shm_pool_at(begun_at)) == 0); },
          [&] { return outcome(zim_shm_pool_write_begin(zim_shm_pool_at(at)) == 0); },
          [&] { return outcome(zim_shm_pool_write_end(zim_shm_pool_at(begun_at)) == 0); },
          [] { return outcome(zim_shm_table_pool_calloc(3, 24) != nullptr); },
          [] { return outcome(zim_shm_pool_calloc_untyped(16) != nullptr); },
          [] { return outcome(zim_shm_pool_alloc_with_id(4, 16, 9000) != nullptr); },
          [&] { return outcome(zim_shm_pool_index_put(4, 1, zim_shm_pool_at(at), nullptr) == 0); },
      });
  ASSERT_EQ(peer.run(0), 0) << "a write begun before the claim";
  EXPECT_EQ(holder(), 0);
  ASSERT_EQ(zim_shm_pool_claim_writes(), 0);
  EXPECT_EQ(zim_shm_pool_claim_writes(), 0) << "held already";
  EXPECT_EQ(holder(), getpid());
  const char* refused[] = {nullptr,         "write_begin",      "write_end of a write begun before",
                           "a typed block", "an untyped block", "a block with an id",
                           "an index put"};
  for (unsigned char step = 1; step < 7; ++step) EXPECT_EQ(peer.run(step), EPERM) << refused[step];
  // The holder's own calls, the usual path and the checked one alike.
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(zim_shm_pool_write_begin(obj), 0);
    EXPECT_EQ(zim_shm_pool_write_end(obj), 0);
  }
  EXPECT_NE(zim_shm_table_pool_calloc(3, 24), nullptr);
  EXPECT_NE(zim_shm_pool_calloc_untyped(16), nullptr);
  EXPECT_NE(zim_shm_pool_alloc_with_id(ZIM_SHM_POOL_UNTYPED, 16, 9000), nullptr);
  EXPECT_EQ(zim_shm_pool_index_put(4, 1, obj, nullptr), 0);
}

// However the holder lets go (killed, or unmapping the pool while it lives),
// its claim ends: others write again, and the next claimer takes it.
TEST_F(SoleWriterTest, AClaimEndsWithItsHolderAndPassesToTheNextClaimer) {
  const struct {
    bool kill;
    const char* how;
  } cases[] = {{true, "killed"}, {false, "unmapped"}};
  void* obj = whole_object();
  for (const auto& c : cases) {
    Peer peer(name_, {[] { return outcome(zim_shm_pool_claim_writes() == 0); },
                      [] { return zim_shm_pool_detach(), 0; }});
    ASSERT_EQ(peer.run(0), 0) << c.how;
    EXPECT_EQ(holder(), peer.pid());
    EXPECT_EQ(zim_shm_pool_claim_writes(), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(zim_shm_pool_write_begin(obj), -1);
    EXPECT_EQ(errno, EPERM);
    if (c.kill) {
      peer.kill_it();
    } else {
      ASSERT_EQ(peer.run(1), 0);
    }
    EXPECT_EQ(holder(), 0) << c.how;
    EXPECT_EQ(zim_shm_pool_write_begin(obj), 0) << c.how;
    EXPECT_EQ(zim_shm_pool_write_end(obj), 0);
  }
  ASSERT_EQ(zim_shm_pool_claim_writes(), 0);
  EXPECT_EQ(holder(), getpid());
}

TEST(SoleWriterPoolTest, OnlyAVersionedPoolHasAHolder) {
  zim_shm_pool_detach();
  EXPECT_EQ(zim_shm_pool_claim_writes(), -1) << "no pool mapped";
  EXPECT_EQ(errno, EINVAL);
  const std::string name = unique_pool_name();
  ASSERT_EQ(zim_shm_pool_create_with(name.c_str(), 1u << 20, nullptr), 0);
  EXPECT_EQ(zim_shm_pool_claim_writes(), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(zim_shm_pool_alloc_with_id(ZIM_SHM_POOL_UNTYPED, 16, 5), nullptr);
  EXPECT_EQ(errno, EINVAL);
  pid_t pid = -1;
  EXPECT_EQ(zim_shm_pool_writes_holder(name.c_str(), &pid), 0);
  EXPECT_EQ(pid, 0);
  EXPECT_EQ(zim_shm_pool_writes_holder("no slash", &pid), -1);
  EXPECT_EQ(errno, EINVAL);
  zim_shm_pool_detach();
}

// A claimer killed at each kill point of its claim: whatever it left, the
// next claimer gets the claim.
TEST_F(SoleWriterTest, AClaimerKilledAtEachKillPointLeavesTheClaimToTheNext) {
  unsigned stop_after = 1;
  for (;; ++stop_after) {
    const pid_t pid = spawn([&] {
      zim_shm_pool_detach();
      if (zim_shm_pool_attach(name_.c_str()) != 0) return 1;
      zim_sim::stop_at_kill_point(stop_after);
      return zim_shm_pool_claim_writes() == 0 ? 0 : 2;
    });
    if (!kill_when_stopped(pid)) break;
    Peer next(name_, {[] { return outcome(zim_shm_pool_claim_writes() == 0); }});
    EXPECT_EQ(next.run(0), 0) << "killed after kill point " << stop_after;
  }
  EXPECT_GT(stop_after, 2u);  // the lock, the claim, the unlock
}

TEST_F(SoleWriterTest, GivenIdsNeverMeetALiveObjectsId) {
  const uint64_t drawn = zim_shm_pool_id_of(whole_object());
  const struct {
    uint32_t table_id;
    uint64_t pool_id;
    int err;  // 0: made
    const char* why;
  } cases[] = {
      {ZIM_SHM_POOL_UNTYPED, 100, 0, "above every id given"},
      {ZIM_SHM_POOL_UNTYPED, 100, EEXIST, "a live object has it"},
      {3, 100, EEXIST, "of another table id"},
      {ZIM_SHM_POOL_UNTYPED, 50, 0, "below the counter, never given"},
      {3, 50, EEXIST, "given just before"},
      {ZIM_SHM_POOL_UNTYPED, drawn, EEXIST, "drawn by an allocation"},
      {ZIM_SHM_POOL_UNTYPED, ZIM_SHM_POOL_LOCAL_IDS, 0, "a local id"},
      {3, ZIM_SHM_POOL_LOCAL_IDS, EEXIST, "a local id given before"},
      {ZIM_SHM_POOL_UNTYPED, UINT64_MAX, 0, "the last local id"},
      {ZIM_SHM_POOL_UNTYPED, 0, EINVAL, "no id"},
      {ZIM_SHM_POOL_MAX_TABLE_ID + 1, 7, EINVAL, "no table id"},
  };
  for (const auto& c : cases) {
    errno = 0;
    auto* obj = static_cast<unsigned char*>(zim_shm_pool_alloc_with_id(c.table_id, 32, c.pool_id));
    EXPECT_EQ(obj == nullptr ? errno : 0, c.err) << c.why;
    if (obj == nullptr) continue;
    EXPECT_EQ(zim_shm_pool_id_of(obj), c.pool_id) << c.why;
    EXPECT_EQ(zim_shm_pool_version_of(obj), 1u) << "under way until its first write_end";
    EXPECT_EQ(zim_shm_pool_writer_of(obj), getpid());
    EXPECT_EQ(std::count(obj, obj + 32, 0), 32);
  }
  EXPECT_EQ(zim_shm_pool_id_of(zim_shm_pool_calloc_untyped(16)), 101u)
      << "drawn past 100, and local ids raise nothing";
}

TEST_F(SoleWriterTest, AGivenIdIsToldToFollowersAndFreedByARetirement) {
  zim_shm_pool_cursor_t cursor;
  ASSERT_EQ(zim_shm_pool_follow(&cursor), 0);
  void* obj = zim_shm_pool_alloc_with_id(3, 24, 777);
  ASSERT_NE(obj, nullptr);
  ASSERT_EQ(zim_shm_pool_write_end(obj), 0);
  zim_shm_pool_change_t change{};
  uint64_t lapped = 0;
  ASSERT_EQ(zim_shm_pool_changes(&cursor, &change, 1, &lapped), 1);
  EXPECT_EQ(change.kind, ZIM_SHM_POOL_CHANGE_CREATED);
  EXPECT_EQ(change.pool_id, 777u);
  ASSERT_EQ(zim_shm_pool_retire(3), 0);
  EXPECT_NE(zim_shm_pool_alloc_with_id(3, 24, 777), nullptr) << "its object was retired";
}

// An allocation with an id killed at each kill point: afterwards one live
// object at most has the id, and a second try makes it or finds it.
TEST_F(SoleWriterTest, AnAllocationWithAnIdKilledAtEachKillPointLeavesOneObjectWithIt) {
  unsigned stop_after = 1;
  for (;; ++stop_after) {
    const uint64_t id = 1000 + 2 * stop_after;  // past the id drawn below
    const pid_t pid = spawn([&] {
      zim_shm_pool_detach();
      if (zim_shm_pool_attach(name_.c_str()) != 0) return 1;
      zim_sim::stop_at_kill_point(stop_after);
      return zim_shm_pool_alloc_with_id(ZIM_SHM_POOL_UNTYPED, 48, id) != nullptr ? 0 : 2;
    });
    if (!kill_when_stopped(pid)) break;
    void* again = zim_shm_pool_alloc_with_id(ZIM_SHM_POOL_UNTYPED, 48, id);
    EXPECT_TRUE(again != nullptr || errno == EEXIST) << "after kill point " << stop_after;
    EXPECT_EQ(carrying(id), 1) << "after kill point " << stop_after;
    EXPECT_EQ(zim_shm_pool_id_of(zim_shm_pool_calloc_untyped(16)), id + 1);
  }
  EXPECT_GT(stop_after, 8u);  // the lock, the undo record, the line, headers, state
}

}  // namespace
