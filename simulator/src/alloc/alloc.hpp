// SPDX-License-Identifier: Apache-2.0
// Carving blocks and arming the undo record (I4 in pool.hpp): shared by the
// allocator (table_pool_calloc.cpp) and the migration of objects
// (migration.cpp), whose transactions carve blocks as allocations do.
#ifndef ZIM_SIM_SRC_POOL_ALLOC_HPP
#define ZIM_SIM_SRC_POOL_ALLOC_HPP

#include <atomic>
#include <cstdint>

#include "segment/segment.hpp"

namespace zim_sim {

constexpr uint64_t kLine = ZIM_SHM_POOL_ALIGN;

// `bytes` rounded up to whole lines.
constexpr uint64_t lines(uint64_t bytes) { return (bytes + kLine - 1) & ~(kLine - 1); }

// Where an allocation puts what it carves (block header offsets, 0 for none)
// and the state it leaves.
struct Plan {
  uint64_t page = 0, record = 0, record_bytes = 0, block = 0;
  uint64_t carve, cursor, limit;
};

// Lays out, from the carve point on (up to `end`), a new page, a new record
// of record_bytes and a block of `need` bytes with its header, in the chunk
// [cursor, limit), a fresh chunk or a run; false when they do not fit.
bool plan(uint64_t carve, uint64_t end, uint64_t cursor, uint64_t limit, bool page,
          uint64_t record_bytes, uint64_t need, Plan* p);

// Writes a block header of `size` bytes and `tag` at `at`, then the block's start bit.
void put_header(PoolHeader* hdr, uint64_t at, uint64_t size, uint32_t tag);

inline void put_changed(std::atomic<uint64_t>& word, uint64_t value) {
  if (word.load(std::memory_order_relaxed) != value) put(word, value);
}

// What a transaction names in the undo record besides the state it saves
// (see UndoRecord).
struct Undo {
  uint64_t block_header = 0, page_header = 0, record_header = 0, record_size = 0;
  uint64_t block_bytes = 0, retired_header = 0, move_count_at = 0, move_count = 0;
  uint64_t span_end = 0;
  bool slot_layout = false;  // the transaction changes the layout of the slot at region_at
};

// Saves the carve point, the region at region_at (0: none) and with
// u.slot_layout its slot's fingerprint and layout, then u, into the undo
// record and arms it: the first stores of a transaction (I4).
void arm(PoolHeader* hdr, uint64_t region_at, const Undo& u);

// Takes back the transaction under way as the next holder would after its
// death (I5) and disarms the record: for a transaction that cannot go on.
void undo_transaction(PoolHeader* hdr);

// Offset of p, which lies in the pool at hdr.
inline uint64_t offset_in(const PoolHeader* hdr, const void* p) {
  return static_cast<uint64_t>(static_cast<const char*>(p) - reinterpret_cast<const char*>(hdr));
}

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_POOL_ALLOC_HPP
