// SPDX-License-Identifier: Apache-2.0
// The shared-memory table pool: carving, limits, other processes, and what an
// offset names: the carved part, block starts, and the root before a server
// set it (a client that fixed up "the object" there would write into the
// allocator's state).

#include <gtest/gtest.h>
#include <zim/sim/shm_pool.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "attach/attach_locks.hpp"
#include "segment/segment.hpp"
#include "sim_test_util.hpp"

namespace zim_sim_test {
namespace {

constexpr uint64_t kPoolSize = 8u << 20;

TEST_F(ShmPoolTest, BlocksAreZeroAlignedInsideAndDisjoint) {
  create(kPoolSize);
  const std::pair<uint32_t, uint64_t> requests[] = {{2, 1},
                                                    {2, 15},
                                                    {2, 16},
                                                    {1, 17},
                                                    {342, 100},
                                                    {ZIM_SHM_POOL_MAX_TABLE_ID, 100},
                                                    {7, 4096},
                                                    {7, kChunk},
                                                    {7, kChunk + 1},
                                                    {2, 3 * kChunk},
                                                    {2, 1},
                                                    {ZIM_SHM_POOL_UNTYPED, 100},
                                                    {ZIM_SHM_POOL_UNTYPED, kChunk + 1}};
  for (const auto& [table_id, size] : requests) {
    auto* p = static_cast<unsigned char*>(pool_calloc(table_id, size));
    ASSERT_NE(p, nullptr) << table_id << ":" << size;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    EXPECT_GE(zim_shm_pool_offset_of(p), ZIM_SHM_POOL_HEADER_SIZE);
    EXPECT_LE(zim_shm_pool_offset_of(p) + size, kPoolSize);
    EXPECT_EQ(fill_of(p, size), 0);  // also no overlap with the blocks before, all 0xa5
    std::memset(p, 0xa5, size);
  }
  // Unusable requests: no block and no bookkeeping.
  const std::pair<uint32_t, uint64_t> unusable[] = {{ZIM_SHM_POOL_MAX_TABLE_ID + 1, 16},
                                                    {UINT32_MAX, 16},
                                                    {ZIM_SHM_POOL_UNTYPED - 1, 16},
                                                    {5, 0},
                                                    {5, kPoolSize + 1},
                                                    {5, UINT64_MAX},
                                                    {ZIM_SHM_POOL_UNTYPED, 0},
                                                    {ZIM_SHM_POOL_UNTYPED, kPoolSize + 1}};
  for (const auto& [table_id, size] : unusable) {
    EXPECT_EQ(pool_calloc(table_id, size), nullptr) << table_id << ":" << size;
  }
  EXPECT_EQ(zim_shm_table_pool_calloc(ZIM_SHM_POOL_UNTYPED, 16), nullptr) << "no table id";
  EXPECT_EQ(zim_shm_pool_table_blocks(5), 0u);
  EXPECT_EQ(zim_shm_pool_table_blocks(ZIM_SHM_POOL_UNTYPED), 2u);
  EXPECT_EQ(zim_shm_pool_table_bytes(ZIM_SHM_POOL_UNTYPED), 112u + kChunk + 16);
}

TEST_F(ShmPoolTest, EachTableIdBumpAllocatesInItsOwnChunks) {
  create(kPoolSize);
  auto* a1 = static_cast<char*>(zim_shm_table_pool_calloc(1, 24));
  auto* b1 = static_cast<char*>(zim_shm_table_pool_calloc(2, 16));
  auto* a2 = static_cast<char*>(zim_shm_table_pool_calloc(1, 16));
  auto* big = static_cast<char*>(zim_shm_table_pool_calloc(1, kChunk + 1));
  auto* a3 = static_cast<char*>(zim_shm_table_pool_calloc(1, 16));
  ASSERT_TRUE(a1 && b1 && a2 && big && a3);
  EXPECT_EQ(a2, a1 + 32 + kHeader) << "table 2's block must not land in table 1's chunk";
  EXPECT_EQ(a3, a2 + 16 + kHeader) << "a run of its own must leave the chunk in use";
  EXPECT_TRUE(b1 < a1 || b1 >= a1 + kChunk);
  EXPECT_EQ(zim_shm_pool_table_bytes(1), 32 + 16 + (kChunk + 16) + 16);
  EXPECT_EQ(zim_shm_pool_table_blocks(1), 4u);
  EXPECT_EQ(zim_shm_pool_table_bytes(2), 16u);
}

TEST_F(ShmPoolTest, ExhaustedPoolReturnsNull) {
  // The configuration and an id page, a full chunk and a short one before the
  // start map; kA and the ids after it have no layout note in this program.
  constexpr uint32_t kA = 5000;
  constexpr uint64_t kRecords = kConfigRecord + kHeader + sizeof(zim_sim::IdPage);
  constexpr uint64_t kSize = ZIM_SHM_POOL_HEADER_SIZE + kRecords + kChunk + 1024 + 624;
  static_assert(kSize - ZIM_SHM_POOL_START_MAP_SIZE(kSize) == kSize - 624);
  create(kSize);
  EXPECT_EQ(zim_shm_table_pool_calloc(kA + 1, kChunk + 2048), nullptr)
      << "run larger than the rest";
  EXPECT_NE(zim_shm_table_pool_calloc(kA, kChunk - kHeader), nullptr);
  EXPECT_EQ(zim_shm_table_pool_calloc(kA + 1, 2048), nullptr) << "short chunk too small";
  EXPECT_NE(zim_shm_table_pool_calloc(kA + 1, 1024 - kHeader), nullptr)
      << "short chunk fits exactly";
  for (uint32_t table_id : {kA, kA + 1, kA + 2})
    EXPECT_EQ(zim_shm_table_pool_calloc(table_id, 1), nullptr);
  EXPECT_EQ(zim_shm_pool_table_bytes(kA), kChunk - kHeader);
  EXPECT_EQ(zim_shm_pool_table_bytes(kA + 1), 1024 - kHeader);
}

TEST_F(ShmPoolTest, CreateAndAttachReportErrorsAndALivePoolKeepsItsName) {
  const std::string pid = std::to_string(getpid());
  const std::string long_name = "/" + std::string(255, 'x');
  for (const char* name : {"noslash", "/", "/a/b", "/.", "/..", long_name.c_str()}) {
    EXPECT_TRUE(zim_shm_pool_create(name, kPoolSize) == -1 && errno == EINVAL) << name;
    EXPECT_TRUE(zim_shm_pool_attach(name) == -1 && errno == EINVAL) << name;
  }
  EXPECT_TRUE(zim_shm_pool_create(name_.c_str(), ZIM_SHM_POOL_MIN_SIZE - 1) == -1 &&
              errno == EINVAL);
  EXPECT_TRUE(zim_shm_pool_attach(name_.c_str()) == -1 && errno == ENOENT);

  // A stale pool (its creator killed) is anyone's to destroy, and replaced.
  ASSERT_TRUE(leave_stale_pool(name_) && zim_shm_pool_attach(name_.c_str()) == 0);
  EXPECT_TRUE(zim_shm_pool_destroy() == 0 && !shm_exists(name_));
  ASSERT_TRUE(leave_stale_pool(name_));
  create(ZIM_SHM_POOL_MIN_SIZE);
  EXPECT_EQ(zim_shm_pool_size(), ZIM_SHM_POOL_MIN_SIZE);
  const uint64_t room = 32768 - ZIM_SHM_POOL_START_MAP_SIZE(ZIM_SHM_POOL_MIN_SIZE) - kHeader -
                        kConfigRecord - kHeader - sizeof(zim_sim::IdPage);
  void* p = zim_shm_table_pool_calloc(5000, room);  // an id without a layout note here
  EXPECT_TRUE(p != nullptr && fill_of(p, room) == 0);

  EXPECT_TRUE(zim_shm_pool_create(name_.c_str(), kPoolSize) == -1 && errno == EBUSY);
  EXPECT_TRUE(zim_shm_pool_attach(name_.c_str()) == -1 && errno == EBUSY);
  // Nor can another process, nor destroy it: this one's child (which does not own the pool,
  // so its exit leaves it) with the mapping it inherited, then as a client.
  GTEST_FLAG_SET(death_test_style, "fast");
  const auto refused = [] { return zim_shm_pool_destroy() == -1 && errno == EPERM; };
  EXPECT_EXIT(std::exit(refused() && zim_shm_pool_create(name_.c_str(), kPoolSize) == -1 &&
                        errno == EEXIST && zim_shm_pool_attach(name_.c_str()) == 0 && refused()),
              ::testing::ExitedWithCode(1),
              "cannot destroy the pool \"" + name_ + "\": it belongs to process " + pid +
                  ", which is alive(.|\n)*the name belongs to the live pool of process " + pid +
                  "(.|\n)*cannot destroy the pool");
  EXPECT_TRUE(shm_exists(name_));
  zim_shm_pool_detach();
  EXPECT_FALSE(shm_exists(name_)) << "the creator's detach removes the name";
  EXPECT_EQ(zim_shm_pool_base(), nullptr);
}

// A client process finds the server's block at another address and allocates in turn.
TEST_F(ShmPoolTest, SecondProcessAttachesAtAnotherAddress) {
  create(kPoolSize);
  void* base = zim_shm_pool_base();
  auto* shared = static_cast<uint64_t*>(zim_shm_table_pool_calloc(6, 64));
  shared[0] = 0x1122334455667788u;
  zim_shm_pool_set_root(zim_shm_pool_offset_of(shared));
  ASSERT_EQ(run_in_child([&] {
              if (zim_shm_pool_attach(name_.c_str()) != 0) return 10;
              auto* seen = static_cast<uint64_t*>(zim_shm_pool_at(zim_shm_pool_root()));
              if (zim_shm_pool_base() == base || seen == shared) return 11;
              if (seen[0] != 0x1122334455667788u) return 12;
              auto* mine = static_cast<uint64_t*>(zim_shm_table_pool_calloc(5, 100));
              mine[0] = 42;
              seen[1] = zim_shm_pool_offset_of(mine);
              zim_shm_pool_detach();  // must leave the creator's name alone
              return 0;
            }),
            0);
  EXPECT_TRUE(shm_exists(name_));
  EXPECT_EQ(*static_cast<uint64_t*>(zim_shm_pool_at(shared[1])), 42u);
  EXPECT_EQ(zim_shm_pool_offset_of(static_cast<char*>(base) + kPoolSize), ZIM_SHM_POOL_BAD_OFFSET);
  EXPECT_EQ(zim_shm_pool_offset_of(static_cast<char*>(base) - 1), ZIM_SHM_POOL_BAD_OFFSET);
  EXPECT_EQ(zim_shm_pool_table_bytes(5), 112u);
}

// The attachers' locks name who attached in each epoch, for as long as they
// map the pool; an adoption begins the next epoch.
TEST_F(ShmPoolTest, AttachLocksNameWhoAttachedBeforeAnAdoption) {
  create(kPoolSize);
  int ready[2], go[2];
  ASSERT_TRUE(pipe(ready) == 0 && pipe(go) == 0);
  const auto attacher = [&](bool detach) {
    return spawn([&, detach] {
      close(go[1]);  // each waits for the test to close its end
      char c = zim_shm_pool_attach(name_.c_str()) == 0 ? 'y' : 'n';
      if (detach) zim_shm_pool_detach();
      return write(ready[1], &c, 1) == 1 && read(go[0], &c, 1) == 0 ? 0 : 1;
    });
  };
  const auto attached = [&](int n) {
    char c = 'y';
    while (n-- > 0 && c == 'y') {
      if (read(ready[0], &c, 1) != 1) return false;
    }
    return c == 'y';
  };
  std::vector<pid_t> before = {attacher(false), attacher(false)};
  const pid_t detached = attacher(true);
  ASSERT_TRUE(attached(3));
  ASSERT_EQ(zim_shm_pool_hand_over(), 0);
  ASSERT_EQ(zim_shm_pool_adopt(name_.c_str()), 0);
  const pid_t after = attacher(false);
  ASSERT_TRUE(attached(1));
  const int fd = shm_open(name_.c_str(), O_RDONLY, 0);
  std::sort(before.begin(), before.end());
  EXPECT_EQ(zim_sim::attached_before(fd, 1), before);
  EXPECT_TRUE(zim_sim::attached_before(fd, 0).empty());
  std::vector<pid_t> all = before;
  all.insert(std::upper_bound(all.begin(), all.end(), after), after);
  EXPECT_EQ(zim_sim::attached_before(fd, 2), all);
  for (int end : {go[1], ready[1]}) close(end);
  for (const pid_t pid : {before[0], before[1], detached, after}) EXPECT_EQ(wait_exit(pid), 0);
  EXPECT_TRUE(zim_sim::attached_before(fd, 2).empty()) << "an attacher's end drops its lock";
  // The kernel names one lock of a range, not the lowest: locks taken here,
  // each through a descriptor of its own, highest first.
  std::vector<int> fds;
  for (const auto& [epoch, pid] : {std::pair{2u, 7}, {1u, 300}, {0u, 200}, {0u, 100}}) {
    fds.push_back(shm_open(name_.c_str(), O_RDONLY, 0));
    struct flock lock = {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = zim_sim::attach_lock_offset(epoch, pid);
    lock.l_len = 1;
    ASSERT_EQ(fcntl(fds.back(), F_OFD_SETLK, &lock), 0);
  }
  EXPECT_EQ(zim_sim::attached_before(fd, 2), (std::vector<pid_t>{100, 200, 300}));
  for (int end : fds) close(end);
  for (int end : {fd, go[0], ready[0]}) close(end);
}

// Uids drawn before there is a pool must not come again from it either.
TEST_F(ShmPoolTest, ConcurrentCallersGetDisjointBlocksAndUniqueUids) {
  constexpr int kCallers = 5, kPerCaller = 2000;  // caller 0 is the other process
  constexpr int kCalls = kCallers * kPerCaller;
  struct Draws {
    uint64_t offsets[kCalls];
    uint32_t uids[2 * kCalls];  // before there is a pool, then in it
  };
  auto* d = shared_zeroed<Draws>();
  ASSERT_TRUE(d != nullptr && zim_shm_pool_base() == nullptr);
  in_threads(0, kCallers, [d](int caller) {
    for (int i = 0; i < kPerCaller; ++i) d->uids[caller * kPerCaller + i] = qor_getuid();
  });
  create(32u << 20);
  const auto size_of = [](int caller, int i) { return uint64_t(1 + (caller * 7 + i * 13) % 300); };
  const auto table_of = [](int caller, int i) { return uint32_t(i % 2 ? 10 + caller : 100); };
  const auto run = [&](int caller) {
    for (int i = 0; i < kPerCaller; ++i) {
      void* p = zim_shm_table_pool_calloc(table_of(caller, i), size_of(caller, i));
      d->offsets[caller * kPerCaller + i] = zim_shm_pool_offset_of(p);
      d->uids[kCalls + caller * kPerCaller + i] = qor_getuid();
    }
  };
  const pid_t child = spawn([&] { return run(0), 0; });
  in_threads(1, kCallers, run);
  ASSERT_EQ(wait_exit(child), 0);

  std::vector<Piece> pieces;
  uint64_t bytes[ZIM_NUM_TABLE_TYPES] = {};
  for (int caller = 0; caller < kCallers; ++caller) {
    for (int i = 0; i < kPerCaller; ++i) {
      pieces.push_back({d->offsets[caller * kPerCaller + i], size_of(caller, i), 0, 0});
      bytes[table_of(caller, i)] += (size_of(caller, i) + 15) / 16 * 16;
    }
  }
  EXPECT_TRUE(disjoint_within(pieces, ZIM_SHM_POOL_HEADER_SIZE, 32u << 20));
  for (uint32_t id = 0; id < ZIM_NUM_TABLE_TYPES; ++id) {
    EXPECT_EQ(zim_shm_pool_table_bytes(id), bytes[id]) << id;
  }
  uint32_t* const uids = d->uids;
  std::sort(uids, uids + 2 * kCalls);
  EXPECT_NE(uids[0], 0u);
  EXPECT_EQ(std::adjacent_find(uids, uids + 2 * kCalls), uids + 2 * kCalls) << "duplicate uid";
}

// Only the first byte of a block handed out is a block start, whatever the
// bytes around it hold; zim_shm_pool_at gives only the carved part.
TEST_F(ShmPoolTest, BlockStartsAndTheCarvedPart) {
  EXPECT_EQ(zim_shm_pool_block_at(ZIM_SHM_POOL_HEADER_SIZE + kHeader, nullptr, nullptr), nullptr);
  create(kPoolSize);
  const uint64_t a = zim_shm_pool_offset_of(zim_shm_table_pool_calloc(6, 40));
  const uint64_t b = zim_shm_pool_offset_of(zim_shm_table_pool_calloc(6, 1));
  const uint64_t untyped = zim_shm_pool_offset_of(zim_shm_pool_calloc_untyped(24));
  const uint64_t run = zim_shm_pool_offset_of(zim_shm_table_pool_calloc(5, kChunk + 100));
  auto* forger = static_cast<uint64_t*>(zim_shm_table_pool_calloc(7, 64));
  forger[2] = zim_sim::block_tag(2);  // a block header of table id 2 and 16 bytes
  forger[3] = 16;
  // Behind the pool's own records: the configuration, an id page, layout records.
  const uint64_t carve = static_cast<zim_sim::PoolHeader*>(zim_shm_pool_base())->carve;
  ASSERT_EQ(carve, zim_shm_pool_offset_of(forger) - kHeader + kChunk);
  constexpr uint32_t kNone = UINT32_MAX;  // no block starts there
  const struct {
    uint64_t offset;
    bool carved;
    uint32_t table_id;
    uint64_t size;
  } cases[] = {
      {a, true, 6, 40},
      {b, true, 6, 1},
      {untyped, true, ZIM_SHM_POOL_UNTYPED, 24},
      {run, true, 5, kChunk + 100},
      {a + 16, true, kNone, 0},  // inside a block
      {a + 1, true, kNone, 0},
      {b - kHeader, true, kNone, 0},
      {zim_shm_pool_offset_of(forger) + 32, true, kNone, 0},
      {ZIM_SHM_POOL_HEADER_SIZE, true, kNone, 0},
      {0, false, kNone, 0},  // root 0: nothing published
      {ZIM_SHM_POOL_HEADER_SIZE - 16, false, kNone, 0},
      {carve - 16, true, kNone, 0},
      {carve, false, kNone, 0},
      {kPoolSize - 16, false, kNone, 0},  // the start map
      {UINT64_MAX, false, kNone, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    EXPECT_EQ(zim_shm_pool_at(c.offset) != nullptr, c.carved);
    uint32_t table_id = kNone;
    uint64_t size = 0;
    void* p = zim_shm_pool_block_at(c.offset, &table_id, &size);
    EXPECT_TRUE(p == (c.table_id == kNone ? nullptr : zim_shm_pool_at(c.offset)) &&
                table_id == c.table_id && size == c.size);
  }
  EXPECT_EQ(zim_shm_pool_block_at(a, nullptr, nullptr), zim_shm_pool_at(a)) << "no outputs";
  EXPECT_EQ(zim_shm_pool_at(zim_shm_pool_root()), nullptr) << "a root not set names nothing";
}

}  // namespace
}  // namespace zim_sim_test
