// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the pool's lock and the recovery of the allocation state
// after a holder died (invariants I4 and I5 in segment.hpp).
//
// A holder that is stopped rather than dead (SIGSTOP, a debugger, a frozen
// cgroup) leaves the lock taken and robust locking cannot tell: every
// allocation in every process waits for it. A waiter that has not got the
// lock after a while says so once, naming the holder, and goes on waiting.

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "segment/segment.hpp"

namespace zim_sim {

namespace {

std::atomic<unsigned> g_report_after_ms{5000};

// The acquisition of the lock that this process last reported as stalled:
// one message per process and stalled holding, however many threads wait.
std::atomic<uint64_t> g_reported{0};

// This process's id for holder_pid. getpid() is a system call on every
// allocation otherwise; the id changes only in a forked child, which drops it.
std::atomic<int32_t> g_own_pid{0};

void forget_own_pid() { g_own_pid.store(0, std::memory_order_relaxed); }

int32_t own_pid() {
  static const bool dropped_at_fork = pthread_atfork(nullptr, nullptr, forget_own_pid) == 0;
  int32_t pid = g_own_pid.load(std::memory_order_relaxed);
  if (pid == 0 || !dropped_at_fork) {
    pid = static_cast<int32_t>(getpid());
    g_own_pid.store(dropped_at_fork ? pid : 0, std::memory_order_relaxed);
  }
  return pid;
}

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
unsigned g_kill_points_passed = 0;
}  // namespace

void stop_at_kill_point(unsigned n) { g_kill_points_left = n; }

unsigned kill_points_passed() { return g_kill_points_passed; }

void kill_point() {
  ++g_kill_points_passed;
  if (g_kill_points_left != 0 && --g_kill_points_left == 0) raise(SIGSTOP);
}
#endif

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr uint64_t kLine = ZIM_SHM_POOL_ALIGN;

// Zeroes the block header at `at`, the first `bytes` bytes of its block and
// its start bit (and the start bit right after those bytes), when `at` leaves room for them before
// the start map.
void clear_block(PoolHeader* hdr, uint64_t at, uint64_t bytes) {
  const uint64_t end = start_map_offset(hdr->size);
  if (at < ZIM_SHM_POOL_HEADER_SIZE || at % kLine != 0 || at >= end || end - at < kLine ||
      bytes > end - at - kLine) {
    return;
  }
  if (bytes != 0) fill(reinterpret_cast<char*>(hdr) + at + kLine, nullptr, bytes);
  BlockHeader& header = block_header_at(hdr, at);
  put(header.tag, 0);
  put(header.size, 0);
  std::atomic<uint64_t>& word = start_word(hdr, hdr->size, at + kLine);
  put(word, word.load(kRelaxed) & ~start_bit(at + kLine));
  // Blocks written in place behind the header, within the zeroed bytes or
  // right after them (a versioned pool's object behind its line, a converted
  // object behind its line), lose their start bits too.
  const uint64_t last = at + kLine + bytes;
  for (uint64_t next = at + 2 * kLine; bytes != 0 && next <= last && next < end; next += kLine) {
    std::atomic<uint64_t>& bits = start_word(hdr, hdr->size, next);
    if (bits.load(kRelaxed) & start_bit(next)) put(bits, bits.load(kRelaxed) & ~start_bit(next));
  }
}

// The region at `at` that an undo record names: the untyped blocks' or an id's slot.
TableRegion* region_at(PoolHeader* hdr, uint64_t at) {
  if (at == offsetof(PoolHeader, untyped)) return &hdr->untyped;
  const uint64_t end = start_map_offset(hdr->size);
  if (at < ZIM_SHM_POOL_HEADER_SIZE || at % alignof(IdSlot) != 0 || at >= end ||
      end - at < sizeof(IdSlot)) {
    return nullptr;
  }
  return reinterpret_cast<TableRegion*>(reinterpret_cast<char*>(hdr) + at);
}

// Whether [at, at + bytes) lies in the part of the pool that can be carved,
// on whole lines.
bool carvable(const PoolHeader* hdr, uint64_t at, uint64_t bytes) {
  const uint64_t end = start_map_offset(hdr->size);
  return at >= ZIM_SHM_POOL_HEADER_SIZE && at % kLine == 0 && bytes % kLine == 0 && at <= end &&
         bytes <= end - at;
}

// Zeroes the runs of [from, to) that beginning a migration carved, and their start bits.
void clear_span(PoolHeader* hdr, uint64_t from, uint64_t to) {
  if (to < from || !carvable(hdr, from, to - from) || to == from) return;
  fill(reinterpret_cast<char*>(hdr) + from, nullptr, to - from);
  for (uint64_t at = from; at < to; at += kLine) {
    std::atomic<uint64_t>& word = start_word(hdr, hdr->size, at);
    if (word.load(kRelaxed) & start_bit(at)) put(word, word.load(kRelaxed) & ~start_bit(at));
  }
}

// Makes the retired block whose header lies at `at` live again.
void unretire(PoolHeader* hdr, uint64_t at) {
  if (!carvable(hdr, at, kLine)) return;
  std::atomic<uint64_t>& tag = block_header_at(hdr, at).tag;
  const uint64_t value = tag.load(kRelaxed);
  if (static_cast<uint32_t>(value) == kRetiredMagic) put(tag, (value >> 32) << 32 | kBlockMagic);
}

void restore(PoolHeader* hdr) {
  UndoRecord& undo = hdr->undo;
  const uint64_t page = undo.page_header.load(kRelaxed);
  const uint64_t record = undo.record_header.load(kRelaxed);
  const uint64_t span_end = undo.span_end.load(kRelaxed);
  const uint64_t count_at = undo.move_count_at.load(kRelaxed);  // 0: none, never carvable
  clear_block(hdr, undo.block_header.load(kRelaxed), undo.block_bytes.load(kRelaxed));
  clear_block(hdr, page, sizeof(IdPage));
  if (record != 0) clear_block(hdr, record, undo.record_size.load(kRelaxed));
  if (span_end != 0) {
    clear_span(hdr, undo.carve.load(kRelaxed), span_end);
    put(hdr->migration, 0);
  }
  if (const uint64_t retired = undo.retired_header.load(kRelaxed)) unretire(hdr, retired);
  if (count_at % sizeof(uint64_t) == 0 && carvable(hdr, count_at & ~(kLine - 1), kLine)) {
    put(*reinterpret_cast<std::atomic<uint64_t>*>(reinterpret_cast<char*>(hdr) + count_at),
        undo.move_count.load(kRelaxed));
  }
  if (page != 0) {
    for (std::atomic<uint64_t>& entry : hdr->pages) {
      if (entry.load(kRelaxed) == page + kLine) put(entry, 0);
    }
  }
  put(hdr->carve, undo.carve.load(kRelaxed));
  if (TableRegion* region = region_at(hdr, undo.region.load(kRelaxed))) {
    put(region->cursor, undo.cursor.load(kRelaxed));
    put(region->limit, undo.limit.load(kRelaxed));
    put(region->bytes, undo.bytes.load(kRelaxed));
    put(region->blocks, undo.blocks.load(kRelaxed));
    if (region != &hdr->untyped) {
      auto* slot = reinterpret_cast<IdSlot*>(region);
      if (record != 0) {
        put(slot->fingerprint, 0);
        put(slot->layout, 0);
      } else if (undo.slot_layout.load(kRelaxed) != 0) {
        put(slot->fingerprint, undo.fingerprint.load(kRelaxed));
        put(slot->layout, undo.layout.load(kRelaxed));
      }
    }
  }
}

}  // namespace

void undo_transaction(PoolHeader* hdr) {
  restore(hdr);
  put(hdr->undo.armed, 0);
}

PoolLock::PoolLock(PoolHeader* hdr) : hdr_(hdr) {
  const int rc = lock_reporting_stalls(hdr_);
  if (rc == 0 || rc == EOWNERDEAD) {
    // Before the recovery: a holder stopped during it is named too.
    hdr_->holder_pid.store(own_pid(), std::memory_order_relaxed);
    // Only holders write it: a load and a store, not a locked add.
    hdr_->acquisitions.store(hdr_->acquisitions.load(std::memory_order_relaxed) + 1,
                             std::memory_order_relaxed);
  }
  if (rc == EOWNERDEAD) {
    // The last holder died. If it was allocating, its block was never
    // returned: clear what it may have begun and put back the state from
    // before its allocation (I5).
    if (hdr_->undo.armed.load(std::memory_order_acquire) != 0) restore(hdr_);
    put(hdr_->undo.armed, 0);
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
