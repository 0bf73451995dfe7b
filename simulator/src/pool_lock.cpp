// libzim_memory: the pool's lock and the recovery of the allocation state
// after a holder died (invariants I4 and I5 in pool.hpp).

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pool.hpp"

namespace zim_sim {

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
  const int rc = pthread_mutex_lock(&hdr_->lock);
  if (rc == EOWNERDEAD) {
    // The last holder died. If it was allocating, its block was never
    // returned: clear the block header it may have begun and put back the
    // state from before its allocation (I5).
    UndoRecord& undo = hdr_->undo;
    const uint64_t armed = undo.armed.load(std::memory_order_acquire);
    if (armed != 0 && armed <= ZIM_NUM_TABLE_TYPES) {
      TableRegion& table = hdr_->tables[armed - 1];
      const uint64_t at = undo.block_header.load(std::memory_order_relaxed);
      if (at >= ZIM_SHM_POOL_HEADER_SIZE && at % ZIM_SHM_POOL_ALIGN == 0 &&
          at <= hdr_->size - ZIM_SHM_POOL_BLOCK_HEADER_SIZE) {
        BlockHeader& header = block_header_at(hdr_, at);
        put(header.tag, 0);
        put(header.size, 0);
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
  pthread_mutex_unlock(&hdr_->lock);
  ZIM_POOL_KILL_POINT();
}

}  // namespace zim_sim
