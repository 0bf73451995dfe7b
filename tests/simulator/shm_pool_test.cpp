// The shared-memory table pool: blocks, carving per table id, limits, a second
// process, concurrency (with the uids), owned names and cleanup.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/test_if.h>

#include <algorithm>
#include <atomic>
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

  // A stale pool (its creator killed) is replaced.
  ASSERT_EQ(run_in_child([&] {
              if (zim_shm_pool_create(name_.c_str(), kPoolSize) != 0) return 1;
              zim_shm_table_pool_calloc(0, 100);
              raise(SIGKILL);
              return 2;
            }),
            -1);
  ASSERT_TRUE(shm_exists(name_));
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

// Creating a pool never removes what is not one of ours: whatever stands under
// the name, unless it is a complete pool of this version whose creator is
// gone, is refused with EEXIST and a message, and left as it was.
TEST(ShmPoolNameTest, CreateLeavesWhatIsNotAPool) {
  const auto pool_image = [](uint64_t size_field, uint32_t version) {
    std::vector<char> image(ZIM_SHM_POOL_MIN_SIZE, 0);
    const uint64_t magic = 0x316c6f6f706d697aull;
    std::memcpy(image.data(), &magic, 8);
    std::memcpy(image.data() + 8, &version, 4);
    std::memcpy(image.data() + 16, &size_field, 8);
    return image;
  };
  const struct {
    const char* what;
    std::vector<char> content;  // of a file; empty with a kind below
    const char* kind;           // "file", "dir", "symlink", "fifo"
  } cases[] = {
      {"another program's file", std::vector<char>(2 * ZIM_SHM_POOL_MIN_SIZE, 'j'), "file"},
      {"a short file", {'a', 'b', 'c'}, "file"},
      {"an empty file", {}, "file"},
      {"a pool of another version", pool_image(ZIM_SHM_POOL_MIN_SIZE, 3), "file"},
      {"a pool cut short", pool_image(2 * ZIM_SHM_POOL_MIN_SIZE, 4), "file"},
      {"a directory", {}, "dir"},
      {"a symlink", {}, "symlink"},
      {"a FIFO", {}, "fifo"},
  };
  // "fast": the child must see the file made here, not make one of its own.
  GTEST_FLAG_SET(death_test_style, "fast");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = zim_sim_test::unique_pool_name();
    const std::string path = "/dev/shm" + name;
    const std::string kind = c.kind;
    const std::string target = path + ".target";
    if (kind == "file") {
      const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(write(fd, c.content.data(), c.content.size()), ssize_t(c.content.size()));
      close(fd);
    } else if (kind == "dir") {
      ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    } else if (kind == "symlink") {
      ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    } else {
      ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    }
    // The default pool too: the environment names a foreign file.
    EXPECT_EXIT(
        {
          const bool refused = zim_shm_pool_create(name.c_str(), kPoolSize) == -1 &&
                               errno == EEXIST && zim_shm_pool_base() == nullptr;
          setenv("ZIM_SHM_POOL_NAME", name.c_str(), 1);
          std::exit(refused && zim_shm_table_pool_calloc(1, 16) == nullptr ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "is not a pool of this version");
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0) << "removed";
    if (kind == "file") {
      std::vector<char> now(c.content.size() + 1);
      const int fd = shm_open(name.c_str(), O_RDONLY, 0);
      EXPECT_EQ(read(fd, now.data(), now.size()), ssize_t(c.content.size()));
      now.pop_back();
      EXPECT_TRUE(now == c.content) << "changed";
      close(fd);
    }
    EXPECT_FALSE(lstat(target.c_str(), &st) == 0) << "a file made where the symlink leads";
    EXPECT_EQ(kind == "dir" ? rmdir(path.c_str()) : unlink(path.c_str()), 0);
  }
}

// Creators racing for one name, free or held by a stale pool: exactly one
// wins, and every other one is told the winner's process id, never that of a
// pool still being made or of the stale pool's creator.
TEST(ShmPoolNameTest, RacingCreatorsLeaveOnePoolThatTheOthersName) {
  for (const bool stale : {false, true}) {
    SCOPED_TRACE(stale ? "stale pool" : "free name");
    constexpr int kCreators = 8;
    struct Shared {
      std::atomic<int> ready, done, wins;
      std::atomic<bool> go;
      std::atomic<pid_t> winner;
    };
    auto* shared = static_cast<Shared*>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(shared, MAP_FAILED);
    const std::string name = zim_sim_test::unique_pool_name();
    if (stale) {
      ASSERT_EQ(run_in_child([&] {
                  zim_shm_pool_create(name.c_str(), 1u << 20);
                  raise(SIGKILL);
                  return 0;
                }),
                -1);
      ASSERT_TRUE(shm_exists(name));
    }
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    std::vector<pid_t> creators;
    for (int i = 0; i < kCreators; ++i) {
      const pid_t pid = fork();
      if (pid == 0) {
        alarm(10);
        dup2(out[1], STDERR_FILENO);
        ++shared->ready;
        while (!shared->go) {
        }
        const bool won = zim_shm_pool_create(name.c_str(), 1u << 20) == 0;
        const int err = errno;
        if (won) {
          ++shared->wins;
          shared->winner = getpid();
        }
        ++shared->done;
        while (won && shared->done < kCreators) usleep(1000);  // the name stays owned meanwhile
        zim_shm_pool_detach();
        _exit(won || err == EEXIST ? 0 : 1);
      }
      creators.push_back(pid);
    }
    close(out[1]);
    while (shared->ready < kCreators) usleep(1000);
    shared->go = true;
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, size_t(n));
    close(out[0]);
    for (pid_t pid : creators) {
      int status = -1;
      EXPECT_TRUE(waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(shared->wins, 1);
    const std::string owner = "the live pool of process " + std::to_string(shared->winner) + "\n";
    size_t lines = 0;
    for (size_t at = 0; (at = text.find(owner, at)) != std::string::npos; at += owner.size())
      ++lines;
    EXPECT_EQ(lines, size_t(kCreators - 1)) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), kCreators - 1) << text;
    EXPECT_FALSE(shm_exists(name)) << "the winner's exit removes it";
    munmap(shared, sizeof(Shared));
  }
}

// The walk by name reads the segment; one cut short while it is being walked
// (here by the visitor) ends the walk with ENODATA, not with a signal, unless
// what is left still holds the whole carved part.
TEST_F(ShmPoolTest, WalkOfASegmentCutShortMeanwhileFails) {
  create(kPoolSize);
  for (const auto& [table_id, size] : std::vector<std::pair<uint32_t, uint64_t>>{
           {1, 100}, {2, 3 * kChunk}, {1, 16}, {3, 5 * kChunk}, {4, 64}}) {
    std::memset(zim_shm_table_pool_calloc(table_id, size), 0x40 + int(table_id), size);
  }
  // Carved: the chunk of id 1, the two runs, the chunk of id 4.
  const uint64_t carve =
      ZIM_SHM_POOL_HEADER_SIZE + kChunk + (3 * kChunk + kHeader) + (5 * kChunk + kHeader) + kChunk;
  // The walk reads ahead up to a chunk of lines: a cut inside what it has
  // read shows only when it reads further, or at its end.
  const struct {
    int at_piece;       // cut while visiting this piece
    uint64_t new_size;  // of the segment
    int want_rc;
    size_t want_pieces;  // visited
  } cases[] = {
      {0, 0, -1, 2},
      {0, ZIM_SHM_POOL_HEADER_SIZE, -1, 2},
      {1, ZIM_SHM_POOL_HEADER_SIZE + 2 * kChunk, -1, 2},  // inside the first run
      {2, carve - 1, -1, 4},                              // in the chunk of id 4
      {4, carve - 1, -1, 5},                              // after the last read
      {4, carve, 0, 5},
  };
  struct Cut {
    int at_piece;
    uint64_t new_size;
    int fd;
    size_t seen;
  };
  const std::string other = zim_sim_test::unique_pool_name();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.new_size);
    const int fd = shm_open(other.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(write(fd, zim_shm_pool_base(), kPoolSize), ssize_t(kPoolSize));
    Cut cut{c.at_piece, c.new_size, fd, 0};
    const auto visit = [](const zim_shm_pool_piece_t* p, void* context) {
      auto* k = static_cast<Cut*>(context);
      const auto* bytes = static_cast<const unsigned char*>(p->data);
      if (!std::all_of(bytes, bytes + p->size, [&](unsigned char b) { return b == bytes[0]; })) {
        return 9;  // the copy handed to a visit holds the piece's bytes
      }
      const bool now = int(k->seen++) == k->at_piece;
      return now && ftruncate(k->fd, off_t(k->new_size)) != 0 ? 8 : 0;
    };
    errno = 0;
    const int rc = zim_shm_pool_walk(other.c_str(), visit, &cut);
    const int err = errno;
    EXPECT_EQ(rc, c.want_rc);
    EXPECT_TRUE(rc == 0 || err == ENODATA) << std::strerror(err);
    EXPECT_EQ(cut.seen, c.want_pieces);
    close(fd);
    shm_unlink(other.c_str());
  }
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
