// SPDX-License-Identifier: Apache-2.0
// The feed: the pool's ring of changes, laid over a region of the segment
// that the pool gives it (a record the pool carves at creation). Appenders in
// any process add entries without waiting; readers follow them from a cursor
// of their own and learn, explicitly, when they fell behind or when a
// change was lost. Internal to libzim_memory.
//
// The feed also owns the pool-wide sequence: `next_sequence` in its header
// numbers every change, and an object's version is twice the sequence of
// its last write. Drawing a sequence and publishing its entry are separate
// steps, so that the pool can store a version between them.
//
// Format (all words are atomics, offsets from the region's first byte):
//   FeedHeader (192 bytes: three cache lines), then `capacity` FeedSlots of
//   48 bytes; capacity a power of two in [kFeedMinCapacity,
//   kFeedMaxCapacity]. Sequence s lives in slot s % capacity. A slot's stamp says whose it is: 0
//   empty, 2s + 1 claimed by the appender of s (publishing), 2s complete. Sequences start at 1, so
//   a complete stamp is never 0.
//
// Protocol:
//   draw    s = next_sequence.fetch_add(1); store the owner word (s's low
//           32 bits and the appender's token); CAS the stamp from an older
//           complete or empty value to 2s + 1. An older claim (2t + 1, t a
//           whole ring behind) is taken over only when the liveness callback
//           says its appender is dead; else, and when a later sequence holds
//           the slot already, s is abandoned: nothing is written for it.
//   publish store the entry's words, then CAS the stamp 2s + 1 -> 2s; then,
//           only if `waiters` is not 0, bump `signal` and FUTEX_WAKE it.
//   read    for the cursor's sequence c: stamp 2c -> read the words, then the
//           stamp again (a seqlock): unchanged, the entry is complete. A stamp
//           past c, or next_sequence more than a ring past c: lapped, with
//           the oldest sequence still in the ring. Anything else is pending:
//           drawn, not yet published. A pending sequence becomes a `lost`
//           entry (resync: some change is unknown) once the liveness callback
//           says its claimant died, or once it stayed pending for the
//           cursor's patience (an appender that died before claiming, or
//           one stopped for that long). read never waits.
//   wait    look again, without writing anything, for kFeedSpinNs at most
//           (a bounded spin, not a poll: a follower that keeps up finds the
//           next entry within it, and appenders pay no wake; it yields its
//           core every kFeedYieldNs, so that it never keeps a busy writer
//           or relay from running); then
//           increment `waiters`, look once more and sleep on the futex until
//           a wake, a pending sequence's patience or the timeout; decrement.
//
// A death leaves: after drawing, before claiming: the sequence pending, lost
// after the patience; after claiming, mid-publish: the slot claimed by a dead
// owner, lost at once for readers whose pool gives liveness, and taken over
// by the appender a ring later (with liveness; without, each lap loses that
// sequence); after the stamp, before the wake: the entry complete, a reader
// asleep wakes at its timeout or at the next publish. Later entries are
// never hidden: readers pass a lost sequence. A waiter killed asleep leaves
// `waiters` high: appenders then wake in vain, at a system call each.
//
// Memory orders, and why (no standalone fence, so that ThreadSanitizer
// follows every edge; on x86-64 each choice below costs nothing over relaxed
// but the locked instructions a CAS and a fetch_add are anyway):
//   - next_sequence.fetch_add is relaxed: it only hands out numbers; the
//     stamps order everything a reader trusts, and a reader uses the counter
//     only to bound its cursor.
//   - the claim CAS is acq_rel: the owner word stored before it is seen by
//     whoever acquires the odd stamp.
//   - the entry's words are release stores, and a reader loads them with
//     acquire: a reader that sees a word of a new claim sees that claim when
//     it loads the stamp again, so a torn entry never passes the second
//     stamp check (the seqlock's rule, without fences).
//   - the completing CAS is seq_cst: release, so that a reader acquiring 2s
//     sees the words; and in one total order with the load of `waiters` after
//     it, with wait()'s seq_cst increment of `waiters` and its seq_cst load of
//     the stamp: either the waiter sees the entry or the appender sees the
//     waiter and wakes it, so no wake is lost.
// Every shared word is a std::atomic, so ThreadSanitizer sees no data race
// and needs no annotation.
//
// Hostile bytes: feed_open checks the header against the region it was given
// and keeps the capacity it checked in the view; a slot's index is masked by
// it; a kind outside the known ones reads as lost; nothing read from the
// region is used as an offset or a size.
//
// What it writes: the region at feed_init; then next_sequence, slots
// (appenders), signal and waiters. Uses segment/ (kill points) only.
#ifndef ZIM_SIM_SRC_FEED_FEED_HPP
#define ZIM_SIM_SRC_FEED_FEED_HPP

#include <atomic>
#include <cstdint>
#include <string>

namespace zim_sim {

constexpr uint64_t kFeedMagic = 0x31646565666d697aull;  // "zimfeed1"
constexpr uint32_t kFeedVersion = 1;
constexpr uint64_t kFeedMinCapacity = 8;
constexpr uint64_t kFeedMaxCapacity = uint64_t{1} << 20;
// Sequences above this are refused, so that 2s + 1 and a version 2s fit.
constexpr uint64_t kFeedMaxSequence = (uint64_t{1} << 62) - 1;

enum class FeedKind : uint16_t {
  created = 1,
  changed,
  retired,
  indexed,
  unindexed,
  moved,  // offset: where the object was; new_offset: where it is
  layout_changed,
  handed_over,
  adopted,
  migration_begun,
  migration_finished,
  root_changed,
  lost,  // the change of this sequence is unknown: resync what you follow
};

struct FeedEntry {
  uint64_t sequence;
  FeedKind kind;
  uint32_t table_id;
  uint64_t offset;
  uint64_t new_offset;  // moved only, else 0
  uint64_t pool_id;
};

struct FeedHeader {
  std::atomic<uint64_t> magic;  // stored last by feed_init
  uint32_t version;
  uint32_t slot_bytes;
  uint64_t capacity;
  uint64_t reserved0[5];
  std::atomic<uint64_t> next_sequence;  // a line of its own: every appender writes it
  uint64_t reserved1[7];
  std::atomic<uint32_t> signal;   // the futex word
  std::atomic<uint32_t> waiters;  // processes in wait(); appenders wake only if not 0
  uint64_t reserved2[7];
};

struct FeedSlot {
  std::atomic<uint64_t> stamp;  // 0, 2s + 1 (claimed) or 2s (complete)
  std::atomic<uint64_t> owner;  // s's low 32 bits << 32 | the appender's token
  std::atomic<uint64_t> head;   // kind | table_id << 32
  std::atomic<uint64_t> offset, new_offset, pool_id;
};

static_assert(sizeof(FeedHeader) == 192 && sizeof(FeedSlot) == 48, "the feed's format");
static_assert(std::atomic<uint64_t>::is_always_lock_free, "address-free 64-bit atomics");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "address-free 32-bit atomics");

// Whether an appender is still alive, asked of the pool by readers and by
// appenders that find an old claim. False means it can never store again.
struct FeedLiveness {
  bool (*alive)(void* context, uint32_t appender) = nullptr;  // null: all alive
  void* context = nullptr;
};

// A process's view of one feed: the capacity it checked, not the header's.
struct FeedView {
  FeedHeader* header = nullptr;
  FeedSlot* slots = nullptr;
  uint64_t capacity = 0;
  FeedLiveness liveness;
};

// A reader's place, in its own memory.
struct FeedCursor {
  uint64_t next = 1;                   // the next sequence to read
  uint64_t patience_ns = 500'000'000;  // how long a sequence may stay pending
  uint64_t pending = 0;                // the sequence pending since ...
  uint64_t pending_since_ns = 0;       // ... this CLOCK_MONOTONIC time
};

enum class FeedStatus {
  caught_up,  // every drawn sequence was read (or `max` entries were)
  pending,    // stopped at a sequence drawn and not yet published
  lapped,     // the cursor's sequence left the ring: resync from `oldest`
};

struct FeedRead {
  uint32_t count = 0;  // entries stored in out, sequences cursor.next - count ...
  FeedStatus status = FeedStatus::caught_up;
  uint64_t oldest = 0;  // lapped: the oldest sequence still in the ring
};

// Bytes of a feed of `capacity` entries; 0 when the capacity is refused.
uint64_t feed_bytes(uint64_t capacity);

// Lays out an empty feed over region (16-byte aligned, `bytes` long, zero or
// not); false, writing nothing, when the capacity or the region is refused.
bool feed_init(void* region, uint64_t bytes, uint64_t capacity);

// Checks a feed that another process laid out; false with the reason in why.
bool feed_open(void* region, uint64_t bytes, FeedLiveness liveness, FeedView* view,
               std::string* why);

// Draws the next sequence and claims its slot for `appender`; 0 when the
// sequence would overflow. Publish every sequence drawn, as lost if need be.
uint64_t feed_draw(const FeedView& view, uint32_t appender);

// Publishes entry (its sequence field is ignored) as sequence s; false when
// the slot is not claimed for s (abandoned by draw): readers see it lost.
bool feed_publish(const FeedView& view, uint64_t s, const FeedEntry& entry);

// Draw and publish; the sequence, or 0 when none was drawn.
uint64_t feed_append(const FeedView& view, uint32_t appender, const FeedEntry& entry);

// The first sequence not yet drawn: a new reader's cursor.next to follow
// only later changes.
uint64_t feed_next_sequence(const FeedView& view);

// Up to max entries from cursor.next, in sequence order, advancing the cursor
// past them. Never waits.
FeedRead feed_read(const FeedView& view, FeedCursor* cursor, FeedEntry* out, uint32_t max);

// How long wait() looks again before it sleeps: several periods of a writer
// at a million changes a second, short enough that a follower of a quiet
// pool spends little time on it.
constexpr uint64_t kFeedSpinNs = 50'000;
// How often a follower that looks again offers its core to other threads
// ready to run there (sched_yield).
constexpr uint64_t kFeedYieldNs = 1'000;

// Sleeps until feed_read from the cursor has something to say (an entry, a
// loss, lapped) or timeout_ns pass; true in the first case. Looks again for
// kFeedSpinNs (or the timeout, if shorter) first, unannounced, and only then
// counts itself in `waiters` and sleeps on the futex.
bool feed_wait(const FeedView& view, FeedCursor* cursor, uint64_t timeout_ns);

// FUTEX_WAKE calls this process made: appenders make one only for waiters.
uint64_t feed_wake_calls();

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_FEED_FEED_HPP
