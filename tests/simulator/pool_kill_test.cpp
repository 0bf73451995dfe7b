// SPDX-License-Identifier: Apache-2.0
// Writers killed in a versioned pool, seen by a follower in another process:
// at every kill point of a script that passes through each store of
// write_begin, write_end, the feed's append and an index insert and removal,
// and at random points of a stress of many writes. After each death: no torn
// object is ever copied as whole, no reader waits long once the death is
// reaped, every later change reaches the follower in order, and the index
// and the feed are consistent.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zim/sim/pool_versions.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>

#include "sim_test_util.hpp"
#include "versions/versions.hpp"

namespace {

using namespace zim_sim_test;
using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

constexpr uint32_t kTable = 11;
constexpr int kObjects = 4;
constexpr uint64_t kWords = 8;  // an object's words: whole when all are equal
// A reader may not wait past this after a writer's death is reaped; the
// pool's promise is 10 ms, the bound leaves room for a loaded machine.
constexpr auto kReaderBound = std::chrono::milliseconds(100);

class PoolKillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = unique_pool_name();
    const zim_shm_pool_options_t options{1, 0, 4096, 64};
    ASSERT_EQ(zim_shm_pool_create_with(name_.c_str(), 1u << 20, &options), 0);
    for (int i = 0; i < kObjects; ++i) {
      auto* obj = static_cast<uint64_t*>(zim_shm_table_pool_calloc(kTable, kWords * 8));
      ASSERT_NE(obj, nullptr);
      std::fill(obj, obj + kWords, uint64_t(i));
      ASSERT_EQ(zim_shm_pool_write_end(obj), 0);
      ASSERT_EQ(zim_shm_pool_index_put(kTable, uint64_t(i), obj, nullptr), 0);
      offsets_[i] = zim_shm_pool_offset_of(obj);
    }
    ASSERT_EQ(zim_shm_pool_follow(&cursor_), 0);
    cursor_.patience_us = 50'000;
  }
  void TearDown() override {
    zim_shm_pool_detach();
    if (reader_max_ != microseconds(0)) {
      std::printf(
          "the longest read or lookup after a writer's death took %lld us; %u copies torn\n",
          static_cast<long long>(reader_max_.count()), torn_);
    }
  }

  // Runs fn in a child that maps the pool and stops at kill point `point`,
  // where it is killed and reaped: true, or false when it ended first.
  template <typename Fn>
  bool killed_at(unsigned point, Fn fn) {
    const pid_t pid = spawn([&] {
      zim_shm_pool_detach();
      if (zim_shm_pool_attach(name_.c_str()) != 0) return 1;
      zim_sim::stop_at_kill_point(point);
      fn();
      return 0;
    });
    int status = 0;
    if (waitpid(pid, &status, WUNTRACED) != pid) return false;
    if (!WIFSTOPPED(status)) return false;
    kill(pid, SIGKILL);
    return waitpid(pid, nullptr, 0) == pid;
  }

  // Copies every object as a reader would, and looks up its key, timing
  // each: a copy is whole, or the object is torn (EOWNERDEAD), never busy;
  // each key still leads to its object, whatever the index writer left.
  void read_all_after_death() {
    for (int i = 0; i < kObjects; ++i) {
      const auto start = Clock::now();
      const void* found = zim_shm_pool_index_get(kTable, uint64_t(i));
      const auto took = std::chrono::duration_cast<microseconds>(Clock::now() - start);
      reader_max_ = std::max(reader_max_, took);
      EXPECT_LT(took, kReaderBound);
      EXPECT_EQ(found, zim_shm_pool_at(offsets_[i])) << "key " << i;
    }
    for (const uint64_t at : offsets_) {
      const auto* obj = static_cast<const uint64_t*>(zim_shm_pool_at(at));
      uint64_t version = 0, copy[kWords];
      const auto start = Clock::now();
      const int rc = zim_shm_pool_read_begin(obj, &version);
      const int err = errno;
      std::copy(obj, obj + kWords, copy);
      const bool whole = rc == 0 && zim_shm_pool_read_end(obj, version) == 0;
      const auto took = std::chrono::duration_cast<microseconds>(Clock::now() - start);
      reader_max_ = std::max(reader_max_, took);
      EXPECT_LT(took, kReaderBound);
      if (rc != 0) {
        EXPECT_EQ(err, EOWNERDEAD) << "offset " << at;
        ++torn_;
      }
      if (whole) {
        EXPECT_TRUE(std::all_of(copy, copy + kWords, [&](uint64_t w) { return w == copy[0]; }))
            << "a torn object copied as whole at offset " << at;
      }
    }
  }

  // The next writer: rewrites every object whole (taking torn ones over) and
  // puts its key again; the follower gets every sequence once, in order, and
  // these changes last; the index is consistent with every key found.
  void next_writer_and_follower(uint64_t value) {
    for (int i = 0; i < kObjects; ++i) {
      auto* obj = static_cast<uint64_t*>(zim_shm_pool_at(offsets_[i]));
      ASSERT_GE(zim_shm_pool_write_begin(obj), 0);
      std::fill(obj, obj + kWords, value);
      ASSERT_EQ(zim_shm_pool_write_end(obj), 0);
      ASSERT_GE(zim_shm_pool_index_put(kTable, uint64_t(i), obj, nullptr), 0);
    }
    zim_shm_pool_cursor_t end{};
    ASSERT_EQ(zim_shm_pool_follow(&end), 0);
    // A sequence the dead writer drew and never claimed is lost after the
    // follower's patience: read until the last change, however long that is.
    std::vector<zim_shm_pool_change_t> changes;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (cursor_.next < end.next && Clock::now() < deadline) {
      zim_shm_pool_change_t batch[64];
      uint64_t lapped = 0;
      const int n = zim_shm_pool_changes(&cursor_, batch, 64, &lapped);
      ASSERT_GE(n, 0);
      ASSERT_EQ(lapped, 0u);
      changes.insert(changes.end(), batch, batch + n);
      if (n == 0) zim_shm_pool_wait(&cursor_, 100'000);
    }
    ASSERT_EQ(cursor_.next, end.next);
    for (size_t i = 1; i < changes.size(); ++i) {
      ASSERT_EQ(changes[i].sequence, changes[i - 1].sequence + 1);
    }
    ASSERT_GE(changes.size(), size_t{2 * kObjects});
    const zim_shm_pool_change_t* last = &changes[changes.size() - 2 * kObjects];
    for (int i = 0; i < kObjects; ++i) {
      EXPECT_EQ(last[2 * i].kind, ZIM_SHM_POOL_CHANGE_CHANGED);
      EXPECT_EQ(last[2 * i].offset, offsets_[i]);
      EXPECT_EQ(last[2 * i + 1].kind, ZIM_SHM_POOL_CHANGE_INDEXED);
      EXPECT_EQ(zim_shm_pool_index_get(kTable, uint64_t(i)), zim_shm_pool_at(offsets_[i]));
    }
    zim_sim::PoolHeader* hdr = nullptr;
    zim_sim::PoolRooms rooms;
    ASSERT_TRUE(zim_sim::mapped_rooms(&hdr, &rooms));
    EXPECT_EQ(zim_sim::index_check(rooms.index), "");
  }

  std::string name_;
  uint64_t offsets_[kObjects] = {};
  zim_shm_pool_cursor_t cursor_{};
  microseconds reader_max_{0};
  unsigned torn_ = 0;  // copies refused as torn
};

// One of each: a write of an object, a new key and a removal of another.
void script(uint64_t at, uint64_t value) {
  auto* obj = static_cast<uint64_t*>(zim_shm_pool_at(at));
  if (zim_shm_pool_write_begin(obj) < 0) return;
  std::fill(obj, obj + kWords, value);
  zim_shm_pool_write_end(obj);
  zim_shm_pool_index_put(kTable, 100, obj, nullptr);
  zim_shm_pool_index_remove(kTable, 100);
}

TEST_F(PoolKillTest, AWriterKilledAtEveryStoreOfAWriteAndAnIndexChange) {
  unsigned point = 1;
  for (; killed_at(point, [&] { script(offsets_[0], 1000 + point); }); ++point) {
    read_all_after_death();
    next_writer_and_follower(2000 + point);
    if (HasFatalFailure()) return;
  }
  // Two brackets, two appends, an insert and a removal: dozens of stores.
  EXPECT_GT(point, 20u);
  EXPECT_GT(torn_, 0u);  // some deaths fell inside the write
  std::printf("killed at each of %u points\n", point - 1);
}

TEST_F(PoolKillTest, WritersKilledAtRandomDuringManyWrites) {
  std::mt19937 random(20261210);
  std::uniform_int_distribution<unsigned> points(1, 600);
  for (int round = 0; round < 16; ++round) {
    const unsigned point = points(random);
    const auto writes = [&] {
      for (uint64_t w = 0;; ++w) {
        auto* obj = static_cast<uint64_t*>(zim_shm_pool_at(offsets_[w % kObjects]));
        if (zim_shm_pool_write_begin(obj) < 0) continue;
        std::fill(obj, obj + kWords, w * 1000 + round);
        zim_shm_pool_write_end(obj);
        if (w % 3 == 0) zim_shm_pool_index_put(kTable, w % kObjects, obj, nullptr);
      }
    };
    ASSERT_TRUE(killed_at(point, writes)) << point;
    read_all_after_death();
    next_writer_and_follower(uint64_t(round) << 32);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(torn_, 0u);
}

}  // namespace
