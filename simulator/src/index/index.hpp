// SPDX-License-Identifier: Apache-2.0
// The index: for each table id, 64-bit keys to one object each (its pool
// offset and pool id), laid over a region of the pool that the pool gives it
// (index_layout.cpp: sizing, creation, the checked open; index_read.cpp: the
// lock-free reads; index_write.cpp: the writers and the recovery;
// index_check.cpp: the consistency check). Internal to libzim_memory.
//
// Its rules: one table keyed by (table id, key), open addressing with linear
// probing over 2 x capacity slots and deletion by moving later entries of a
// cluster back (no tombstones, so probes stay short however many keys come
// and go). Readers take no lock and write nothing: each slot holds two copies
// of its entry and a control word that names the copy readers read, so a
// writer writes the other copy and publishes it with one store; a reader
// that found its key checks that the control word did not change, and one
// that found nothing checks that no entry moved back meanwhile (`moves`).
// Writers are serialised by the pool's lock, held by the caller.
//
// What it writes, under the caller's lock: IndexHeader's live, moves,
// pending and hole words, a rewrite's arguments and the slots, every word
// with put() (one atomic store, then a kill point in crash-test builds);
// index_init writes the whole region, the magic last. What it only reads:
// the region it was opened on.
//
// Uses segment/ (put() and the kill points).
#ifndef ZIM_SIM_SRC_INDEX_INDEX_HPP
#define ZIM_SIM_SRC_INDEX_INDEX_HPP

#include <atomic>
#include <cstdint>
#include <string>

namespace zim_sim {

constexpr uint64_t kIndexMagic = 0x3178646e696d697aull;  // "zimindx1"
constexpr uint64_t kIndexFormat = 1;
constexpr uint64_t kIndexMaxCapacity = uint64_t{1} << 30;  // slot numbers stay below 2^31
constexpr uint64_t kIndexNoSlot = 0xffffffffu;

// A writer's operation under way (IndexHeader::pending).
constexpr uint64_t kIndexInserting = 1;  // live may be one short of the slots in use
constexpr uint64_t kIndexRemoving = 2;   // `hole` names the removal's progress
constexpr uint64_t kIndexRewriting = 3;  // rewrite_pool_id's keys get rewrite_offset

struct IndexEntry {
  std::atomic<uint64_t> key, offset, pool_id;
};

// Control word: table id << 32 | generation << 1 | occupied. The generation
// (31 bits) grows with every store to the word and its low bit names the copy
// that readers read; a writer fills the other copy before it stores the word.
// A reader is fooled only if it stalls between its two loads of the word
// while the slot is stored 2^31 times.
struct IndexSlot {
  std::atomic<uint64_t> control;
  IndexEntry copies[2];
  std::atomic<uint64_t> unused;  // zero: a slot is one 64-byte line
};

// Start of the region; the slots follow it. magic, format, capacity and
// slot_count do not change after index_init.
struct IndexHeader {
  std::atomic<uint64_t> magic;  // stored last by index_init: the rest is ready
  uint64_t format;              // kIndexFormat | sizeof(IndexSlot) << 32
  uint64_t capacity;            // keys it may hold
  uint64_t slot_count;          // 2 x capacity
  std::atomic<uint64_t> live;   // keys it holds
  // Entries moved back toward their home so far, +1 after each move: a reader
  // that found nothing saw every slot on its path unchanged only if this did
  // not change.
  std::atomic<uint64_t> moves;
  std::atomic<uint64_t> pending;  // 0 or the kIndex...ing of the operation under way
  // A removal's hole (low 32 bits) and the slot being moved into it (high 32
  // bits, kIndexNoSlot between moves).
  std::atomic<uint64_t> hole;
  std::atomic<uint64_t> rewrite_pool_id, rewrite_offset;  // a rewrite's arguments
  uint64_t unused[6];                                     // zero
};

static_assert(sizeof(IndexHeader) == 128 && sizeof(IndexSlot) == 64, "whole 64-byte lines");
static_assert(std::atomic<uint64_t>::is_always_lock_free, "address-free 64-bit atomics");

constexpr uint64_t kControlOccupied = 1;

constexpr bool control_occupied(uint64_t control) { return (control & kControlOccupied) != 0; }
constexpr uint32_t control_table_id(uint64_t control) {
  return static_cast<uint32_t>(control >> 32);
}
constexpr unsigned control_copy(uint64_t control) { return (control >> 1) & 1; }

// The word that follows `control` for an entry of table_id (or none).
constexpr uint64_t next_control(uint64_t control, uint32_t table_id, bool occupied) {
  const uint64_t generation = (control + 2) & 0xfffffffeu;
  return uint64_t{table_id} << 32 | generation | (occupied ? kControlOccupied : 0);
}

// Where the probe for (table_id, key) starts among slot_count slots:
// multiplicative hashing, whose high bits, which the scaling to slot_count
// keeps, depend on every bit of the key.
inline uint64_t index_home(uint32_t table_id, uint64_t key, uint64_t slot_count) {
  const uint64_t h = (key ^ uint64_t{table_id} * 0xc4ceb9fe1a85ec53ull) * 0x9e3779b97f4a7c15ull;
  return static_cast<uint64_t>((static_cast<unsigned __int128>(h) * slot_count) >> 64);
}

// An index opened on a region: the slot count and capacity checked once,
// when it was opened, and never read from the region again.
struct Index {
  IndexHeader* header = nullptr;
  IndexSlot* slots = nullptr;
  uint64_t capacity = 0;
  uint64_t slot_count = 0;
};

struct IndexValue {
  uint64_t offset = 0;
  uint64_t pool_id = 0;
};

struct IndexItem {
  uint32_t table_id = 0;
  uint64_t key = 0;
  IndexValue value;
};

// kBusy: the slots kept changing under a reader for every one of its tries.
enum class IndexFound { kFound, kAbsent, kBusy };
enum class IndexPut { kAdded, kReplaced, kFull };

// Bytes of the region of an index of `capacity` keys; 0 unless 1 <=
// capacity <= kIndexMaxCapacity.
uint64_t index_bytes(uint64_t capacity);

// Lays out an empty index of `capacity` keys over `bytes` bytes at region
// (8-byte aligned), which nobody else reads yet; false when they cannot hold it.
bool index_init(void* region, uint64_t bytes, uint64_t capacity, Index* index);

// Opens the index at region, whose bytes may be anything: false with the
// reason in *why when its header does not describe an index of this format
// that fits in `bytes`.
bool index_open(void* region, uint64_t bytes, Index* index, std::string* why);

// Without a lock: the value of (table_id, key) as one put stored it.
IndexFound index_get(const Index& index, uint32_t table_id, uint64_t key, IndexValue* value);

// Without a lock: the entry of slot `slot`, whole; kAbsent for an empty
// slot. A walk of the slots while writers run may meet an entry twice or miss
// one that moved back: unchanged `moves` around the walk says it did not.
IndexFound index_read_slot(const Index& index, uint64_t slot, IndexItem* item);

// Writers: the caller holds the pool's lock. Each first finishes what a
// writer that died left (index_recover).
//
// Stores value under (table_id, key); kReplaced with the value it replaced
// in *replaced, kFull (nothing written) for a new key when the index holds
// `capacity` keys. A put on a key that holds a value rewrites that one slot.
IndexPut index_put(const Index& index, uint32_t table_id, uint64_t key, IndexValue value,
                   IndexValue* replaced);

// Removes (table_id, key); false when absent, else its value in *removed.
bool index_remove(const Index& index, uint32_t table_id, uint64_t key, IndexValue* removed);

// Gives every key whose object has pool id `pool_id` the offset `offset`, as
// a migration that moved that object needs; how many keys it rewrote. All
// of them or, after a death, none until index_recover rewrites the rest. A
// migration that moves many objects may walk the slots instead and put each
// key again (a put on a present key never moves an entry).
uint64_t index_rewrite_offset(const Index& index, uint64_t pool_id, uint64_t offset);

// Finishes the operation of a writer that died (pending != 0): completes a
// removal from `hole` on or a rewrite, recounts `live`, then clears
// `pending`. Idempotent.
void index_recover(const Index& index);

// For tests and the inspector, under the lock or on a copy: empty when every
// entry is reachable from its home, no key appears twice, `live` counts the
// entries and no operation is pending; else the first problem found.
std::string index_check(const Index& index);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_INDEX_INDEX_HPP
