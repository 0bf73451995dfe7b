// SPDX-License-Identifier: Apache-2.0
// libzim_memory: following a versioned pool's changes from a cursor of the
// follower's own: its feed, read and waited on through the feed's room.

#include <cerrno>

#include "versions/versions.hpp"

namespace {

using zim_sim::FeedCursor;
using zim_sim::FeedEntry;

constexpr uint64_t kDefaultPatienceUs = 500'000;
static_assert(zim_sim::kFeedSpinNs == uint64_t{ZIM_SHM_POOL_WAIT_SPIN_US} * 1000,
              "the feed spins as long as the API says");
constexpr uint32_t kBatch = 64;  // entries read from the feed at a time

FeedCursor feed_cursor(const zim_shm_pool_cursor_t& c) {
  FeedCursor cursor;
  cursor.next = c.next;
  const uint64_t patience_us = c.patience_us != 0 ? c.patience_us : kDefaultPatienceUs;
  cursor.patience_ns = patience_us > UINT64_MAX / 1000u ? UINT64_MAX : patience_us * 1000u;
  cursor.pending = c.pending;
  cursor.pending_since_ns = c.pending_since_ns;
  return cursor;
}

void keep(const FeedCursor& cursor, zim_shm_pool_cursor_t* c) {
  c->next = cursor.next;
  c->pending = cursor.pending;
  c->pending_since_ns = cursor.pending_since_ns;
}

zim_shm_pool_change_t public_change(const FeedEntry& e) {
  zim_shm_pool_change_t change{};
  change.sequence = e.sequence;
  change.kind = static_cast<uint32_t>(e.kind);
  change.table_id = e.table_id;
  change.offset = e.offset;
  change.pool_id = e.pool_id;
  // The index's entries carry their key where a move carries its new offset,
  // and a migration's beginning and end their counts.
  change.key = e.new_offset;
  return change;
}

}  // namespace

extern "C" ZIM_SIM_API int zim_shm_pool_follow(zim_shm_pool_cursor_t* cursor) {
  zim_sim::PoolHeader* hdr = nullptr;
  zim_sim::PoolRooms rooms;
  if (cursor == nullptr) return errno = EINVAL, -1;
  if (!zim_sim::mapped_rooms(&hdr, &rooms)) return -1;
  *cursor = {};
  cursor->next = zim_sim::feed_next_sequence(rooms.feed);
  cursor->patience_us = kDefaultPatienceUs;
  return 0;
}

extern "C" ZIM_SIM_API int zim_shm_pool_changes(zim_shm_pool_cursor_t* cursor,
                                                zim_shm_pool_change_t* out, uint32_t max,
                                                uint64_t* lapped) {
  zim_sim::PoolHeader* hdr = nullptr;
  zim_sim::PoolRooms rooms;
  if (cursor == nullptr || (out == nullptr && max != 0) || max > INT32_MAX) {
    return errno = EINVAL, -1;
  }
  if (lapped != nullptr) *lapped = 0;
  if (!zim_sim::mapped_rooms(&hdr, &rooms)) return -1;
  FeedCursor feed = feed_cursor(*cursor);
  FeedEntry batch[kBatch];
  uint32_t count = 0;
  while (count < max) {
    const uint32_t want = max - count < kBatch ? max - count : kBatch;
    const zim_sim::FeedRead read = zim_sim::feed_read(rooms.feed, &feed, batch, want);
    for (uint32_t i = 0; i < read.count; ++i) out[count++] = public_change(batch[i]);
    if (read.status == zim_sim::FeedStatus::lapped) {
      // Told once: the follower resyncs, then reads on from the oldest entry.
      if (lapped != nullptr) *lapped = read.oldest;
      feed.next = read.oldest;
      feed.pending = feed.pending_since_ns = 0;
      break;
    }
    if (read.status == zim_sim::FeedStatus::pending || read.count < want) break;
  }
  keep(feed, cursor);
  return static_cast<int>(count);
}

extern "C" ZIM_SIM_API int zim_shm_pool_wait(zim_shm_pool_cursor_t* cursor, uint64_t timeout_us) {
  zim_sim::PoolHeader* hdr = nullptr;
  zim_sim::PoolRooms rooms;
  if (cursor == nullptr) return errno = EINVAL, -1;
  if (!zim_sim::mapped_rooms(&hdr, &rooms)) return -1;
  FeedCursor feed = feed_cursor(*cursor);
  const uint64_t timeout_ns = timeout_us > UINT64_MAX / 1000u ? UINT64_MAX : timeout_us * 1000u;
  const bool ready = zim_sim::feed_wait(rooms.feed, &feed, timeout_ns);
  keep(feed, cursor);
  return ready ? 1 : 0;
}
