// SPDX-License-Identifier: Apache-2.0
// Appending to the feed: drawing a sequence and claiming its slot, then
// publishing the entry, without a lock and without waiting (the protocol and
// its memory orders are at the top of feed.hpp).
#include "feed/feed_internal.hpp"
#include "segment/segment.hpp"

namespace zim_sim {

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

// One word of a claimed slot, then a kill point. A release store: a reader
// that acquires the word sees the claim before it (see feed.hpp).
void put_word(std::atomic<uint64_t>& word, uint64_t value) {
  word.store(value, std::memory_order_release);
  ZIM_POOL_KILL_POINT();
}

bool known_kind(FeedKind kind) { return kind >= FeedKind::created && kind <= FeedKind::lost; }

// Claims the slot of s for appender, or leaves it when a later sequence holds
// it or an appender a ring behind that is not known dead still claims it.
void claim(const FeedView& view, uint64_t s, uint32_t appender) {
  FeedSlot& slot = slot_of(view, s);
  uint64_t stamp = slot.stamp.load(std::memory_order_acquire);
  for (;;) {
    if (stamp >= claimed_stamp(s)) return;
    if (is_claim(stamp) && !owner_dead(view, slot.owner.load(kRelaxed), stamp_sequence(stamp))) {
      return;
    }
    put_word(slot.owner, owner_word(s, appender));
    if (slot.stamp.compare_exchange_strong(stamp, claimed_stamp(s), std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
      break;
    }
  }
  // An appender that raced for this slot a ring apart may have overwritten
  // the owner word.
  put_word(slot.owner, owner_word(s, appender));
}

}  // namespace

uint64_t feed_draw(const FeedView& view, uint32_t appender) {
  const uint64_t s = view.header->next_sequence.fetch_add(1, kRelaxed);
  ZIM_POOL_KILL_POINT();
  if (s == 0 || s > kFeedMaxSequence) return 0;
  claim(view, s, appender);
  return s;
}

bool feed_publish(const FeedView& view, uint64_t s, const FeedEntry& entry) {
  if (s == 0 || s > kFeedMaxSequence) return false;
  FeedSlot& slot = slot_of(view, s);
  if (slot.stamp.load(kRelaxed) != claimed_stamp(s)) return false;
  const bool known = known_kind(entry.kind);
  const FeedKind kind = known ? entry.kind : FeedKind::lost;
  put_word(slot.head, static_cast<uint64_t>(kind) | uint64_t{entry.table_id} << 32);
  put_word(slot.offset, entry.offset);
  put_word(slot.new_offset, entry.new_offset);
  put_word(slot.pool_id, entry.pool_id);
  uint64_t expected = claimed_stamp(s);
  if (!slot.stamp.compare_exchange_strong(expected, complete_stamp(s), std::memory_order_seq_cst,
                                          kRelaxed)) {
    return false;
  }
  ZIM_POOL_KILL_POINT();
  FeedHeader& header = *view.header;
  if (header.waiters.load(std::memory_order_seq_cst) != 0) {
    header.signal.fetch_add(1, std::memory_order_release);
    futex_wake_all(&header.signal);
  }
  return known;
}

uint64_t feed_append(const FeedView& view, uint32_t appender, const FeedEntry& entry) {
  const uint64_t s = feed_draw(view, appender);
  if (s != 0) feed_publish(view, s, entry);
  return s;
}

}  // namespace zim_sim
