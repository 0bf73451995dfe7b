// SPDX-License-Identifier: Apache-2.0
// libzim_memory: bringing in the pages of the chunk the next allocation of a
// region will carve, outside the pool's lock.
//
// A fresh page of the segment costs a fault on its first write; taken under
// the pool's lock (a new chunk's block header, line and start bits are
// written there) it holds every other allocator of the pool for as long. So
// an allocation that leaves its region's chunk too full for another request
// of its size (or that was a run) populates, once it has released the lock,
// the pages a fresh chunk would take from the carve point, and the start
// map's words for them, in one call each. The carve point may move before
// that region's next request (another region carves first): that costs pages
// brought in for someone else, never a byte of the pool, which populating
// leaves as it is (the pages are zero and stay so until carved).

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>

#include "alloc/alloc.hpp"
#include "names/mapping.hpp"

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
    g_populating.store(false, std::memory_order_relaxed);
  }
}

}  // namespace

void prefault_chunk(PoolHeader* hdr, uint64_t carve) {
  if (!g_populating.load(std::memory_order_relaxed)) return;
  // The mapping's own size bounds the range.
  const uint64_t size = g_pool_size.load(std::memory_order_relaxed);
  if (size < ZIM_SHM_POOL_MIN_SIZE || hdr->size != size) return;
  const uint64_t end = start_map_offset(size);
  if (carve < ZIM_SHM_POOL_HEADER_SIZE || carve >= end || carve % kLine != 0) return;
  const uint64_t bytes = std::min<uint64_t>(ZIM_SHM_POOL_CHUNK_SIZE, end - carve);
  char* base = reinterpret_cast<char*>(hdr);
  populate(base, carve, carve + bytes);
  const char* first_word = reinterpret_cast<const char*>(&start_word(hdr, size, carve));
  const char* last_word = reinterpret_cast<const char*>(&start_word(hdr, size, carve + bytes - 1));
  populate(base, static_cast<uint64_t>(first_word - base),
           static_cast<uint64_t>(last_word - base) + sizeof(uint64_t));
}

}  // namespace zim_sim
