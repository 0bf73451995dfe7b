// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the pool's lock and the recovery of the allocation state
// after a holder died (invariants I4 and I5 in pool.hpp).
//
// A holder that is stopped rather than dead (SIGSTOP, a debugger, a frozen
// cgroup) leaves the lock taken and robust locking cannot tell: every
// allocation in every process waits for it. A waiter that has not got the
// lock after a while says so once, naming the holder, and goes on waiting.

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pool.hpp"

namespace zim_sim {

namespace {

std::atomic<unsigned> g_report_after_ms{5000};

// The acquisition of the lock that this process last reported as stalled:
// one message per process and stalled holding, however many threads wait.
std::atomic<uint64_t> g_reported{0};

uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Takes the lock, reporting once when that takes longer than
// g_report_after_ms. The result of pthread_mutex_lock.
int lock_reporting_stalls(PoolHeader* hdr) {
  // The usual case, a free lock, costs no clock reading.
  if (const int rc = pthread_mutex_trylock(&hdr->lock); rc != EBUSY) return rc;
  const uint64_t start = now_ns();
  const uint64_t deadline = start + uint64_t{g_report_after_ms.load()} * 1000000u;
  const timespec until{static_cast<time_t>(deadline / 1000000000u),
                       static_cast<long>(deadline % 1000000000u)};
  const int rc = pthread_mutex_clocklock(&hdr->lock, CLOCK_MONOTONIC, &until);
  if (rc != ETIMEDOUT) return rc;
  // + 1: this process's first report must not match g_reported's initial 0.
  const uint64_t holding = hdr->acquisitions.load(std::memory_order_relaxed) + 1;
  uint64_t last = g_reported.load(std::memory_order_relaxed);
  if (last != holding && g_reported.compare_exchange_strong(last, holding)) {
    const int32_t pid = hdr->holder_pid.load(std::memory_order_relaxed);
    const uint64_t waited_ms = (now_ns() - start) / 1000000u;
    char holder[48] = "a process that has not recorded its id yet";
    if (pid > 0) std::snprintf(holder, sizeof holder, "process %ld", static_cast<long>(pid));
    std::fprintf(stderr,
                 "zim_memory: process %ld has waited %llu.%llu s for the table pool's lock, "
                 "held by %s (stopped?); every allocation in the pool waits for it; still "
                 "waiting\n",
                 static_cast<long>(getpid()), static_cast<unsigned long long>(waited_ms / 1000),
                 static_cast<unsigned long long>(waited_ms % 1000 / 100), holder);
  }
  return pthread_mutex_lock(&hdr->lock);
}

}  // namespace

#ifdef ZIM_POOL_KILL_POINTS
void report_lock_wait_after_ms(unsigned ms) { g_report_after_ms.store(ms); }
#endif

#ifdef ZIM_POOL_KILL_POINTS
namespace {
unsigned g_kill_points_left = 0;  // 0: never stop
}  // namespace

void stop_at_kill_point(unsigned n) { g_kill_points_left = n; }

void kill_point() {
  if (g_kill_points_left != 0 && --g_kill_points_left == 0) raise(SIGSTOP);
}
#endif

PoolLock::PoolLock(PoolHeader* hdr) : hdr_(hdr) {
  const int rc = lock_reporting_stalls(hdr_);
  if (rc == 0 || rc == EOWNERDEAD) {
    // Before the recovery: a holder stopped during it is named too.
    hdr_->holder_pid.store(static_cast<int32_t>(getpid()), std::memory_order_relaxed);
    hdr_->acquisitions.fetch_add(1, std::memory_order_relaxed);
  }
  if (rc == EOWNERDEAD) {
    // The last holder died. If it was allocating, its block was never
    // returned: clear the block header it may have begun and put back the
    // state from before its allocation (I5).
    UndoRecord& undo = hdr_->undo;
    const uint64_t armed = undo.armed.load(std::memory_order_acquire);
    if (armed != 0 && armed <= kRegions) {
      TableRegion& table = hdr_->tables[armed - 1];
      const uint64_t at = undo.block_header.load(std::memory_order_relaxed);
      const uint64_t start = at + ZIM_SHM_POOL_BLOCK_HEADER_SIZE;
      if (at >= ZIM_SHM_POOL_HEADER_SIZE && at % ZIM_SHM_POOL_ALIGN == 0 &&
          at < start_map_offset(hdr_->size) - ZIM_SHM_POOL_BLOCK_HEADER_SIZE) {
        BlockHeader& header = block_header_at(hdr_, at);
        put(header.tag, 0);
        put(header.size, 0);
        std::atomic<uint64_t>& word = start_word(hdr_, hdr_->size, start);
        put(word, word.load(std::memory_order_relaxed) & ~start_bit(start));
      }
      put(hdr_->carve, undo.carve.load(std::memory_order_relaxed));
      put(table.cursor, undo.cursor.load(std::memory_order_relaxed));
      put(table.limit, undo.limit.load(std::memory_order_relaxed));
      put(table.bytes, undo.bytes.load(std::memory_order_relaxed));
      put(table.blocks, undo.blocks.load(std::memory_order_relaxed));
    }
    put(undo.armed, 0);
    pthread_mutex_consistent(&hdr_->lock);
  } else if (rc != 0) {
    std::fprintf(stderr, "zim_memory: cannot lock the table pool: %s\n", std::strerror(rc));
    std::abort();
  }
  ZIM_POOL_KILL_POINT();
}

PoolLock::~PoolLock() {
  hdr_->holder_pid.store(0, std::memory_order_relaxed);
  pthread_mutex_unlock(&hdr_->lock);
  ZIM_POOL_KILL_POINT();
}

}  // namespace zim_sim
