// SPDX-License-Identifier: Apache-2.0
// The pool built with kill points: a process killed at any of them leaves a
// pool that the next one can use as if the call had run fully or not at all,
// and one stopped at the lock is named by its waiters.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "segment/segment.hpp"
#include "sim_test_util.hpp"

namespace zim_sim_test {
namespace {

constexpr uint64_t kPoolSize = 1u << 20;

// Layout notes of this program for table ids 300 and 301, as a type header
// puts them (zim/tables/layout_note.h): the first block of each records one.
#define CRASH_NOTE(id, text)                                                        \
  __asm__(                                                                          \
      ".pushsection .note.zim_tables.layout,\"a\",%note\n .balign 4\n .long 11\n"   \
      " .long 5f - 4f\n .long 0x7a4c0001\n .asciz \"zim_tables\"\n .balign 4\n4:\n" \
      " .long 1\n .long " #id                                                       \
      "\n .long 0x89abcdef\n .long 0x01234567\n .long 3f - 2f\n"                    \
      "2: .ascii \"" text "\"\n3:\n .balign 4\n5:\n .popsection\n")
CRASH_NOTE(300, "type 300 crash_probe\\n  class fixed\\n");
CRASH_NOTE(301, "type 301 crash_second\\n  class fixed\\n");
constexpr uint32_t kNoted = 300;  // in the page of ids 256 to 511

struct Block {
  uint32_t table_id;
  uint64_t size;  // 0: the victim creates the pool instead of allocating
};
// Survivor allocations: fresh chunks and a run for the ids used below.
constexpr Block kSurvivor[] = {{1, 48},         {2, kChunk - 64}, {3, 100},   {7, 16},
                               {1, kChunk + 1}, {3, kChunk / 2},  {1, kChunk}};
constexpr size_t kSurvivorBlocks = std::size(kSurvivor);

// Written by the victim and the survivor into memory shared with the test.
struct Report {
  uint64_t victim_offset;  // the victim's block, if it ran past every kill point
  uint64_t blocks, bytes;  // the victim's table id before the survivor allocated
  uint64_t restored;       // pieces a walk finds then
  uint64_t layouts;        // layout records of the victim's table id then
  Piece pieces[kSurvivorBlocks];
};

const struct Situation {
  const char* what;
  std::vector<Block> before;  // blocks taken before the victim starts
  Block victim;
  unsigned dead_holder;  // > 0: first a process dies at this kill point of the victim's call
} kSituations[] = {
    {"first chunk of an id while others hold chunks", {{1, 100}, {2, 100}}, {3, 64}, 0},
    {"first block of an id with a layout note and a new page", {{1, 100}}, {kNoted, 64}, 0},
    {"a layout record in a page in use", {{kNoted + 1, 16}}, {kNoted, kChunk + 16}, 0},
    {"restoring a new page and a layout record", {{1, 100}}, {kNoted, 64}, 18},
    {"fresh chunk, another id's chunk right behind", {{1, kChunk - 32}, {2, 16}}, {1, 64}, 0},
    {"inside a chunk", {{1, 100}, {2, 16}}, {1, 100}, 0},
    {"a run of its own", {{1, 100}}, {1, kChunk + 16}, 0},
    // Kill point 14 falls between the new limit and the new cursor.
    {"restoring after a holder died", {{1, kChunk - 32}, {2, 16}}, {1, 64}, 14},
    {"first untyped block", {{1, 100}}, {ZIM_SHM_POOL_UNTYPED, 64}, 0},
    {"restoring the untyped blocks' region",
     {{ZIM_SHM_POOL_UNTYPED, kChunk - 32}, {2, 16}},
     {ZIM_SHM_POOL_UNTYPED, 64},
     14},
    {"creating the pool", {}, {0, 0}, 0},
};

uint64_t rounded(uint64_t size) { return (size + 15) / 16 * 16; }

// Forks a process running fn; false if it ran past kill point n instead of stopping.
template <typename Fn>
bool stop_at(unsigned n, Fn fn, pid_t* pid) {
  *pid = spawn([&] { return alarm(5), zim_sim::stop_at_kill_point(n), fn(); });
  int status = 0;
  EXPECT_EQ(waitpid(*pid, &status, WUNTRACED), *pid);
  if (WIFSTOPPED(status)) return true;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "ran on and failed: " << status;
  return false;
}

// Stops a victim at kill point n of its call and kills it there.
bool kill_at(const std::string& name, const Block& call, unsigned n, Report* report) {
  const auto run = [&] {
    if (call.size == 0) return zim_shm_pool_create(name.c_str(), kPoolSize) == 0 ? 0 : 1;
    void* p = pool_calloc(call.table_id, call.size);
    return report->victim_offset = zim_shm_pool_offset_of(p), 0;
  };
  pid_t pid = -1;
  if (!stop_at(n, run, &pid)) return false;
  kill(pid, SIGKILL);
  return wait_exit(pid), true;
}

// In a child process: 0, else 1 for no pool, 2 for a failed walk, 3 for a bad block, 4 for a
// start map that names other blocks than the walk finds.
int survive(const std::string& name, const Block& victim, Report* report) {
  alarm(5);  // a hang ends in SIGALRM
  if ((victim.size == 0 ? zim_shm_pool_create(name.c_str(), kPoolSize)
                        : zim_shm_pool_attach(name.c_str())) != 0) {
    return 1;
  }
  report->blocks = zim_shm_pool_table_blocks(victim.table_id);
  report->bytes = zim_shm_pool_table_bytes(victim.table_id);
  int rc = -1;
  const std::vector<Piece> found = walk(nullptr, &rc, false, true);
  if (rc != 0) return 2;
  for (const Piece& p : found) {
    report->restored += !is_record(p.table_id);
    const auto* record = static_cast<const zim_shm_pool_layout_record_t*>(
        zim_shm_pool_block_at(p.offset, nullptr, nullptr));
    report->layouts += p.table_id == ZIM_SHM_POOL_LAYOUT && record->table_id == victim.table_id;
  }
  const auto* base = static_cast<const unsigned char*>(zim_shm_pool_base());
  uint64_t starts = 0;
  for (uint64_t at = zim_sim::start_map_offset(kPoolSize); at < kPoolSize; at += 8) {
    starts += __builtin_popcountll(*reinterpret_cast<const uint64_t*>(base + at));
  }
  for (const Piece& p : found) {
    if (zim_shm_pool_block_at(p.offset, nullptr, nullptr) == nullptr) return 4;
  }
  if (starts != found.size()) return 4;
  for (size_t i = 0; i < kSurvivorBlocks; ++i) {
    const Block& b = kSurvivor[i];
    void* p = zim_shm_table_pool_calloc(b.table_id, b.size);
    if (p == nullptr || fill_of(p, b.size) != 0) return 3;
    std::memset(p, 0x5a, b.size);
    report->pieces[i] = {zim_shm_pool_offset_of(p), b.size, b.table_id, 0x5a};
  }
  return 0;
}

TEST(PoolCrashTest, KilledAtEveryKillPointLeavesAConsistentPool) {
  auto* report = shared_zeroed<Report>();
  ASSERT_NE(report, nullptr);
  for (const Situation& s : kSituations) {
    unsigned n = 1, left_pool = 0, left_nothing = 0;  // by a killed creator
    for (bool killed = true; killed && n < 100; ++n) {
      SCOPED_TRACE(std::string(s.what) + ", kill point " + std::to_string(n));
      const std::string name = unique_pool_name();
      *report = {};
      report->victim_offset = ZIM_SHM_POOL_BAD_OFFSET;
      std::vector<Piece> pieces;
      if (s.victim.size != 0) {
        ASSERT_EQ(zim_shm_pool_create(name.c_str(), kPoolSize), 0);
        for (const Block& b : s.before) {
          void* p = pool_calloc(b.table_id, b.size);
          ASSERT_NE(p, nullptr);
          std::memset(p, 0xa5, b.size);
          pieces.push_back({zim_shm_pool_offset_of(p), b.size, b.table_id, 0xa5});
        }
      }
      const uint64_t blocks = zim_shm_pool_table_blocks(s.victim.table_id);
      const uint64_t bytes = zim_shm_pool_table_bytes(s.victim.table_id);
      if (s.dead_holder != 0) {
        ASSERT_TRUE(kill_at(name, s.victim, s.dead_holder, report));
        ASSERT_NE(static_cast<zim_sim::PoolHeader*>(zim_shm_pool_base())->undo.armed, 0u);
      }
      killed = kill_at(name, s.victim, n, report);
      if (s.victim.size == 0 && killed) {
        int rc = -1;
        const bool named = shm_exists(name);
        ++(named ? left_pool : left_nothing);
        EXPECT_TRUE(!named || (walk(name.c_str(), &rc).empty() && rc == 0))
            << "a creator killed here left something else than a complete pool";
      }
      if (report->victim_offset != ZIM_SHM_POOL_BAD_OFFSET) {
        pieces.push_back({report->victim_offset, s.victim.size, s.victim.table_id, 0});
      }
      ASSERT_EQ(run_in_child([&] { return survive(name, s.victim, report); }), 0)
          << "survivor failed, -1: hung";
      EXPECT_TRUE((report->blocks == blocks && report->bytes == bytes) ||
                  (report->blocks == blocks + 1 && report->bytes == bytes + rounded(s.victim.size)))
          << report->blocks << " blocks, " << report->bytes << " bytes";
      EXPECT_EQ(report->restored, s.before.size() + report->blocks - blocks) << "walk";
      EXPECT_EQ(report->layouts, s.victim.table_id == kNoted ? report->blocks : 0u)
          << "a layout record exactly with the first block";
      pieces.insert(pieces.end(), report->pieces, report->pieces + kSurvivorBlocks);
      EXPECT_TRUE(disjoint_within(pieces, ZIM_SHM_POOL_HEADER_SIZE, kPoolSize));
      zim_shm_pool_destroy();
      if (s.victim.size == 0) shm_unlink(name.c_str());  // the survivor's pool
      EXPECT_FALSE(shm_exists(name));
    }
    EXPECT_GE(n - 2, 5u) << s.what << ": kill points";
    EXPECT_TRUE(s.victim.size != 0 || (left_pool > 0 && left_nothing > 0)) << "both outcomes seen";
  }
}

// Kill point 1 comes right after the holder took the lock.
TEST(PoolLockWaitTest, AWaiterNamesAStoppedHolderOnceAndGoesOnAfterIt) {
  zim_sim::report_lock_wait_after_ms(200);  // instead of 5 s
  // The signal that ends the holder's stop, and the threads waiting in one process.
  for (const auto& [release, threads] : {std::pair{SIGCONT, 1}, {SIGKILL, 4}}) {
    SCOPED_TRACE(strsignal(release));
    const std::string name = unique_pool_name();
    ASSERT_EQ(zim_shm_pool_create(name.c_str(), 1u << 20), 0);
    // This process took the lock before it forked the holder: the holder is
    // named by its own id all the same.
    ASSERT_NE(zim_shm_table_pool_calloc(40, 16), nullptr);
    pid_t holder = -1;
    ASSERT_TRUE(stop_at(
        1, [] { return zim_shm_table_pool_calloc(1, 64) != nullptr ? 0 : 1; }, &holder));
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const auto wait = [threads = threads] {
      alarm(20);  // a waiter that reported nothing would hang
      std::atomic<int> got{0};
      in_threads(0, threads,
                 [&got](int t) { got += zim_shm_table_pool_calloc(2 + t, 32) != nullptr; });
      return got == threads ? 0 : 1;
    };
    const pid_t waiter = spawn(wait, out[1]);
    close(out[1]);
    // The message comes while the holder is still stopped.
    std::string text = read_all(out[0], "\n");
    usleep(300 * 1000);  // time for every thread to pass its deadline
    kill(holder, release);
    text += read_all(out[0]);
    close(out[0]);
    EXPECT_EQ(wait_exit(waiter), 0);
    wait_exit(holder);
    EXPECT_EQ(count(text, "held by process " + std::to_string(holder) + " "), 1u) << text;
    EXPECT_EQ(count(text, "\n"), 1u) << "one line for all threads: " << text;
    EXPECT_NE(text.find("process " + std::to_string(waiter) + " has waited "), std::string::npos)
        << text;
    // Everyone goes on: the holder's block (when it ran on) and the waiters'.
    EXPECT_EQ(zim_shm_pool_table_blocks(1), release == SIGCONT ? 1u : 0u);
    for (int t = 0; t < threads; ++t) EXPECT_EQ(zim_shm_pool_table_blocks(2 + t), 1u);
    zim_shm_pool_destroy();
    EXPECT_FALSE(shm_exists(name));
  }
  zim_sim::report_lock_wait_after_ms(5000);
}

}  // namespace
}  // namespace zim_sim_test
