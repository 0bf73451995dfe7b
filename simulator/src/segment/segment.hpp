// SPDX-License-Identifier: Apache-2.0
// The segment: the bytes of a pool and the rules that every writer of them
// keeps. Internal to libzim_memory: nothing here is exported.
//
// What it holds: the segment's format (PoolHeader, the undo record, id pages,
// block headers, the start map), the invariants I1-I5 (at PoolHeader), the
// writers put() and fill() and the kill points after them; the pool's lock
// and the recovery after a holder died
// (pool_lock.cpp); what a reader takes from a segment's header
// (header_facts.cpp).
//
// What it writes: taking the lock, PoolHeader::holder_pid and acquisitions;
// as the next holder after a death (I5), or for a transaction that cannot go
// on (undo_transaction), what an armed undo record names and nothing else:
// the new block, page and record headers and bytes it names, zeroed, their
// start bits cleared, the runs a beginning carved, the retired block made
// live, the move count, the directory entry, `migration`, the carve point,
// the region and the slot's layout put back; then the record's `armed` word.
// It never carves, and never writes a block that was handed out.
// What it only reads: a segment's header facts, in place or with pread.
//
// Uses no other room; every room of the pool uses it. A mechanism to come
// (another kind of record, say) adds its tag to known_tag() and what its
// transactions change to UndoRecord and restore(), and keeps its code in a
// room of its own.
#ifndef ZIM_SIM_SRC_SEGMENT_SEGMENT_HPP
#define ZIM_SIM_SRC_SEGMENT_SEGMENT_HPP

#include <pthread.h>
#include <zim/sim/shm_pool.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/pool_records.hpp"

namespace zim_sim {

constexpr uint64_t kPoolMagic = 0x316c6f6f706d697aull;  // "zimpool1"
// 3: a block header in front of every block; 4: the lock holder's pid and acquisition count;
// 5: untyped blocks, with a region of their own after the table ids'; 6: the start map;
// 7: table ids up to 65535 in id pages, the configuration and layout records;
// 8: hand-over, adoption and the migration of objects to a new layout.
// 9: a versioned pool (versions/versions.hpp); this release makes and attaches both.
constexpr uint32_t kPoolVersion = 8;
constexpr uint32_t kVersionedPoolVersion = ZIM_SHM_POOL_VERSIONED_LAYOUT_VERSION;
constexpr bool known_pool_version(uint32_t version) {
  return version == kPoolVersion || version == kVersionedPoolVersion;
}
constexpr uint32_t kBlockMagic = 0x6b6c627au;  // "zblk"
constexpr uint32_t kRetiredMagic =
    0x7465727au;  // "zret": a block whose object was migrated or retired

// Allocation state of one table id (or of the untyped blocks): its current
// chunk is [cursor, limit); both are 0 before its first chunk.
struct TableRegion {
  std::atomic<uint64_t> cursor;  // next free offset in the current chunk
  std::atomic<uint64_t> limit;   // end of the current chunk
  std::atomic<uint64_t> bytes;   // bytes handed out, rounded up to ZIM_SHM_POOL_ALIGN
  std::atomic<uint64_t> blocks;  // blocks handed out
};

// What the pool knows of one table id: its region and its layout record
// (fingerprint and offset of the ZIM_SHM_POOL_LAYOUT block; both 0 for none).
struct IdSlot {
  TableRegion region;
  std::atomic<uint64_t> fingerprint;
  std::atomic<uint64_t> layout;
};

// The slots of 256 consecutive table ids: the content of a ZIM_SHM_POOL_ID_PAGE
// block, carved with the first block of one of its ids, zero until then.
using zim_codec::kIdsPerPage;
constexpr uint32_t kPages = zim_codec::kMaxIdPages;
struct IdPage {
  IdSlot slots[kIdsPerPage];
};

// In front of every block, ZIM_SHM_POOL_BLOCK_HEADER_SIZE bytes before it:
// what lets a reader of the segment find the blocks (walk/pool_walk.cpp).
struct BlockHeader {
  std::atomic<uint64_t> tag;   // kBlockMagic in the low 32 bits, the table id in the high 32
  std::atomic<uint64_t> size;  // as requested, not rounded
};

constexpr uint64_t block_tag(uint32_t table_id) { return kBlockMagic | uint64_t{table_id} << 32; }

constexpr uint64_t retired_tag(uint32_t table_id) {
  return kRetiredMagic | uint64_t{table_id} << 32;
}

// Whether a block header may name table_id: a table id, the untyped blocks or
// one of the pool's own records.
constexpr bool known_tag(uint32_t table_id) {
  return table_id <= ZIM_SHM_POOL_MAX_TABLE_ID || table_id == ZIM_SHM_POOL_UNTYPED ||
         table_id == ZIM_SHM_POOL_CONFIG || table_id == ZIM_SHM_POOL_LAYOUT ||
         table_id == ZIM_SHM_POOL_ID_PAGE || table_id == ZIM_SHM_POOL_MIGRATION ||
         table_id == ZIM_SHM_POOL_VERSION_LINE || table_id == ZIM_SHM_POOL_FEED ||
         table_id == ZIM_SHM_POOL_INDEX;
}

// Whether a block header's two words name a block, live or retired, whose
// bytes fit in the `room` bytes after the header: what a walk of the blocks
// steps over whole. Anything else it steps over one line at a time.
constexpr bool names_block(uint64_t tag, uint64_t size, uint64_t room) {
  const uint32_t magic = static_cast<uint32_t>(tag);
  return (magic == kBlockMagic || magic == kRetiredMagic) &&
         known_tag(static_cast<uint32_t>(tag >> 32)) && size != 0 && size <= room;
}

// What one transaction may change, as it was before the transaction began,
// and the blocks it carves and writes. An allocation: its block, and with the
// first block of a table id, that id's page (when the page is new) and its
// layout record. A migration (migration/): beginning it carves the runs of
// [carve, span_end) and sets PoolHeader::migration; converting one object
// carves and writes a new block, retires the old one and appends a move; a
// completion or a retirement switches or forgets a slot's layout record and
// retires the record's block (or an object's) instead; a replacement is an
// allocation that also retires the object whose pool id its block takes.
struct UndoRecord {
  std::atomic<uint64_t> armed;  // 1 while a transaction is under way, else 0
  std::atomic<uint64_t> carve;
  std::atomic<uint64_t> region;  // offset of the TableRegion it changes, 0 for none
  std::atomic<uint64_t> cursor, limit, bytes, blocks;
  std::atomic<uint64_t> block_header;    // offset of the new block's header, 0 for none
  std::atomic<uint64_t> page_header;     // of a new id page, 0 for none
  std::atomic<uint64_t> record_header;   // of a new layout record, 0 for none
  std::atomic<uint64_t> record_size;     // its bytes after the header
  std::atomic<uint64_t> block_bytes;     // bytes of the new block written in place, 0 for none
  std::atomic<uint64_t> retired_header;  // header of a block it retires, 0 for none
  std::atomic<uint64_t> move_count_at;   // offset of the migration record's move count, 0 for none
  std::atomic<uint64_t> move_count;
  std::atomic<uint64_t> span_end;     // beginning a migration: end of its runs, else 0
  std::atomic<uint64_t> slot_layout;  // 1: the slot of `region` gets these back
  std::atomic<uint64_t> fingerprint, layout;
};

// Start of the segment. Offsets are from the segment's first byte; chunks and
// runs start at ZIM_SHM_POOL_HEADER_SIZE and end before the start map (see
// start_map_offset). A chunk holds block headers and blocks back to back, each
// block rounded up to ZIM_SHM_POOL_ALIGN, then zero bytes up to its end; a run
// holds one header and its block. The start map has a bit for every line
// after the header, set where a block handed out begins. The first run is the
// configuration record (ZIM_SHM_POOL_CONFIG), written at creation; id pages,
// layout records and migration records are runs of their own too. A block is
// live (kBlockMagic) or retired (kRetiredMagic): its object was migrated or
// retired, its bytes stay and its start bit stays set.
//
// Allocation state: `carve`, `untyped`, `pages`, the id pages' slots, the
// tags of block headers, `migration` and the state word, move count and moves
// of its record, changed only by the holder of `lock`, a robust
// process-shared mutex. It keeps these invariants, which a process killed at
// any instruction cannot break:
//   I1  ZIM_SHM_POOL_HEADER_SIZE <= carve <= start_map_offset(size); every
//       chunk and run lies in [ZIM_SHM_POOL_HEADER_SIZE, carve), so no block
//       overlaps the header or the start map.
//   I2  For each region (a table id's, or the untyped blocks'), cursor <=
//       limit, [cursor, limit) lies in a chunk that belongs to that region
//       alone and that it took from the carve point (or is empty: 0, 0), and
//       bytes and blocks count its live blocks. A directory entry of `pages`
//       is 0 or names a complete id page; a slot's layout is 0 or names a
//       complete live layout record of its table id with the slot's
//       fingerprint. `migration` is 0 or names a complete migration record
//       (retired once its moves were reported) whose types' new layout
//       records are complete; its first move_count moves each name a block
//       it retired and the complete live block converted from it.
//   I3  No byte of [cursor, limit) of any region, nor of [carve, start map),
//       has been handed out, and outside a transaction under way (an armed
//       `undo`) every such byte is zero and no such line has its start bit
//       set: the segment was created zero-filled, and the allocator writes
//       only block headers, start bits and the pool's own records (an id page,
//       a layout or migration record), and a migration the new object it
//       converts, each while its transaction's record is armed and before the
//       cursor or carve moves past it, never a block it handed out. Pages
//       and records are carved from the carve point by the transaction that
//       writes them, so they were zero before it.
//   I4  Every word of the state, of `undo` and of a block header is stored
//       with one atomic store; a new record's bytes are copied in before
//       anything names it. Before the first store of a transaction, the
//       holder copies what it may change (carve, the region, a move count, a
//       slot's layout) and the offsets of the blocks it will write or retire
//       into `undo` and then arms it (one store); then it writes the headers,
//       the records, the start bits (after each tag: a reader that sees the
//       bit sees the header), a converted object, then the new state, a
//       directory entry before the slot behind it and a slot's layout last,
//       an old block's retirement before the move that names it and a move
//       before the count that takes it in; it disarms the record after the
//       last store and before unlocking. A holder that dies therefore leaves
//       either an armed record, some of the headers, records and objects and
//       some of the new values, or a disarmed one and the complete new state.
//   I5  The next holder, told by EOWNERDEAD, zeroes the block headers that an
//       armed record names, the new page's, record's and converted object's
//       bytes and the runs a beginning carved, clears their start bits (which
//       I3 says were clear before), turns the retired block it names live
//       again, empties the directory entry of a new page and the layout of the
//       slot (or gives the slot its layout back), sets `migration` back to 0
//       after a beginning and restores the record's values before it marks
//       the lock consistent, which brings back I2 and I3. The dead holder
//       never returned its block, so nobody can hold a block that the
//       restored state offers again, and nobody wrote to it. Restoring is
//       idempotent: if the restorer dies too, the next holder does it again.
//       With a disarmed record the new state stands; at worst the dead
//       holder's block is lost, still behind its complete header.
// Stores to the state, to block headers and to the start map go through put(),
// the only writer besides creation, and the copy of a record and the zeroing
// of one through fill(); the crash test stops a process after each of them,
// and after each conversion of an object.
struct PoolHeader {
  std::atomic<uint64_t> magic;  // stored last by the creator: the rest is ready
  uint32_t version;
  int32_t creator_pid;    // for the record; messages name owner_pid
  uint64_t size;          // of the whole segment
  uint64_t creator_base;  // creator's mapping address; attachers map elsewhere
  std::atomic<uint64_t> root;
  std::atomic<uint32_t> next_uid;
  pthread_mutex_t lock;  // robust, process-shared
  // Written by each holder right after taking `lock`, for the message of a
  // waiter that cannot get it (segment/pool_lock.cpp); not allocation state, no
  // kill points. holder_pid is 0 while nobody holds the lock.
  std::atomic<int32_t> holder_pid;
  std::atomic<uint64_t> acquisitions;
  std::atomic<uint64_t> carve;   // first offset not yet given to a chunk or run
  std::atomic<uint64_t> config;  // offset of the configuration record, set at creation
  UndoRecord undo;
  TableRegion untyped;
  std::atomic<uint64_t> pages[kPages];  // offset of each id page (its first byte), 0 for none
  // 1 once the pool was handed over or adopted: its name then stays until
  // zim_shm_pool_destroy, however its owner ends.
  std::atomic<uint32_t> kept;
  std::atomic<int32_t> owner_pid;  // the creator, then each adopter; for messages only
  // Adoptions so far, +1 under `lock` by each adopter: attachers lock a byte
  // of the epoch that stands when their handshake holds `lock`
  // (attach/attach_locks.hpp), so that a migration, reading the locks under `lock`,
  // can tell who attached before this owner adopted the pool.
  std::atomic<uint32_t> epoch;
  std::atomic<uint64_t>
      migration;  // offset of the ZIM_SHM_POOL_MIGRATION record under way, 0 for none
  // 1 from a hand-over or a migration's beginning until a migration ends with
  // none under way, else 0: the futex word that zim_shm_pool_wait_attachable
  // sleeps on (migration/attach_gate.cpp). Zero in pools of earlier releases.
  std::atomic<uint32_t> attach_gate;
};

static_assert(sizeof(PoolHeader) <= ZIM_SHM_POOL_HEADER_SIZE, "header fits its reserved space");
static_assert(ZIM_SHM_POOL_HEADER_SIZE % ZIM_SHM_POOL_ALIGN == 0, "first block aligned");
static_assert(ZIM_SHM_POOL_CHUNK_SIZE % ZIM_SHM_POOL_ALIGN == 0, "chunks keep alignment");
static_assert(sizeof(BlockHeader) == ZIM_SHM_POOL_BLOCK_HEADER_SIZE, "blocks keep alignment");
static_assert(ZIM_SHM_POOL_BLOCK_HEADER_SIZE == ZIM_SHM_POOL_ALIGN, "a header is one line");
static_assert(sizeof(IdPage) % ZIM_SHM_POOL_ALIGN == 0, "a page fills its lines");
// Atomics in a segment mapped by several processes must not hide a lock.
static_assert(std::atomic<uint64_t>::is_always_lock_free, "address-free 64-bit atomics");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "address-free 32-bit atomics");

// Crash-test builds (ZIM_POOL_KILL_POINTS) number the kill points a process
// passes: after taking the lock, after each put(), after unlocking and between
// the steps of pool creation. stop_at_kill_point(n) makes the n-th one stop the
// process with SIGSTOP, so that the test can kill it there. Other builds
// have no kill points.
#ifdef ZIM_POOL_KILL_POINTS
void kill_point();
void stop_at_kill_point(unsigned n);
unsigned kill_points_passed();  // by this process so far
#define ZIM_POOL_KILL_POINT() ::zim_sim::kill_point()
#else
#define ZIM_POOL_KILL_POINT() static_cast<void>(0)
#endif

// Stores one word of the allocation state or of a block header (I4).
inline void put(std::atomic<uint64_t>& word, uint64_t value) {
  word.store(value, std::memory_order_release);
  ZIM_POOL_KILL_POINT();
}

// Copies n bytes into (or, from null, zeroes n bytes of) a record that the
// armed undo record names (I4, I5).
inline void fill(void* to, const void* from, uint64_t n) {
  if (from != nullptr) {
    std::memcpy(to, from, n);
  } else {
    std::memset(to, 0, n);
  }
  ZIM_POOL_KILL_POINT();
}

// The block header at offset `at` of the pool.
inline BlockHeader& block_header_at(PoolHeader* hdr, uint64_t at) {
  return *reinterpret_cast<BlockHeader*>(reinterpret_cast<char*>(hdr) + at);
}

// Where the start map of a segment of `size` bytes begins: the end of what
// can be carved.
constexpr uint64_t start_map_offset(uint64_t size) {
  return (size & ~uint64_t{ZIM_SHM_POOL_ALIGN - 1}) - ZIM_SHM_POOL_START_MAP_SIZE(size);
}
static_assert(start_map_offset(ZIM_SHM_POOL_MIN_SIZE) > ZIM_SHM_POOL_HEADER_SIZE,
              "the smallest pool has room for a block");

// The word of the start map that holds the bit of the line at `offset`, which
// lies in [ZIM_SHM_POOL_HEADER_SIZE, start_map_offset(size)), and that bit:
// bit i of word w stands for line 64 * w + i after the header.
inline std::atomic<uint64_t>& start_word(const PoolHeader* hdr, uint64_t size, uint64_t offset) {
  const uint64_t line = (offset - ZIM_SHM_POOL_HEADER_SIZE) / ZIM_SHM_POOL_ALIGN;
  const uint64_t at = start_map_offset(size) + line / 64 * sizeof(uint64_t);
  return *reinterpret_cast<std::atomic<uint64_t>*>(
      reinterpret_cast<char*>(const_cast<PoolHeader*>(hdr)) + at);
}
constexpr uint64_t start_bit(uint64_t offset) {
  return uint64_t{1} << ((offset - ZIM_SHM_POOL_HEADER_SIZE) / ZIM_SHM_POOL_ALIGN % 64);
}

// Holds PoolHeader::lock; when its last holder died, first restores the
// allocation state from an armed undo record (I5).
class PoolLock {
 public:
  explicit PoolLock(PoolHeader* hdr);
  ~PoolLock();
  PoolLock(const PoolLock&) = delete;
  PoolLock& operator=(const PoolLock&) = delete;

 private:
  PoolHeader* hdr_;
};

// Takes back the transaction under way as the next holder would after its
// death (I5) and disarms the record: for a transaction that cannot go on.
void undo_transaction(PoolHeader* hdr);

// Crash-test builds only: how long a waiter for the pool's lock waits before
// it reports the holder (5 s otherwise).
#ifdef ZIM_POOL_KILL_POINTS
void report_lock_wait_after_ms(unsigned ms);
#endif

// What a reader of a segment needs of its header to tell whether it is a
// complete pool of this version, and where its carve point and root are.
struct HeaderFacts {
  uint64_t magic;
  uint32_t version;
  int32_t creator_pid;
  uint64_t size;
  uint64_t root;
  uint64_t carve;
};

// The facts of the pool header at hdr, read in place.
HeaderFacts header_facts(const PoolHeader* hdr);

// The first bytes of a segment, which hold its facts, and the facts they give.
constexpr size_t kFactsBytes = offsetof(PoolHeader, carve) + sizeof(uint64_t);
void facts_from(const unsigned char* bytes, HeaderFacts* facts);

// Reads the facts of the segment open on fd with pread; false with errno on
// failure: ENODATA when the segment is too short to hold them.
bool read_header_facts(int fd, HeaderFacts* facts);

// Whether a segment of segment_size bytes with these facts is a complete pool
// of this version: its creator stored the magic last, and a truncated or
// extended segment disagrees with the size its creator gave it.
inline bool is_complete_pool(const HeaderFacts& facts, uint64_t segment_size) {
  return facts.magic == kPoolMagic && known_pool_version(facts.version) &&
         facts.size == segment_size && segment_size >= ZIM_SHM_POOL_MIN_SIZE;
}

// Reads n bytes at offset of fd; false with errno on failure, ENODATA when the
// file ends first.
bool read_at(int fd, void* buf, uint64_t n, uint64_t offset);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_SEGMENT_SEGMENT_HPP
