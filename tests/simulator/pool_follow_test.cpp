// SPDX-License-Identifier: Apache-2.0
// Following a versioned pool through its public API, across processes: a
// writer's changes reach a follower in order, a follower a ring behind is told,
// a writer killed between drawing a sequence and publishing it reads as lost
// at once, and the index answers every process, full or after a writer died
// inside one of its operations.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zim/sim/pool_upgrade.h>
#include <zim/sim/pool_versions.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "attach/attach_gate.hpp"
#include "sim_test_util.hpp"
#include "versions/versions.hpp"

namespace {

using namespace zim_sim_test;
using Clock = std::chrono::steady_clock;
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
    if (stop_after == 0) return wait_exit(pid) == 0;
    int status = 0;
    if (waitpid(pid, &status, WUNTRACED) != pid) return false;
    if (!WIFSTOPPED(status)) return false;
    kill(pid, SIGKILL);
    return waitpid(pid, nullptr, 0) == pid;
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

// Offsets a writer child hands to the test.
struct Shared {
  uint64_t offsets[64];
};

TEST_F(PoolFollowTest, AWritersChangesReachAFollowerInOrder) {
  make_pool(64, 16);
  auto* shared = shared_zeroed<Shared>();
  constexpr int kObjects = 3, kWrites = 12;
  const uint64_t first = cursor_.next;
  // The follower reads while the writer writes: it sleeps on the futex.
  const pid_t writer = spawn([&] {
    zim_shm_pool_detach();
    if (zim_shm_pool_attach(name_.c_str()) != 0) return 1;
    for (int i = 0; i < kObjects; ++i) {
      shared->offsets[i] = zim_shm_pool_offset_of(pool_calloc(kTable, 64));
    }
    for (int w = 0; w < kWrites; ++w) {
      void* obj = zim_shm_pool_at(shared->offsets[w % kObjects]);
      if (w >= kObjects && zim_shm_pool_write_begin(obj) != 0) return 2;
      if (zim_shm_pool_write_end(obj) != 0) return 3;
    }
    return 0;
  });
  const auto changes = read_changes(kWrites, milliseconds(5000));
  ASSERT_EQ(wait_exit(writer), 0);
  ASSERT_EQ(changes.size(), size_t{kWrites});
  for (int w = 0; w < kWrites; ++w) {
    const zim_shm_pool_change_t& c = changes[w];
    void* obj = zim_shm_pool_at(shared->offsets[w % kObjects]);
    EXPECT_EQ(c.sequence, first + w);
    EXPECT_EQ(c.kind, w < kObjects ? ZIM_SHM_POOL_CHANGE_CREATED : ZIM_SHM_POOL_CHANGE_CHANGED);
    EXPECT_EQ(c.table_id, kTable);
    EXPECT_EQ(c.offset, shared->offsets[w % kObjects]);
    EXPECT_EQ(c.pool_id, zim_shm_pool_id_of(obj));
  }
  // The version each object ended with is twice its last change's sequence.
  for (int i = 0; i < kObjects; ++i) {
    EXPECT_EQ(zim_shm_pool_version_of(zim_shm_pool_at(shared->offsets[i])),
              2 * changes[kWrites - kObjects + i].sequence);
  }
}

TEST_F(PoolFollowTest, AFollowerARingBehindIsToldTheOldestChange) {
  make_pool(5, 16);  // a ring of 8
  const uint64_t first = cursor_.next;
  ASSERT_TRUE(in_writer([](unsigned) {
    void* obj = zim_shm_pool_calloc_untyped(32);
    for (int w = 0; w < 20; ++w) {
      if ((w > 0 && zim_shm_pool_write_begin(obj) != 0) || zim_shm_pool_write_end(obj) != 0) {
        return 2;
      }
    }
    return 0;
  }));
  zim_shm_pool_change_t out[32];
  uint64_t lapped = 0;
  const int n = zim_shm_pool_changes(&cursor_, out, 32, &lapped);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(lapped, first + 12);  // the last 8 of 20 are in the ring
  EXPECT_EQ(cursor_.next, lapped);
  ASSERT_EQ(zim_shm_pool_changes(&cursor_, out, 32, &lapped), 8);
  EXPECT_EQ(lapped, 0u);
  EXPECT_EQ(out[0].sequence, first + 12);
  EXPECT_EQ(out[7].sequence, first + 19);
}

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

}  // namespace
