// SPDX-License-Identifier: Apache-2.0
// Following a versioned pool through its public API, across processes: a
// writer killed between drawing a sequence and publishing it reads as lost
// and later changes follow, damaged rooms are refused, and waiting for an
// attachable pool; writers killed at every store of their calls (below).
// Changes in order and laps are the tool's follow test's, and the resync
// test's, through the same calls.
#include <gtest/gtest.h>
#include <zim/sim/pool_upgrade.h>
#include <zim/sim/pool_versions.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "attach/attach_gate.hpp"
#include "sim_test_util.hpp"
#include "versions/versions.hpp"

namespace {

using namespace zim_sim_test;
using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr uint32_t kTable = 7;

class PoolFollowTest : public ::testing::Test {
 protected:
  void make_pool(uint64_t feed_capacity, uint64_t index_capacity) {
    name_ = unique_pool_name();
    const zim_shm_pool_options_t options{1, 0, feed_capacity, index_capacity};
    ASSERT_EQ(zim_shm_pool_create_with(name_.c_str(), 1u << 20, &options), 0);
    ASSERT_EQ(zim_shm_pool_follow(&cursor_), 0);
  }
  void TearDown() override { zim_shm_pool_detach(); }

  // Runs fn in a child that attaches the pool by name. With stop_after, the
  // child stops at that kill point after fn's setup part and is killed there:
  // true when it stopped, false when it ended first.
  template <typename Fn>
  bool in_writer(Fn fn, unsigned stop_after = 0) {
    const pid_t pid = spawn([&] {
      zim_shm_pool_detach();
      if (zim_shm_pool_attach(name_.c_str()) != 0) return 1;
      return fn(stop_after);
    });
    return stop_after == 0 ? wait_exit(pid) == 0 : kill_when_stopped(pid);
  }

  // Every change until `count` were read or `within` passed, waiting between.
  std::vector<zim_shm_pool_change_t> read_changes(size_t count, milliseconds within) {
    std::vector<zim_shm_pool_change_t> all;
    const auto deadline = Clock::now() + within;
    while (all.size() < count && Clock::now() < deadline) {
      zim_shm_pool_change_t batch[16];
      uint64_t lapped = 0;
      const int n = zim_shm_pool_changes(&cursor_, batch, 16, &lapped);
      EXPECT_GE(n, 0);
      EXPECT_EQ(lapped, 0u);
      all.insert(all.end(), batch, batch + (n > 0 ? n : 0));
      if (n == 0) zim_shm_pool_wait(&cursor_, 20'000);
    }
    return all;
  }

  std::string name_;
  zim_shm_pool_cursor_t cursor_{};
};

TEST_F(PoolFollowTest, AWriterKilledBetweenDrawAndPublishIsLostThenLaterChangesFollow) {
  const struct {
    unsigned stop_after;  // kill points of write_end
    bool claimed;         // the slot is the dead writer's: lost without the patience
  } cases[] = {{1, false}, {2, false}, {3, true}, {4, true}};
  make_pool(64, 16);
  void* obj = zim_shm_pool_calloc_untyped(32);
  ASSERT_EQ(zim_shm_pool_write_end(obj), 0);
  ASSERT_EQ(zim_shm_pool_follow(&cursor_), 0);  // past its creation
  const uint64_t at = zim_shm_pool_offset_of(obj);
  for (const auto& c : cases) {
    cursor_.patience_us = 300'000;
    const uint64_t sequence = cursor_.next;
    ASSERT_TRUE(in_writer(
        [at](unsigned stop_after) {
          void* mine = zim_shm_pool_at(at);
          if (zim_shm_pool_write_begin(mine) != 0) return 2;
          zim_sim::stop_at_kill_point(stop_after);
          zim_shm_pool_write_end(mine);
          return 0;
        },
        c.stop_after))
        << c.stop_after;
    const auto start = Clock::now();
    auto changes = read_changes(1, milliseconds(2000));
    const auto waited = Clock::now() - start;
    ASSERT_EQ(changes.size(), 1u) << c.stop_after;
    EXPECT_EQ(changes[0].sequence, sequence);
    EXPECT_EQ(changes[0].kind, ZIM_SHM_POOL_CHANGE_LOST) << c.stop_after;
    if (c.claimed) {
      EXPECT_LT(waited, milliseconds(100)) << c.stop_after;
    }
    // The object is whole once the version was stored, else torn; either way
    // the next write publishes as usual.
    const int begun = zim_shm_pool_write_begin(obj);
    EXPECT_EQ(begun, c.stop_after >= 4 ? 0 : 1) << c.stop_after;
    ASSERT_EQ(zim_shm_pool_write_end(obj), 0);
    changes = read_changes(1, milliseconds(1000));
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].sequence, sequence + 1);
    EXPECT_EQ(changes[0].kind, ZIM_SHM_POOL_CHANGE_CHANGED);
  }
}

TEST_F(PoolFollowTest, APoolTooSmallForItsFeedAndIndexIsNotCreated) {
  const std::string name = unique_pool_name();
  const zim_shm_pool_options_t options{1, 0, 64, 1u << 20};  // an index of 128 MiB
  EXPECT_EQ(zim_shm_pool_create_with(name.c_str(), 1u << 20, &options), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_FALSE(shm_exists(name));
  EXPECT_EQ(zim_shm_pool_base(), nullptr);
}

TEST_F(PoolFollowTest, DamagedRoomsAreRefusedWithTheirReason) {
  make_pool(64, 16);
  auto* hdr = static_cast<zim_sim::PoolHeader*>(zim_shm_pool_base());
  zim_sim::VersionState& state = zim_sim::version_state(hdr);
  auto word = [hdr](uint64_t at) {
    return reinterpret_cast<uint64_t*>(reinterpret_cast<char*>(hdr) + at);
  };
  const struct {
    uint64_t* word;
    uint64_t value;
    const char* message;
  } cases[] = {
      {&state.feed, state.feed + 16, "feed is damaged: no record at offset"},
      {&state.index, state.feed, "index is damaged: no record at offset"},
      {word(state.feed), 0, "feed is damaged"},                         // its magic
      {word(state.feed + 16), 12, "feed is damaged"},                   // its capacity
      {word(state.index + 16), uint64_t{1} << 40, "index is damaged"},  // its capacity
  };
  for (const auto& c : cases) {
    const uint64_t kept = *c.word;
    *c.word = c.value;
    // In a child, whose stderr the test reads; the segment is shared.
    const auto [status, err] = run_in_child_stderr([] {
      zim_shm_pool_cursor_t cursor;
      if (zim_shm_pool_follow(&cursor) != -1 || errno != EINVAL) return 1;
      if (zim_shm_pool_index_get(kTable, 1) != nullptr || errno != EINVAL) return 2;
      return zim_shm_pool_write_end(zim_shm_pool_calloc_untyped(16)) == -1 ? 0 : 3;
    });
    *c.word = kept;
    EXPECT_EQ(status, 0) << c.message;
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
  }
  zim_shm_pool_cursor_t cursor;
  EXPECT_EQ(zim_shm_pool_follow(&cursor), 0);
}

// The attach gate: zim_shm_pool_wait_attachable's answers, and a sleeper
// that another process wakes well before its timeout.
TEST_F(PoolFollowTest, WaitingForAnAttachablePoolAnswersAndWakesAcrossProcesses) {
  make_pool(64, 16);
  auto* hdr = static_cast<zim_sim::PoolHeader*>(zim_shm_pool_base());
  const std::string stranger = unique_pool_name();
  const std::vector<char> garbage(ZIM_SHM_POOL_MIN_SIZE, 'z');
  ASSERT_TRUE(put_segment(stranger, garbage.data(), garbage.size()));
  const struct {
    std::string name;
    uint32_t gate;
    uint64_t migration;
    int err;  // 0: attachable
  } cases[] = {
      {name_, 0, 0, 0},
      {name_, 1, 0, ETIMEDOUT},     // handed over, the successor not yet migrated
      {name_, 0, 4096, ETIMEDOUT},  // a migration under way
      {"no-slash", 0, 0, EINVAL},
      {stranger, 0, 0, EINVAL},
      {unique_pool_name(), 0, 0, ENOENT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " " + std::to_string(c.gate) + " " + std::to_string(c.migration));
    hdr->attach_gate.store(c.gate);
    hdr->migration.store(c.migration);
    const auto start = Clock::now();
    const int rc = zim_shm_pool_wait_attachable(c.name.c_str(), 20'000);
    EXPECT_EQ(rc == 0 ? 0 : errno, c.err);
    EXPECT_EQ(rc, c.err == 0 ? 0 : -1);
    if (c.err == ETIMEDOUT) {
      EXPECT_GE(Clock::now() - start, milliseconds(20));
    }
  }
  hdr->migration.store(0);
  shm_unlink(stranger.c_str());
  // Closed, then opened by another process: the sleeper wakes at once.
  zim_sim::close_attach_gate(hdr);
  const pid_t opener = spawn([hdr] {
    usleep(50'000);
    zim_sim::open_attach_gate(hdr);
    return 0;
  });
  const auto start = Clock::now();
  EXPECT_EQ(zim_shm_pool_wait_attachable(name_.c_str(), 20'000'000), 0);
  EXPECT_LT(Clock::now() - start, milliseconds(5000));
  EXPECT_EQ(wait_exit(opener), 0);
}

// Writers killed in a versioned pool, seen by a follower in another process:
// at every kill point of a script that passes through each store of
// write_begin, write_end, the feed's append and an index insert and removal,
// and at random points of a stress of many writes. After each death: no torn
// object is ever copied as whole, no reader waits long once the death is
// reaped, every later change reaches the follower in order, and the index
// and the feed are consistent.
constexpr uint32_t kKilledTable = 11;
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
      auto* obj = static_cast<uint64_t*>(zim_shm_table_pool_calloc(kKilledTable, kWords * 8));
      ASSERT_NE(obj, nullptr);
      std::fill(obj, obj + kWords, uint64_t(i));
      ASSERT_EQ(zim_shm_pool_write_end(obj), 0);
      ASSERT_EQ(zim_shm_pool_index_put(kKilledTable, uint64_t(i), obj, nullptr), 0);
      offsets_[i] = zim_shm_pool_offset_of(obj);
    }
    ASSERT_EQ(zim_shm_pool_follow(&cursor_), 0);
    cursor_.patience_us = 50'000;
  }
  void TearDown() override { zim_shm_pool_detach(); }

  // Runs fn in a child that maps the pool and stops at kill point `point`,
  // where it is killed and reaped: true, or false when it ended first.
  template <typename Fn>
  bool killed_at(unsigned point, Fn fn) {
    return kill_when_stopped(spawn([&] {
      zim_shm_pool_detach();
      if (zim_shm_pool_attach(name_.c_str()) != 0) return 1;
      zim_sim::stop_at_kill_point(point);
      fn();
      return 0;
    }));
  }

  // Copies every object as a reader would, and looks up its key, timing
  // each: a copy is whole, or the object is torn (EOWNERDEAD), never busy;
  // each key still leads to its object, whatever the index writer left.
  void read_all_after_death() {
    for (int i = 0; i < kObjects; ++i) {
      const auto start = Clock::now();
      const void* found = zim_shm_pool_index_get(kKilledTable, uint64_t(i));
      const auto took = std::chrono::duration_cast<microseconds>(Clock::now() - start);
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
      ASSERT_GE(zim_shm_pool_index_put(kKilledTable, uint64_t(i), obj, nullptr), 0);
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
      EXPECT_EQ(zim_shm_pool_index_get(kKilledTable, uint64_t(i)), zim_shm_pool_at(offsets_[i]));
    }
    zim_sim::PoolHeader* hdr = nullptr;
    zim_sim::PoolRooms rooms;
    ASSERT_TRUE(zim_sim::mapped_rooms(&hdr, &rooms));
    EXPECT_EQ(zim_sim::index_check(rooms.index), "");
  }

  std::string name_;
  uint64_t offsets_[kObjects] = {};
  zim_shm_pool_cursor_t cursor_{};
  unsigned torn_ = 0;  // copies refused as torn
};

// One of each: a write of an object, a new key and a removal of another.
void script(uint64_t at, uint64_t value) {
  auto* obj = static_cast<uint64_t*>(zim_shm_pool_at(at));
  if (zim_shm_pool_write_begin(obj) < 0) return;
  std::fill(obj, obj + kWords, value);
  zim_shm_pool_write_end(obj);
  zim_shm_pool_index_put(kKilledTable, 100, obj, nullptr);
  zim_shm_pool_index_remove(kKilledTable, 100);
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
        if (w % 3 == 0) zim_shm_pool_index_put(kKilledTable, w % kObjects, obj, nullptr);
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
