// libzim_memory: carving blocks for table ids out of the pool.

#include <atomic>
#include <cstdint>

#include "pool.h"

namespace {

using zim_sim::PoolHeader;
using zim_sim::TableRegion;

// Takes `len` bytes at the pool's carve point; false when the pool is short.
bool TakeRun(PoolHeader *hdr, uint64_t len, uint64_t *offset) {
  if (hdr->size - hdr->carve < len) return false;
  *offset = hdr->carve;
  hdr->carve += len;
  return true;
}

// Finds `need` bytes (a multiple of ZIM_SHM_POOL_ALIGN) for a table id. Called
// with the pool locked. Each store leaves a consistent state should the
// process die here: the carve point moves before a table id takes the chunk
// behind it, so a crash can lose a chunk but never give it out twice.
bool Carve(PoolHeader *hdr, TableRegion *table, uint64_t need, uint64_t *offset) {
  if (need > ZIM_SHM_POOL_CHUNK_SIZE) return TakeRun(hdr, need, offset);
  if (table->limit - table->cursor < need) {
    // The rest of the current chunk is left unused. At the end of the pool a
    // chunk may be shorter than usual, but it must hold this request.
    uint64_t len = hdr->size - hdr->carve;
    if (len > ZIM_SHM_POOL_CHUNK_SIZE) len = ZIM_SHM_POOL_CHUNK_SIZE;
    len &= ~uint64_t{ZIM_SHM_POOL_ALIGN - 1};
    uint64_t start = 0;
    if (len < need || !TakeRun(hdr, len, &start)) return false;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    table->limit = start + len;
    table->cursor = start;
  }
  *offset = table->cursor;
  table->cursor += need;
  return true;
}

uint64_t TableStat(uint32_t table_id, uint64_t TableRegion::*field) {
  PoolHeader *hdr = zim_sim::MappedPool();
  if (hdr == nullptr || table_id >= ZIM_NUM_TABLE_TYPES) return 0;
  zim_sim::PoolLock lock(hdr);
  return hdr->tables[table_id].*field;
}

}  // namespace

extern "C" ZIM_SIM_API void *zim_shm_table_pool_calloc(uint32_t table_id, uint64_t size) {
  if (table_id >= ZIM_NUM_TABLE_TYPES || size == 0) return nullptr;
  PoolHeader *hdr = zim_sim::MappedPool();
  if (hdr == nullptr) hdr = zim_sim::MapDefaultPool();
  if (hdr == nullptr || size > hdr->size) return nullptr;
  const uint64_t need = (size + ZIM_SHM_POOL_ALIGN - 1) & ~uint64_t{ZIM_SHM_POOL_ALIGN - 1};
  TableRegion *table = &hdr->tables[table_id];
  uint64_t offset = 0;
  {
    zim_sim::PoolLock lock(hdr);
    if (!Carve(hdr, table, need, &offset)) return nullptr;
    table->bytes += need;
    table->blocks += 1;
  }
  // No clearing needed: blocks are never reused and the segment was created
  // zero-filled, so every byte handed out is still zero.
  return reinterpret_cast<char *>(hdr) + offset;
}

extern "C" ZIM_SIM_API uint64_t zim_shm_pool_table_bytes(uint32_t table_id) {
  return TableStat(table_id, &TableRegion::bytes);
}

extern "C" ZIM_SIM_API uint64_t zim_shm_pool_table_blocks(uint32_t table_id) {
  return TableStat(table_id, &TableRegion::blocks);
}
