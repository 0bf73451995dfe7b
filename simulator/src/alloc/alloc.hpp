// SPDX-License-Identifier: Apache-2.0
// Allocation: handing out blocks to table ids (zim_shm_table_pool_calloc)
// and untyped blocks (zim_shm_pool_calloc_untyped), in table_pool_calloc.cpp
// and untyped_block.cpp, blocks that take a live object's place under its
// pool id (replace_object.cpp), and the parts of a transaction that the
// migration's transactions share (plan, put_header, arm, in
// transaction_parts.cpp). Internal to libzim_memory.
//
// Its rules: every allocation is one transaction under the pool's lock that
// keeps I1-I4 (segment/segment.hpp). Blocks are never reused nor cleared: a
// block handed out is zero because the segment was created zero-filled and
// what is not yet handed out stays zero outside a transaction (I3). A table
// id that this program carries a layout note of gets blocks only while the
// pool records no layout of the id or the note's (or, for the pool's owner,
// the layout that a migration under way converts the id's objects to).
//
// What it writes, holding the lock: the undo record, armed first (arm) and
// disarmed last; a new block's header and start bit; when the id's page is
// missing, the page (its header and start bit, its entry in `pages`); when
// this program carries a note of the id and the pool records no layout of it,
// the layout record (its bytes, header and start bit) and the slot's
// fingerprint and layout; the carve point; the region's cursor, limit, bytes
// and blocks (of the id's slot, or `untyped`).
// A replacement also retires the object it replaces, in the same
// transaction: its block's tag, and before the transaction its line's
// retired word (through versions/' ChangeAnnouncer, which tells the feed).
// Never a byte of a block it handed out; past the lock it populates the
// pages of the next chunk (prefault.cpp), which writes none. What it only
// reads: id pages and layout records, the migration record under way, and
// the region counts that zim_shm_pool_table_bytes and
// zim_shm_pool_table_blocks report.
//
// Uses segment/, records/ (the records, this program's layouts and which ids
// it checked), names/ (the mapped pool, whether this process owns it),
// attach/ (the default pool), platform/ (printable names) and versions/
// (lines, pool ids, the feed).
#ifndef ZIM_SIM_SRC_ALLOC_ALLOC_HPP
#define ZIM_SIM_SRC_ALLOC_ALLOC_HPP

#include <atomic>
#include <cstdint>

#include "segment/segment.hpp"

namespace zim_sim {

struct NoteLayout;      // records/program_layouts.hpp
class ChangeAnnouncer;  // versions/versions.hpp

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

// Offset of p, which lies in the pool at hdr.
inline uint64_t offset_in(const PoolHeader* hdr, const void* p) {
  return static_cast<uint64_t>(static_cast<const char*>(p) - reinterpret_cast<const char*>(hdr));
}

// What an allocation took from the carve point: [at, next), a chunk or a run.
struct Carved {
  uint64_t at = 0, next = 0;  // next 0: nothing carved
};

// Populates, past the pool's lock, the pages of what an allocation carved (a
// chunk's, at most 65536 bytes of a run's) and, so that the next carve does
// not fault under the lock, the first page at the new carve point and the
// start map's words of the chunk there (prefault.cpp). Writes no byte.
void prefault_carved(PoolHeader* hdr, const Carved& carved);

// Hands out a zero-filled block of `size` bytes to a table id or
// ZIM_SHM_POOL_UNTYPED, taking the pool's lock, mapping the default pool if
// none is mapped; null when the pool cannot hold it or, for a table id, when
// the program's layout of the id differs from the pool's (table_pool_calloc.cpp).
void* calloc_block(uint32_t table_id, uint64_t size);

// The live object of a versioned pool that an allocation replaces: retired
// in the allocation's own transaction, so that its pool id passes to the new
// block without a look for the id among the pool's blocks (the pool holds at
// most one live object of an id, and this one held it).
struct Replaced {
  uint64_t offset;             // of the object's data
  uint64_t size;               // of its block
  ChangeAnnouncer* announcer;  // tells its retirement; made before the pool's lock
};

// calloc_block with the pool id the new object carries (0: drawn), errno set
// on failure: EPERM when another process holds the pool's writes, EEXIST
// when a live object has pool_id, EINVAL for a pool_id in a pool that is not
// versioned or a size the layout refuses, ENOMEM when the pool has no room.
// `received`, when not null, is the layout of table_id that the caller was
// given (checked): used as a note when the program has none of the id, and
// refused (EINVAL) when it differs from the program's. `replaced`, when not
// null, is a live object of table_id with pool_id that the block takes the
// place of: EBUSY during a migration, EINVAL when it is no longer live, and
// on any failure it stays live.
void* calloc_block_as(uint32_t table_id, uint64_t size, uint64_t pool_id,
                      const NoteLayout* received = nullptr, const Replaced* replaced = nullptr);

// Under the pool's lock: 0 when `replaced` is still a live object of
// table_id whose line has pool_id and no migration is under way, else the
// errno that refuses the replacement (replace_object.cpp).
int replacement_refusal(PoolHeader* hdr, uint32_t table_id, uint64_t pool_id,
                        const Replaced& replaced);

// In the armed transaction of a replacement: the replaced object's block
// retired (replace_object.cpp).
void retire_replaced(PoolHeader* hdr, uint32_t table_id, const Replaced& replaced);

// The layout record of table_id that a copier received (text_size bytes of
// layout_text, with `fingerprint`), read as outside bytes: false after a line
// on stderr when it is empty, too long, does not read, or is of another table
// id or fingerprint (alloc_with_layout.cpp).
bool read_received_layout(uint32_t table_id, const char* layout_text, uint32_t text_size,
                          uint64_t fingerprint, NoteLayout* received);

// Hands out a zero-filled block of `size` bytes to table_id in the mapped
// pool, held to `layout` instead of this program's notes (recorded with the
// id's first block; null: unchecked, as a program without a note): for a pool
// made again from a saved image (image/). Null when the pool cannot hold it,
// or records another layout of the id.
void* calloc_block_recorded(uint32_t table_id, uint64_t size, const NoteLayout* layout);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_ALLOC_ALLOC_HPP
