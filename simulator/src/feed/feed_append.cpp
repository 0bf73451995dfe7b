// SPDX-License-Identifier: Apache-2.0
// Appending to the feed: drawing a sequence and claiming its slot, then
// publishing the entry, without a lock and without waiting (the protocol and
// its memory orders are at the top of feed.hpp; the steps themselves, inline
// for the brackets, in feed_append_inline.hpp).
#include "feed/feed_append_inline.hpp"

namespace zim_sim {

namespace {

bool known_kind(FeedKind kind) { return kind >= FeedKind::created && kind <= FeedKind::lost; }

}  // namespace

// Claims the slot of s for appender, or leaves it when a later sequence holds
// it or an appender a ring behind that is not known dead still claims it.
bool feed_claim_contended(const FeedView& view, uint64_t s, uint32_t appender, uint64_t stamp) {
  FeedSlot& slot = slot_of(view, s);
  for (;;) {
    if (stamp >= claimed_stamp(s)) return false;
    if (is_claim(stamp) &&
        !owner_dead(view, slot.owner.load(std::memory_order_relaxed), stamp_sequence(stamp))) {
      return false;
    }
    put_feed_word(slot.owner, owner_word(s, appender));
    if (slot.stamp.compare_exchange_strong(stamp, claimed_stamp(s), std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
      break;
    }
  }
  put_feed_word(slot.owner, owner_word(s, appender));
  return true;
}

void feed_wake(FeedHeader& header) {
  header.signal.fetch_add(1, std::memory_order_release);
  futex_wake_all(&header.signal);
}

uint64_t feed_draw(const FeedView& view, uint32_t appender) {
  const uint64_t s = feed_next(view);
  if (s == 0) return 0;
  FeedSlot& slot = slot_of(view, s);
  uint64_t stamp = 0;
  if (!feed_claim_free(slot, s, appender, &stamp)) feed_claim_contended(view, s, appender, stamp);
  return s;
}

bool feed_publish(const FeedView& view, uint64_t s, const FeedEntry& entry) {
  if (s == 0 || s > kFeedMaxSequence) return false;
  FeedSlot& slot = slot_of(view, s);
  if (slot.stamp.load(std::memory_order_relaxed) != claimed_stamp(s)) return false;
  const bool known = known_kind(entry.kind);
  const FeedKind kind = known ? entry.kind : FeedKind::lost;
  if (!feed_fill(slot, s, feed_head(kind, entry.table_id), entry.offset, entry.new_offset,
                 entry.pool_id)) {
    return false;
  }
  if (feed_has_waiters(view)) feed_wake(*view.header);
  return known;
}

uint64_t feed_append(const FeedView& view, uint32_t appender, const FeedEntry& entry) {
  const uint64_t s = feed_draw(view, appender);
  if (s != 0) feed_publish(view, s, entry);
  return s;
}

}  // namespace zim_sim
