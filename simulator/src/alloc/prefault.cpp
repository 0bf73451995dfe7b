// SPDX-License-Identifier: Apache-2.0
// libzim_memory: bringing in the pages of the chunk an allocation is about to
// carve, before it takes the pool's lock.
//
// A fresh page of the segment costs a fault on its first write; taken under
// the pool's lock (the block header, the line and the start bits are written
// there) it holds every other allocator of the pool for as long. So, when the
// region's current chunk cannot hold the request, the pages a fresh chunk (or
// the first chunk's worth of a run) would take from the carve point, and the
// start map's words for them, are populated first, in one call each, outside
// the lock. The region and the carve point are read without the lock and may
// be stale by the time it is taken: that costs at most pages populated for
// nothing (they are zero and stay so), never a byte of the pool, which
// populating leaves as it is.

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>

#include "alloc/alloc.hpp"
#include "names/mapping.hpp"
#include "records/records.hpp"

namespace zim_sim {

namespace {

constexpr uint64_t kPageBytes = 4096;

// Cleared when the kernel does not know MADV_POPULATE_WRITE (before 5.14):
// the pages then fault in as they are written.
std::atomic<bool> g_populating{true};

// Populates the pages of [from, to) of the mapping at base, rounded out to pages.
void populate(char* base, uint64_t from, uint64_t to) {
  const uint64_t first = from & ~(kPageBytes - 1);
  const uint64_t last = (to + kPageBytes - 1) & ~(kPageBytes - 1);
  if (madvise(base + first, last - first, MADV_POPULATE_WRITE) != 0 && errno == EINVAL) {
    g_populating.store(false, kRelaxed);
  }
}

}  // namespace

void prefault_chunk(PoolHeader* hdr, uint32_t table_id, uint64_t need) {
  if (!g_populating.load(kRelaxed)) return;
  // The mapping's own size bounds everything read from the segment.
  const uint64_t size = g_pool_size.load(kRelaxed);
  if (size < ZIM_SHM_POOL_MIN_SIZE || hdr->size != size) return;
  const TableRegion* region = &hdr->untyped;
  if (table_id != ZIM_SHM_POOL_UNTYPED) {
    const IdSlot* slot = id_slot(hdr, size, table_id);
    if (slot == nullptr) return;  // the id's first block: rare, left to fault
    region = &slot->region;
  }
  const uint64_t cursor = region->cursor.load(kRelaxed), limit = region->limit.load(kRelaxed);
  if (cursor <= limit && limit - cursor >= need && need <= ZIM_SHM_POOL_CHUNK_SIZE) return;
  const uint64_t end = start_map_offset(size);
  const uint64_t carve = hdr->carve.load(kRelaxed);
  if (carve < ZIM_SHM_POOL_HEADER_SIZE || carve >= end || carve % kLine != 0) return;
  // A run gets its first chunk's worth: its header's page is what the lock
  // would wait for, and a large block may be written sparsely.
  const uint64_t bytes = std::min<uint64_t>(ZIM_SHM_POOL_CHUNK_SIZE, end - carve);
  char* base = reinterpret_cast<char*>(hdr);
  populate(base, carve, carve + bytes);
  const char* first_word = reinterpret_cast<const char*>(&start_word(hdr, size, carve));
  const char* last_word = reinterpret_cast<const char*>(&start_word(hdr, size, carve + bytes - 1));
  populate(base, static_cast<uint64_t>(first_word - base),
           static_cast<uint64_t>(last_word - base) + sizeof(uint64_t));
}

}  // namespace zim_sim
