// SPDX-License-Identifier: Apache-2.0
// The feed's append as inline steps, for callers that append at every change
// (the write brackets): the draw's usual case, a slot free for s, inline and
// the contended claim out of line; the publish of a sequence the caller
// claimed itself, without looking at the slot again. The protocol, its kill
// points and its memory orders are those of feed_draw and feed_publish
// (feed.hpp), which are built from these steps.
#ifndef ZIM_SIM_SRC_FEED_FEED_APPEND_INLINE_HPP
#define ZIM_SIM_SRC_FEED_FEED_APPEND_INLINE_HPP

#include "feed/feed_internal.hpp"
#include "segment/segment.hpp"

namespace zim_sim {

// One word of a claimed slot, then a kill point. A release store: a reader
// that acquires the word sees the claim before it (see feed.hpp).
__attribute__((always_inline)) inline void put_feed_word(std::atomic<uint64_t>& word,
                                                         uint64_t value) {
  word.store(value, std::memory_order_release);
  ZIM_POOL_KILL_POINT();
}

// Draws the next sequence; 0 when it would overflow.
__attribute__((always_inline)) inline uint64_t feed_next(const FeedView& view) {
  const uint64_t s = view.header->next_sequence.fetch_add(1, std::memory_order_relaxed);
  ZIM_POOL_KILL_POINT();
  return s - 1 < kFeedMaxSequence ? s : 0;  // 0 wraps to the top
}

// Claims the slot of s for appender when it holds an older complete entry or
// nothing, as it does unless an appender lags a ring behind; false, with what
// the slot held in *stamp, when the contended claim below must decide.
__attribute__((always_inline)) inline bool feed_claim_free(FeedSlot& slot, uint64_t s,
                                                           uint32_t appender, uint64_t* stamp) {
  *stamp = slot.stamp.load(std::memory_order_acquire);
  if (*stamp >= claimed_stamp(s) || is_claim(*stamp)) return false;
  put_feed_word(slot.owner, owner_word(s, appender));
  if (!slot.stamp.compare_exchange_strong(*stamp, claimed_stamp(s), std::memory_order_acq_rel,
                                          std::memory_order_acquire)) {
    return false;
  }
  // An appender that raced for this slot a ring apart may have overwritten
  // the owner word.
  put_feed_word(slot.owner, owner_word(s, appender));
  return true;
}

// The claim of s after the slot held `stamp`, when it was not simply free:
// an older claim, a lost race, or a later sequence already there. False when
// s is abandoned: nothing is written for it and readers see it lost.
bool feed_claim_contended(const FeedView& view, uint64_t s, uint32_t appender, uint64_t stamp);

// Stores the entry's words in the slot that the caller claimed for s, then
// completes it; false when the claim was taken over meanwhile.
__attribute__((always_inline)) inline bool feed_fill(FeedSlot& slot, uint64_t s, uint64_t head,
                                                     uint64_t offset, uint64_t new_offset,
                                                     uint64_t pool_id) {
  put_feed_word(slot.head, head);
  put_feed_word(slot.offset, offset);
  put_feed_word(slot.new_offset, new_offset);
  put_feed_word(slot.pool_id, pool_id);
  uint64_t expected = claimed_stamp(s);
  if (!slot.stamp.compare_exchange_strong(expected, complete_stamp(s), std::memory_order_seq_cst,
                                          std::memory_order_relaxed)) {
    return false;
  }
  ZIM_POOL_KILL_POINT();
  return true;
}

// Whether a follower sleeps; seq_cst, after the completing compare-and-swap.
__attribute__((always_inline)) inline bool feed_has_waiters(const FeedView& view) {
  return view.header->waiters.load(std::memory_order_seq_cst) != 0;
}

// Wakes the sleepers after a publish; out of line, since appenders call it
// only when a follower sleeps.
void feed_wake(FeedHeader& header);

constexpr uint64_t feed_head(FeedKind kind, uint32_t table_id) {
  return static_cast<uint64_t>(kind) | uint64_t{table_id} << 32;
}

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_FEED_FEED_APPEND_INLINE_HPP
