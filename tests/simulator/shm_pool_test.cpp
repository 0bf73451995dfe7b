// The shared-memory table pool: blocks, carving per table id, limits, a second
// process, concurrency (with the uids), owned names and cleanup.

#include <gtest/gtest.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/test_if.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "sim_test_util.hpp"

namespace {

using zim_sim_test::PoolTest;
using zim_sim_test::run_in_child;
using zim_sim_test::shm_exists;

constexpr uint64_t kChunk = ZIM_SHM_POOL_CHUNK_SIZE;
constexpr uint64_t kHeader = ZIM_SHM_POOL_BLOCK_HEADER_SIZE;
constexpr uint64_t kPoolSize = 8u << 20;

bool all_zero(const void* p, uint64_t n) {
  const auto* bytes = static_cast<const unsigned char*>(p);
  return std::all_of(bytes, bytes + n, [](unsigned char b) { return b == 0; });
}

using ShmPoolTest = PoolTest;

TEST_F(ShmPoolTest, BlocksAreZeroAlignedInsideAndDisjoint) {
  create(kPoolSize);
  const std::pair<uint32_t, uint64_t> requests[] = {
      {0, 1},    {0, 15},     {0, 16},         {1, 17},         {342, 100},
      {7, 4096}, {7, kChunk}, {7, kChunk + 1}, {0, 3 * kChunk}, {0, 1}};
  for (const auto& [table_id, size] : requests) {
    auto* p = static_cast<unsigned char*>(zim_shm_table_pool_calloc(table_id, size));
    ASSERT_NE(p, nullptr) << table_id << ":" << size;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    EXPECT_GE(zim_shm_pool_offset_of(p), ZIM_SHM_POOL_HEADER_SIZE);
    EXPECT_LE(zim_shm_pool_offset_of(p) + size, kPoolSize);
    EXPECT_TRUE(all_zero(p, size));  // also no overlap with the blocks before, all 0xa5
    std::memset(p, 0xa5, size);
  }
  // Unusable requests: no block and no bookkeeping.
  for (const auto& [table_id, size] : {std::pair<uint32_t, uint64_t>{ZIM_NUM_TABLE_TYPES, 16},
                                       {UINT32_MAX, 16},
                                       {5, 0},
                                       {5, kPoolSize + 1},
                                       {5, UINT64_MAX}}) {
    EXPECT_EQ(zim_shm_table_pool_calloc(table_id, size), nullptr) << table_id << ":" << size;
  }
  EXPECT_EQ(zim_shm_pool_table_blocks(5), 0u);
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
  EXPECT_TRUE(big < a1 || big >= a1 + kChunk);
  EXPECT_EQ(zim_shm_pool_table_bytes(1), 32 + 16 + (kChunk + 16) + 16);
  EXPECT_EQ(zim_shm_pool_table_blocks(1), 4u);
  EXPECT_EQ(zim_shm_pool_table_bytes(2), 16u);
  EXPECT_EQ(zim_shm_pool_table_bytes(3), 0u);
}

TEST_F(ShmPoolTest, ExhaustedPoolReturnsNull) {
  create(ZIM_SHM_POOL_HEADER_SIZE + kChunk + 1024);  // a full chunk and a short one
  EXPECT_EQ(zim_shm_table_pool_calloc(1, kChunk + 2048), nullptr) << "run larger than the rest";
  EXPECT_NE(zim_shm_table_pool_calloc(0, kChunk - kHeader), nullptr);
  EXPECT_EQ(zim_shm_table_pool_calloc(1, 2048), nullptr) << "short chunk too small";
  EXPECT_NE(zim_shm_table_pool_calloc(1, 1024 - kHeader), nullptr) << "short chunk fits exactly";
  for (uint32_t table_id : {0u, 1u, 2u}) EXPECT_EQ(zim_shm_table_pool_calloc(table_id, 1), nullptr);
  EXPECT_EQ(zim_shm_pool_table_bytes(0), kChunk - kHeader);
  EXPECT_EQ(zim_shm_pool_table_bytes(1), 1024 - kHeader);
}

TEST_F(ShmPoolTest, CreateAndAttachReportErrorsAndALivePoolKeepsItsName) {
  const std::string long_name = "/" + std::string(255, 'x');
  for (const char* name : {"noslash", "/", "/a/b", "/.", "/..", long_name.c_str()}) {
    EXPECT_TRUE(zim_shm_pool_create(name, kPoolSize) == -1 && errno == EINVAL) << name;
    EXPECT_TRUE(zim_shm_pool_attach(name) == -1 && errno == EINVAL) << name;
  }
  EXPECT_TRUE(zim_shm_pool_create(name_.c_str(), ZIM_SHM_POOL_MIN_SIZE - 1) == -1 &&
              errno == EINVAL);
  EXPECT_TRUE(zim_shm_pool_attach(name_.c_str()) == -1 && errno == ENOENT);

  // A segment of that name that is no pool, and whose creator is gone: refused
  // by attach, replaced by create.
  const int fd = shm_open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  const std::vector<char> junk(2 * ZIM_SHM_POOL_MIN_SIZE, 'j');
  ASSERT_EQ(write(fd, junk.data(), junk.size()), static_cast<ssize_t>(junk.size()));
  close(fd);
  EXPECT_TRUE(zim_shm_pool_attach(name_.c_str()) == -1 && errno == EINVAL);
  create(ZIM_SHM_POOL_MIN_SIZE);
  EXPECT_EQ(zim_shm_pool_size(), ZIM_SHM_POOL_MIN_SIZE);
  void* p = zim_shm_table_pool_calloc(0, 4096 - kHeader);
  EXPECT_TRUE(p != nullptr && all_zero(p, 4096 - kHeader));

  EXPECT_TRUE(zim_shm_pool_create(name_.c_str(), kPoolSize) == -1 && errno == EBUSY);
  EXPECT_TRUE(zim_shm_pool_attach(name_.c_str()) == -1 && errno == EBUSY);
  // Nor can another process create a pool of a live pool's name. The forked
  // child must not own the pool: its exit leaves it to this process.
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(std::exit(zim_shm_pool_create(name_.c_str(), kPoolSize) == -1 && errno == EEXIST),
              ::testing::ExitedWithCode(1),
              "cannot create the pool \"" + name_ + "\": the name belongs to the live pool of " +
                  "process " + std::to_string(getpid()));
  EXPECT_TRUE(shm_exists(name_));
  zim_shm_pool_detach();
  EXPECT_FALSE(shm_exists(name_)) << "the creator's detach removes the name";
  EXPECT_EQ(zim_shm_pool_base(), nullptr);
}

// The server publishes a block; a client process attaches, finds the same
// bytes at another address, and allocates in turn.
TEST_F(ShmPoolTest, SecondProcessAttachesAtAnotherAddress) {
  create(kPoolSize);
  void* base = zim_shm_pool_base();
  auto* shared = static_cast<uint64_t*>(zim_shm_table_pool_calloc(4, 64));
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
  EXPECT_EQ(zim_shm_pool_at(kPoolSize), nullptr);
  EXPECT_EQ(zim_shm_pool_table_bytes(5), 112u);
}

// Every block of a pool is walked with its size, id and contents (a pool
// written by another process: the inspector's test). Damage planted afterwards
// shows as damaged pieces between the blocks that are still found; what is not
// a pool is refused.
TEST_F(ShmPoolTest, WalkFindsEveryBlockAndTheDamage) {
  using zim_sim_test::Piece;
  const std::pair<uint32_t, uint64_t> requests[] = {
      // in address order
      {3, 40}, {3, 1}, {5, 16}, {5, 300}, {3, kChunk + 100}, {342, kChunk - kHeader}};
  create(kPoolSize);
  std::vector<Piece> want;
  for (int i = 0; i < int(std::size(requests)); ++i) {
    const auto [table_id, size] = requests[i];
    void* p = zim_shm_table_pool_calloc(table_id, size);
    std::memset(p, 0x10 + i, size);
    want.push_back({zim_shm_pool_offset_of(p), size, table_id, 0x10 + i});
  }
  int rc = -1;
  EXPECT_EQ(zim_sim_test::walk(name_.c_str(), &rc), want);
  EXPECT_EQ(rc, 0);

  // Block 1 lost its magic, block 2's size runs past the carve point, and
  // table 5's chunk holds a line of garbage after its blocks.
  const auto word = [](uint64_t offset) { return static_cast<uint64_t*>(zim_shm_pool_at(offset)); };
  *word(want[1].offset - kHeader) = 0;
  *word(want[2].offset - 8) = UINT64_MAX;
  const uint64_t garbage = want[3].offset + 304 + 2 * kHeader;
  std::memset(word(garbage), 0x77, kHeader);
  for (Piece* p : {&want[1], &want[2]}) {  // the header and the block's first line
    *p = {p->offset - kHeader, 2 * kHeader, ZIM_SHM_POOL_DAMAGED, -1};
  }
  want.insert(want.begin() + 4, {garbage, kHeader, ZIM_SHM_POOL_DAMAGED, 0x77});
  EXPECT_EQ(zim_sim_test::walk(name_.c_str(), &rc), want);
  EXPECT_EQ(zim_sim_test::walk(nullptr, &rc), want) << "the walk of the mapped pool";
  int seen = 0;  // a visit that returns non-zero ends the walk
  const auto stop = [](const zim_shm_pool_piece_t*, void* n) { return ++*(int*)n == 2 ? 7 : 0; };
  EXPECT_TRUE(zim_shm_pool_walk(name_.c_str(), stop, &seen) == 7 && seen == 2);

  // Not walkable: a missing name, a segment that is no pool, a pool cut short.
  const std::string other = zim_sim_test::unique_pool_name();
  EXPECT_TRUE(zim_sim_test::walk(other.c_str(), &rc).empty() && rc == -1 && errno == ENOENT);
  std::vector<char> junk(ZIM_SHM_POOL_MIN_SIZE, 'j');
  for (const void* content : {static_cast<void*>(junk.data()), zim_shm_pool_base()}) {
    const int fd = shm_open(other.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    EXPECT_EQ(write(fd, content, junk.size()), ssize_t(junk.size()));
    EXPECT_TRUE(zim_sim_test::walk(other.c_str(), &rc).empty() && rc == -1 && errno == EINVAL);
    close(fd);
    shm_unlink(other.c_str());
  }
}

// Threads here and in a second process allocate and draw uids at once: no two
// blocks may share a byte, the statistics must add up, and no uid is 0 or
// drawn twice, neither among threads before there is a pool nor after.
TEST_F(ShmPoolTest, ConcurrentCallersGetDisjointBlocksAndUniqueUids) {
  constexpr int kCallers = 5, kPerCaller = 2000;  // caller 0 is the other process
  std::vector<uint32_t> uids(2 * kCallers * kPerCaller);
  ASSERT_EQ(zim_shm_pool_base(), nullptr);
  std::vector<std::thread> drawers;
  for (int caller = 0; caller < kCallers; ++caller) {
    drawers.emplace_back([&uids, caller] {
      for (int i = 0; i < kPerCaller; ++i) uids[caller * kPerCaller + i] = qor_getuid();
    });
  }
  for (auto& t : drawers) t.join();
  create(32u << 20);
  auto* offsets = static_cast<uint64_t*>(
      zim_shm_table_pool_calloc(300, sizeof(uint64_t) * kCallers * kPerCaller));
  auto* pool_uids = static_cast<uint32_t*>(
      zim_shm_table_pool_calloc(301, sizeof(uint32_t) * kCallers * kPerCaller));
  const auto size_of = [](int caller, int i) { return uint64_t(1 + (caller * 7 + i * 13) % 300); };
  const auto table_of = [](int caller, int i) { return uint32_t(i % 2 ? caller : 100); };
  const auto run = [&](int caller) {
    for (int i = 0; i < kPerCaller; ++i) {
      void* p = zim_shm_table_pool_calloc(table_of(caller, i), size_of(caller, i));
      offsets[caller * kPerCaller + i] = zim_shm_pool_offset_of(p);
      pool_uids[caller * kPerCaller + i] = qor_getuid();
    }
  };
  const pid_t child = fork();
  if (child == 0) {
    run(0);
    _exit(0);
  }
  std::vector<std::thread> threads;
  for (int caller = 1; caller < kCallers; ++caller) threads.emplace_back(run, caller);
  for (auto& t : threads) t.join();
  int status = -1;
  ASSERT_TRUE(waitpid(child, &status, 0) == child && status == 0);

  std::vector<std::pair<uint64_t, uint64_t>> spans;
  uint64_t bytes[ZIM_NUM_TABLE_TYPES] = {};
  bytes[300] = zim_shm_pool_table_bytes(300);
  bytes[301] = zim_shm_pool_table_bytes(301);
  for (int caller = 0; caller < kCallers; ++caller) {
    for (int i = 0; i < kPerCaller; ++i) {
      ASSERT_NE(offsets[caller * kPerCaller + i], ZIM_SHM_POOL_BAD_OFFSET);
      spans.emplace_back(offsets[caller * kPerCaller + i], size_of(caller, i));
      bytes[table_of(caller, i)] += (size_of(caller, i) + 15) / 16 * 16;
    }
  }
  std::sort(spans.begin(), spans.end());
  for (size_t i = 1; i < spans.size(); ++i) {
    ASSERT_GE(spans[i].first, spans[i - 1].first + spans[i - 1].second) << "overlap";
  }
  for (uint32_t id = 0; id < ZIM_NUM_TABLE_TYPES; ++id) {
    EXPECT_EQ(zim_shm_pool_table_bytes(id), bytes[id]) << id;
  }
  std::copy(pool_uids, pool_uids + kCallers * kPerCaller, uids.begin() + kCallers * kPerCaller);
  std::sort(uids.begin(), uids.end());
  EXPECT_NE(uids.front(), 0u);
  EXPECT_EQ(std::adjacent_find(uids.begin(), uids.end()), uids.end()) << "duplicate uid";
}

// Without a pool, the first allocation creates one from the environment and
// exit removes it. Each case runs in a fresh process, where no pool is mapped.
TEST(DefaultPoolTest, CreatedFromEnvironmentAndRemovedAtExit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string name = zim_sim_test::unique_pool_name();
  const struct {
    const char* name;  // null: unset
    const char* size;  // null: unset
    uint64_t want_size;
    int want_status;
  } cases[] = {{name.c_str(), "1048576", 1048576, 0},
               {nullptr, nullptr, ZIM_SHM_POOL_DEFAULT_SIZE, 0},
               {name.c_str(), "20479", 0, 2},
               {name.c_str(), "01048576", 0, 2},
               {name.c_str(), "", 0, 2},
               {"", nullptr, 0, 2},
               {"/..", nullptr, 0, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name ? c.name : "-") + " " + (c.size ? c.size : "-"));
    const std::string bad = c.want_status == 0 ? ""
                            : c.size           ? std::string("ZIM_SHM_POOL_SIZE=\"") + c.size
                                               : std::string("ZIM_SHM_POOL_NAME=\"") + c.name;
    EXPECT_EXIT(
        {
          for (auto [var, value] :
               {std::pair{"ZIM_SHM_POOL_NAME", c.name}, {"ZIM_SHM_POOL_SIZE", c.size}}) {
            value ? setenv(var, value, 1) : unsetenv(var);
          }
          const std::string want_name =
              c.name ? c.name : "/zim_table_pool." + std::to_string(getpid());
          const bool ok = zim_shm_table_pool_calloc(3, 16) != nullptr && shm_exists(want_name) &&
                          want_name == zim_shm_pool_name() && zim_shm_pool_size() == c.want_size;
          std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(c.want_status), zim_sim_test::literal(bad));
    EXPECT_FALSE(shm_exists(name));
  }
}

// A stop on a report (abort) runs no exit handlers, yet the pool the process
// created goes: here the default pool, run out by server constructors.
TEST(DefaultPoolTest, AbortLeavesNoSegment) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string name = zim_sim_test::unique_pool_name();
  EXPECT_EXIT(
      {
        setenv("ZIM_SHM_POOL_NAME", name.c_str(), 1);
        setenv("ZIM_SHM_POOL_SIZE", "20480", 1);
        for (;;) zim_srv_test_if_ctor_with_shm();
      },
      ::testing::KilledBySignal(SIGABRT), "");
  EXPECT_FALSE(shm_exists(name));
}

}  // namespace
