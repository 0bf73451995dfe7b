// SPDX-License-Identifier: Apache-2.0
// What the feed's sources share: the stamps of a slot and the futex calls.
#ifndef ZIM_SIM_SRC_FEED_FEED_INTERNAL_HPP
#define ZIM_SIM_SRC_FEED_FEED_INTERNAL_HPP

#include <atomic>
#include <cstdint>

#include "feed/feed.hpp"

namespace zim_sim {

constexpr uint64_t complete_stamp(uint64_t s) { return 2 * s; }
constexpr uint64_t claimed_stamp(uint64_t s) { return 2 * s + 1; }
constexpr uint64_t stamp_sequence(uint64_t stamp) { return stamp >> 1; }
constexpr bool is_claim(uint64_t stamp) { return (stamp & 1) != 0; }

// The owner word of sequence s claimed by appender; names s by its low bits.
constexpr uint64_t owner_word(uint64_t s, uint32_t appender) { return s << 32 | appender; }
constexpr bool owner_names(uint64_t owner, uint64_t s) {
  return static_cast<uint32_t>(owner >> 32) == static_cast<uint32_t>(s);
}

inline FeedSlot& slot_of(const FeedView& view, uint64_t s) {
  return view.slots[s & (view.capacity - 1)];
}

// Whether the owner of a claim is known dead: the owner word names the
// claimed sequence and the pool says its appender is gone.
inline bool owner_dead(const FeedView& view, uint64_t owner, uint64_t s) {
  return view.liveness.alive != nullptr && owner_names(owner, s) &&
         !view.liveness.alive(view.liveness.context, static_cast<uint32_t>(owner));
}

// FUTEX_WAKE of every waiter on word, shared between processes.
void futex_wake_all(std::atomic<uint32_t>* word);

// FUTEX_WAIT on word while it holds `expected`, at most timeout_ns.
void futex_wait(std::atomic<uint32_t>* word, uint32_t expected, uint64_t timeout_ns);

uint64_t monotonic_ns();

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_FEED_FEED_INTERNAL_HPP
