// Layout of the shared-memory table pool and the internals shared by the
// files of libzim_memory. Nothing here is exported.
#ifndef ZIM_SIM_SRC_POOL_H
#define ZIM_SIM_SRC_POOL_H

#include <pthread.h>
#include <zim/sim/shm_pool.h>

#include <atomic>
#include <cstdint>

namespace zim_sim {

constexpr uint64_t kPoolMagic = 0x316c6f6f706d697aull;  // "zimpool1"
constexpr uint32_t kPoolVersion = 1;

// Allocation state of one table id. Guarded by PoolHeader::lock.
struct TableRegion {
  uint64_t cursor;  // next free offset in the current chunk
  uint64_t limit;   // end of the current chunk
  uint64_t bytes;   // bytes handed out, rounded up to ZIM_SHM_POOL_ALIGN
  uint64_t blocks;  // blocks handed out
};

// Start of the segment. Offsets are from the segment's first byte; blocks
// start at ZIM_SHM_POOL_HEADER_SIZE.
struct PoolHeader {
  std::atomic<uint64_t> magic;  // stored last by the creator: the rest is ready
  uint32_t version;
  uint32_t reserved;
  uint64_t size;          // of the whole segment
  uint64_t creator_base;  // creator's mapping address; attachers map elsewhere
  std::atomic<uint64_t> root;
  std::atomic<uint32_t> next_uid;
  pthread_mutex_t lock;  // robust, process-shared
  uint64_t carve;        // first offset not yet given to a chunk or run; guarded by lock
  TableRegion tables[ZIM_NUM_TABLE_TYPES];
};

static_assert(sizeof(PoolHeader) <= ZIM_SHM_POOL_HEADER_SIZE, "header fits its reserved space");
static_assert(ZIM_SHM_POOL_HEADER_SIZE % ZIM_SHM_POOL_ALIGN == 0, "first block aligned");
static_assert(ZIM_SHM_POOL_CHUNK_SIZE % ZIM_SHM_POOL_ALIGN == 0, "chunks keep alignment");
// Atomics in a segment mapped by several processes must not hide a lock.
static_assert(std::atomic<uint64_t>::is_always_lock_free, "address-free 64-bit atomics");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "address-free 32-bit atomics");

// Holds PoolHeader::lock; recovers it when its holder died (the allocation
// state stays consistent at every store, see Carve).
class PoolLock {
 public:
  explicit PoolLock(PoolHeader *hdr);
  ~PoolLock();
  PoolLock(const PoolLock &) = delete;
  PoolLock &operator=(const PoolLock &) = delete;

 private:
  PoolHeader *hdr_;
};

// The pool this process maps, null if none. Safe to call from any thread.
PoolHeader *MappedPool();

// Maps the default pool (see shm_pool.h) if no pool is mapped; null, after a
// message on stderr, when it cannot be created.
PoolHeader *MapDefaultPool();

// Whether name is usable as a pool name: "/" then 1 to 254 characters, no "/".
bool ValidPoolName(const char *name);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_POOL_H
