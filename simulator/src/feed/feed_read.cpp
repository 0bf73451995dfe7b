// SPDX-License-Identifier: Apache-2.0
// Reading the feed from a cursor, and waiting for it on the futex (the
// protocol and its memory orders are at the top of feed.hpp). A reader
// writes nothing of the feed but the waiter count and trusts none of it.
#include <sched.h>

#include <algorithm>

#include "feed/feed_internal.hpp"

namespace zim_sim {

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

enum class Step { entry, lost, pending, lapped, caught_up };

// The oldest sequence still in the ring, past c whatever the header says, so
// that a reader that resyncs from it moves on.
uint64_t oldest_after(const FeedView& view, uint64_t c) {
  const uint64_t next = view.header->next_sequence.load(kRelaxed);
  return std::max(next > view.capacity ? next - view.capacity : 1, c + 1);
}

// The entry of sequence c if its slot holds it complete, read as a seqlock reader.
bool read_complete(FeedSlot& slot, uint64_t c, FeedEntry* out) {
  constexpr auto kAcquire = std::memory_order_acquire;
  const uint64_t head = slot.head.load(kAcquire);
  const uint64_t offset = slot.offset.load(kAcquire);
  const uint64_t new_offset = slot.new_offset.load(kAcquire);
  const uint64_t pool_id = slot.pool_id.load(kAcquire);
  if (slot.stamp.load(kRelaxed) != complete_stamp(c)) return false;
  const auto kind = static_cast<uint16_t>(head);
  const bool known = kind >= static_cast<uint16_t>(FeedKind::created) &&
                     kind <= static_cast<uint16_t>(FeedKind::lost);
  *out = FeedEntry{c,
                   known ? static_cast<FeedKind>(kind) : FeedKind::lost,
                   static_cast<uint32_t>(head >> 32),
                   offset,
                   new_offset,
                   pool_id};
  return true;
}

// A sequence drawn and not complete: lost once its claimant is known dead or
// once it stayed pending for the cursor's patience, else pending.
Step pending_or_lost(const FeedView& view, FeedCursor* cursor, const FeedSlot& slot,
                     uint64_t stamp) {
  const uint64_t c = cursor->next;
  if (stamp == claimed_stamp(c) && owner_dead(view, slot.owner.load(kRelaxed), c)) {
    return Step::lost;
  }
  const uint64_t now = monotonic_ns();
  if (cursor->pending != c) {
    cursor->pending = c;
    cursor->pending_since_ns = now;
  }
  return now - cursor->pending_since_ns >= cursor->patience_ns ? Step::lost : Step::pending;
}

// What the feed holds at cursor->next: its entry (into out), a loss, or why not.
Step look(const FeedView& view, FeedCursor* cursor, FeedEntry* out, uint64_t* oldest) {
  const uint64_t c = cursor->next;
  const uint64_t next = view.header->next_sequence.load(kRelaxed);
  if (c >= next) return Step::caught_up;
  FeedSlot& slot = slot_of(view, c);
  // seq_cst: ordered after wait()'s increment of `waiters` (see feed.hpp).
  const uint64_t stamp = slot.stamp.load(std::memory_order_seq_cst);
  if (next - c <= view.capacity && stamp <= claimed_stamp(c)) {
    if (stamp == complete_stamp(c)) {
      if (read_complete(slot, c, out)) return Step::entry;
    } else {
      return pending_or_lost(view, cursor, slot, stamp);
    }
  }
  // Only a later sequence's claim changes the slot of c: c left the ring.
  *oldest = oldest_after(view, c);
  return Step::lapped;
}

}  // namespace

FeedRead feed_read(const FeedView& view, FeedCursor* cursor, FeedEntry* out, uint32_t max) {
  FeedRead read;
  while (read.count < max) {
    const Step step = look(view, cursor, &out[read.count], &read.oldest);
    if (step == Step::lost) out[read.count] = FeedEntry{cursor->next, FeedKind::lost, 0, 0, 0, 0};
    if (step == Step::entry || step == Step::lost) {
      ++read.count;
      ++cursor->next;
      continue;
    }
    read.status = step == Step::pending  ? FeedStatus::pending
                  : step == Step::lapped ? FeedStatus::lapped
                                         : FeedStatus::caught_up;
    break;
  }
  return read;
}

namespace {

// A hint to the core that this thread spins, so that a sibling thread runs.
inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

// Looks again until the feed has something to say or `until` passes: true
// when ready. A pending sequence is looked at again too: its appender is
// most likely between its draw and its publish. Nothing in the feed is
// written meanwhile, so appenders wake nobody: a follower that keeps up
// rarely sleeps, and its writers rarely make a system call for it. Once a
// microsecond the follower offers its core to whatever else is ready to run
// there: a spinning follower looks to the scheduler like any busy thread,
// and on a machine with fewer cores than busy processes it would otherwise
// hold a core that the chain feeding it (its writer, a relay, Redis) waits
// for, for a whole time slice.
bool look_again(const FeedView& view, FeedCursor* cursor, uint64_t until) {
  FeedEntry scratch{};
  uint64_t oldest = 0;
  uint64_t offered = monotonic_ns();
  for (;;) {
    const Step step = look(view, cursor, &scratch, &oldest);
    if (step == Step::entry || step == Step::lost || step == Step::lapped) return true;
    const uint64_t now = monotonic_ns();
    if (now >= until) return false;
    if (now - offered >= kFeedYieldNs) {
      sched_yield();
      offered = now;
    }
    spin_pause();
  }
}

// Announced in `waiters`, looks once more, then sleeps on the futex until an
// appender's wake, the deadline or the end of a pending sequence's patience.
bool sleep_until_ready(const FeedView& view, FeedCursor* cursor, uint64_t deadline) {
  FeedHeader& header = *view.header;
  FeedEntry scratch{};
  uint64_t oldest = 0;
  for (;;) {
    const uint32_t seen = header.signal.load(std::memory_order_acquire);
    header.waiters.fetch_add(1, std::memory_order_seq_cst);
    const Step step = look(view, cursor, &scratch, &oldest);
    const uint64_t now = monotonic_ns();
    const bool ready = step == Step::entry || step == Step::lost || step == Step::lapped;
    if (!ready && now < deadline) {
      uint64_t until = deadline;
      if (step == Step::pending) {
        const uint64_t since = cursor->pending_since_ns;
        until = std::min(until, since + std::min(cursor->patience_ns, UINT64_MAX - since));
      }
      futex_wait(&header.signal, seen, until > now ? until - now : 0);
    }
    header.waiters.fetch_sub(1, kRelaxed);
    if (ready || now >= deadline) return ready;
  }
}

}  // namespace

bool feed_wait(const FeedView& view, FeedCursor* cursor, uint64_t timeout_ns) {
  const uint64_t start = monotonic_ns();
  const uint64_t deadline = timeout_ns > UINT64_MAX - start ? UINT64_MAX : start + timeout_ns;
  if (look_again(view, cursor, std::min(deadline, start + kFeedSpinNs))) return true;
  return sleep_until_ready(view, cursor, deadline);
}

}  // namespace zim_sim
