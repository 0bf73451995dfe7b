// Crash consistency of the pool, against its build with kill points: a victim
// process stops at the n-th kill point of one allocation (or of creating the
// pool) and is killed there, for every n. A survivor then attaches (or creates
// the pool anew) and allocates for several table ids. No two blocks, old or
// new, may overlap, none may touch the header, new blocks must be zero, the
// victim's block counts fully or not at all, and nobody may hang. A walk of the
// pool right after the restore finds the blocks taken before and the victim's
// block only when it counts: an undone allocation leaves no trace of its block
// header. A creator killed at any step leaves either nothing under the name or
// a complete pool, which the next creation replaces.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pool.hpp"
#include "sim_test_util.hpp"

namespace {

constexpr uint64_t kChunk = ZIM_SHM_POOL_CHUNK_SIZE;
constexpr uint64_t kPoolSize = 1u << 20;

struct Block {
  uint32_t table_id;
  uint64_t size;  // 0: the victim creates the pool instead of allocating
};
using Span = zim_sim_test::Piece;
// Survivor allocations: fresh chunks and a run for the ids used below.
constexpr Block kSurvivor[] = {{1, 48},         {2, kChunk - 64}, {3, 100},   {7, 16},
                               {1, kChunk + 1}, {3, kChunk / 2},  {1, kChunk}};
constexpr size_t kSurvivorBlocks = std::size(kSurvivor);

// Written by the victim and the survivor into memory shared with the test.
struct Report {
  uint64_t victim_offset;  // the victim's block, if it ran past every kill point
  uint64_t blocks, bytes;  // the victim's table id before the survivor allocated
  uint64_t restored;       // pieces a walk finds then
  Span spans[kSurvivorBlocks];
  char failure[128];
};

const struct Situation {
  const char* what;
  std::vector<Block> before;  // blocks taken before the victim starts
  Block victim;
  unsigned dead_holder;  // > 0: first a process dies at this kill point of the victim's call
} kSituations[] = {
    {"first chunk of an id while others hold chunks", {{1, 100}, {2, 100}}, {3, 64}, 0},
    {"fresh chunk, another id's chunk right behind", {{1, kChunk - 32}, {2, 16}}, {1, 64}, 0},
    {"inside a chunk", {{1, 100}, {2, 16}}, {1, 100}, 0},
    {"a run of its own", {{1, 100}}, {1, kChunk + 16}, 0},
    // Kill point 12 falls between the new limit and the new cursor.
    {"restoring after a holder died", {{1, kChunk - 32}, {2, 16}}, {1, 64}, 12},
    {"creating the pool", {}, {0, 0}, 0},
};

uint64_t rounded(uint64_t size) { return (size + 15) / 16 * 16; }

// Forks a victim that stops at kill point n of its call and kills it there.
// False if it ran past every kill point instead.
bool kill_at(const std::string& name, const Block& call, unsigned n, Report* report) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(5);
    zim_sim::stop_at_kill_point(n);
    if (call.size == 0) _exit(zim_shm_pool_create(name.c_str(), kPoolSize) == 0 ? 0 : 1);
    report->victim_offset =
        zim_shm_pool_offset_of(zim_shm_table_pool_calloc(call.table_id, call.size));
    _exit(0);
  }
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, WUNTRACED), pid);
  if (!WIFSTOPPED(status)) {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "victim failed: " << status;
    return false;
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return true;
}

// The survivor's part, in a child process: 0 or a message in report->failure.
int survive(const std::string& name, const Block& victim, Report* report) {
  alarm(5);  // a hang ends in SIGALRM
  const auto fail = [report](const char* what) {
    std::snprintf(report->failure, sizeof report->failure, "%s", what);
    return 1;
  };
  if ((victim.size == 0 ? zim_shm_pool_create(name.c_str(), kPoolSize)
                        : zim_shm_pool_attach(name.c_str())) != 0) {
    return fail(std::strerror(errno));
  }
  report->blocks = zim_shm_pool_table_blocks(victim.table_id);
  report->bytes = zim_shm_pool_table_bytes(victim.table_id);
  int rc = -1;
  report->restored = zim_sim_test::walk(nullptr, &rc).size();
  if (rc != 0) return fail("walk failed");
  for (size_t i = 0; i < kSurvivorBlocks; ++i) {
    auto* p = static_cast<unsigned char*>(
        zim_shm_table_pool_calloc(kSurvivor[i].table_id, kSurvivor[i].size));
    if (p == nullptr) return fail("no block");
    if (std::any_of(p, p + kSurvivor[i].size, [](unsigned char b) { return b != 0; })) {
      return fail("block not zero");
    }
    std::memset(p, 0x5a, kSurvivor[i].size);
    report->spans[i] = {zim_shm_pool_offset_of(p), kSurvivor[i].size, kSurvivor[i].table_id, 0x5a};
  }
  return 0;
}

TEST(PoolCrashTest, KilledAtEveryKillPointLeavesAConsistentPool) {
  auto* report = static_cast<Report*>(
      mmap(nullptr, sizeof(Report), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(report, MAP_FAILED);
  for (const Situation& s : kSituations) {
    unsigned n = 1, left_pool = 0, left_nothing = 0;  // by a killed creator
    for (bool killed = true; killed && n < 100; ++n) {
      SCOPED_TRACE(std::string(s.what) + ", kill point " + std::to_string(n));
      const std::string name = zim_sim_test::unique_pool_name();
      std::memset(report, 0, sizeof *report);
      report->victim_offset = ZIM_SHM_POOL_BAD_OFFSET;
      std::vector<Span> spans;
      uint64_t blocks = 0, bytes = 0;  // of the victim's table id
      if (s.victim.size != 0) {
        ASSERT_EQ(zim_shm_pool_create(name.c_str(), kPoolSize), 0);
        for (const Block& b : s.before) {
          void* p = zim_shm_table_pool_calloc(b.table_id, b.size);
          ASSERT_NE(p, nullptr);
          std::memset(p, 0xa5, b.size);
          spans.push_back({zim_shm_pool_offset_of(p), b.size, b.table_id, 0xa5});
          if (b.table_id == s.victim.table_id) {
            blocks += 1;
            bytes += rounded(b.size);
          }
        }
      }
      if (s.dead_holder != 0) {
        ASSERT_TRUE(kill_at(name, s.victim, s.dead_holder, report));
        ASSERT_NE(static_cast<zim_sim::PoolHeader*>(zim_shm_pool_base())->undo.armed, 0u);
      }
      killed = kill_at(name, s.victim, n, report);
      if (s.victim.size == 0 && killed) {
        int rc = -1;
        const bool named = zim_sim_test::shm_exists(name);
        ++(named ? left_pool : left_nothing);
        EXPECT_TRUE(!named || (zim_sim_test::walk(name.c_str(), &rc).empty() && rc == 0))
            << "a creator killed here left something else than a complete pool";
      }
      if (report->victim_offset != ZIM_SHM_POOL_BAD_OFFSET) {
        spans.push_back({report->victim_offset, s.victim.size, s.victim.table_id, 0});
      }
      ASSERT_EQ(zim_sim_test::run_in_child([&] { return survive(name, s.victim, report); }), 0)
          << "survivor failed or hung: " << report->failure;
      EXPECT_TRUE((report->blocks == blocks && report->bytes == bytes) ||
                  (report->blocks == blocks + 1 && report->bytes == bytes + rounded(s.victim.size)))
          << report->blocks << " blocks, " << report->bytes << " bytes";
      const uint64_t counted = report->blocks - blocks;  // the victim's block
      EXPECT_EQ(report->restored, s.before.size() + counted) << "walk after the restore";
      spans.insert(spans.end(), report->spans, report->spans + kSurvivorBlocks);
      std::sort(spans.begin(), spans.end(), [](Span a, Span b) { return a.offset < b.offset; });
      EXPECT_GE(spans.front().offset, ZIM_SHM_POOL_HEADER_SIZE);
      EXPECT_LE(spans.back().offset + spans.back().size, kPoolSize);
      for (size_t i = 1; i < spans.size(); ++i) {
        EXPECT_GE(spans[i].offset, spans[i - 1].offset + spans[i - 1].size) << "overlap";
      }
      zim_shm_pool_destroy();
      if (s.victim.size == 0) shm_unlink(name.c_str());  // the survivor's pool
      EXPECT_FALSE(zim_sim_test::shm_exists(name));
    }
    std::printf("%s: %u kill points\n", s.what, n - 2);
    EXPECT_GE(n - 2, 5u) << s.what;
    EXPECT_TRUE(s.victim.size != 0 || (left_pool > 0 && left_nothing > 0)) << "both outcomes seen";
  }
  munmap(report, sizeof(Report));
}

}  // namespace
