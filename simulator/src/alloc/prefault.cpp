// SPDX-License-Identifier: Apache-2.0
// libzim_memory: bringing in the pages of what an allocation carved, outside
// the pool's lock.
//
// A fresh page of the segment costs a fault on its first write; taken under
// the pool's lock it holds every other allocator of the pool for as long. An
// allocation that carves a chunk writes its first block's headers on the
// chunk's first page, under the lock; the chunk's other pages are written
// past the lock, by the objects' makers. So an allocation that carved
// populates, once it has released the lock, the rest of what it carved
// (which no other process will touch before its region hands it out) and,
// for whichever region carves next, the first page at the new carve point
// and the start map's words of the chunk there. Populating only what one's
// own region took keeps two processes off each other's pages: populating a
// chunk ahead that another process then carves and writes makes both wait on
// the same pages. Populating writes no byte of the pool (the pages are zero
// and stay so until handed out).

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

void prefault_carved(PoolHeader* hdr, const Carved& carved) {
  if (!g_populating.load(std::memory_order_relaxed)) return;
  // The mapping's own size bounds every range.
  const uint64_t size = g_pool_size.load(std::memory_order_relaxed);
  if (size < ZIM_SHM_POOL_MIN_SIZE || hdr->size != size) return;
  const uint64_t end = start_map_offset(size);
  if (carved.at < ZIM_SHM_POOL_HEADER_SIZE || carved.at >= carved.next || carved.next > end) {
    return;
  }
  char* base = reinterpret_cast<char*>(hdr);
  populate(base, carved.at, std::min(carved.next, carved.at + ZIM_SHM_POOL_CHUNK_SIZE));
  const uint64_t next = carved.next;
  if (next != end && next % kLine == 0) {
    populate(base, next, next + 1);
    const uint64_t ahead = std::min<uint64_t>(ZIM_SHM_POOL_CHUNK_SIZE, end - next);
    const char* first_word = reinterpret_cast<const char*>(&start_word(hdr, size, next));
    const char* last_word = reinterpret_cast<const char*>(&start_word(hdr, size, next + ahead - 1));
    populate(base, static_cast<uint64_t>(first_word - base),
             static_cast<uint64_t>(last_word - base) + sizeof(uint64_t));
  }
}

}  // namespace zim_sim
