// SPDX-License-Identifier: Apache-2.0
// libzim_memory: carving blocks for table ids (and the untyped blocks) out of
// the pool.

#include <atomic>
#include <cstdint>

#include "pool.hpp"

namespace {

using zim_sim::BlockHeader;
using zim_sim::PoolHeader;
using zim_sim::put;
using zim_sim::TableRegion;

constexpr auto kRelaxed = std::memory_order_relaxed;  // all under the pool's lock

// Finds room for a block of `size` bytes (`need`: its rounded size plus its
// header, a multiple of ZIM_SHM_POOL_ALIGN) in a region, writes the block's
// header and records the block as handed out. Called with the pool locked. The
// new state is worked out first and stored only while the undo record holds
// the old one and names the header (I4 in pool.hpp), so a crash at any point
// leaves the old state, with zeros where the header was, or the new one.
bool allocate(PoolHeader* hdr, uint32_t region, uint64_t size, uint64_t need, uint64_t* block) {
  TableRegion& table = hdr->tables[region];
  const uint64_t carve = hdr->carve.load(kRelaxed);
  const uint64_t cursor = table.cursor.load(kRelaxed);
  const uint64_t limit = table.limit.load(kRelaxed);
  const uint64_t bytes = table.bytes.load(kRelaxed);
  const uint64_t blocks = table.blocks.load(kRelaxed);
  const uint64_t end = zim_sim::start_map_offset(hdr->size);  // of what can be carved
  uint64_t at = 0;                                            // of the block header
  uint64_t new_carve = carve, new_cursor = cursor, new_limit = limit;
  if (need > ZIM_SHM_POOL_CHUNK_SIZE) {  // a run of its own; the chunk stays in use
    if (end - carve < need) return false;
    at = carve;
    new_carve = carve + need;
  } else if (limit - cursor >= need) {
    at = cursor;
    new_cursor = cursor + need;
  } else {
    // The rest of the current chunk is left unused. At the end of the pool a
    // chunk may be shorter than usual, but it must hold this request.
    const uint64_t len =
        end - carve < ZIM_SHM_POOL_CHUNK_SIZE ? end - carve : ZIM_SHM_POOL_CHUNK_SIZE;
    if (len < need) return false;
    at = carve;
    new_carve = new_limit = carve + len;
    new_cursor = carve + need;
  }

  zim_sim::UndoRecord& undo = hdr->undo;
  put(undo.carve, carve);
  put(undo.cursor, cursor);
  put(undo.limit, limit);
  put(undo.bytes, bytes);
  put(undo.blocks, blocks);
  put(undo.block_header, at);
  put(undo.armed, region + uint64_t{1});
  // The tag last: a walker that sees it sees the size too.
  BlockHeader& header = zim_sim::block_header_at(hdr, at);
  put(header.size, size);
  put(header.tag,
      zim_sim::block_tag(region == zim_sim::kUntypedRegion ? ZIM_SHM_POOL_UNTYPED : region));
  const uint64_t start = at + ZIM_SHM_POOL_BLOCK_HEADER_SIZE;
  std::atomic<uint64_t>& word = zim_sim::start_word(hdr, hdr->size, start);
  put(word, word.load(kRelaxed) | zim_sim::start_bit(start));
  if (new_carve != carve) put(hdr->carve, new_carve);
  if (new_limit != limit) put(table.limit, new_limit);
  if (new_cursor != cursor) put(table.cursor, new_cursor);
  put(table.bytes, bytes + need - ZIM_SHM_POOL_BLOCK_HEADER_SIZE);
  put(table.blocks, blocks + 1);
  put(undo.armed, 0);
  *block = start;
  return true;
}

uint64_t table_stat(uint32_t table_id, std::atomic<uint64_t> TableRegion::*field) {
  PoolHeader* hdr = zim_sim::mapped_pool();
  const uint32_t region = zim_sim::region_of(table_id);
  if (hdr == nullptr || region >= zim_sim::kRegions) return 0;
  zim_sim::PoolLock lock(hdr);
  return (hdr->tables[region].*field).load(kRelaxed);
}

}  // namespace

void* zim_sim::calloc_block(uint32_t region, uint64_t size) {
  if (size == 0) return nullptr;
  PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr) hdr = zim_sim::map_default_pool();
  if (hdr == nullptr || size > hdr->size) return nullptr;
  // size <= hdr->size < 2^63: no overflow.
  const uint64_t need = ZIM_SHM_POOL_BLOCK_HEADER_SIZE +
                        ((size + ZIM_SHM_POOL_ALIGN - 1) & ~uint64_t{ZIM_SHM_POOL_ALIGN - 1});
  uint64_t offset = 0;
  {
    zim_sim::PoolLock lock(hdr);
    if (!allocate(hdr, region, size, need, &offset)) return nullptr;
  }
  // No clearing needed: blocks are never reused and the segment was created
  // zero-filled, so every byte handed out is still zero (I3).
  return reinterpret_cast<char*>(hdr) + offset;
}

extern "C" ZIM_SIM_API void* zim_shm_table_pool_calloc(uint32_t table_id, uint64_t size) {
  if (table_id >= ZIM_NUM_TABLE_TYPES) return nullptr;
  return zim_sim::calloc_block(table_id, size);
}

extern "C" ZIM_SIM_API uint64_t zim_shm_pool_table_bytes(uint32_t table_id) {
  return table_stat(table_id, &TableRegion::bytes);
}

extern "C" ZIM_SIM_API uint64_t zim_shm_pool_table_blocks(uint32_t table_id) {
  return table_stat(table_id, &TableRegion::blocks);
}
