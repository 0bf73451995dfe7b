// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the write brackets as a change runs them, a write begun and
// ended by a live writer on a live object of the mapped versioned pool with
// no follower asleep and no other process holding the pool's writes, inline over the view kept per
// mapping (pool_view.hpp). Every other case (no view yet, an address that is not such an object, an
// odd version, a dead writer, a race) goes to the checked brackets (brackets.cpp) before anything
// is written, and they decide it whole. Every call off the usual path is a tail call, so that the
// usual one saves no registers. The memory orders are those stated in brackets.cpp.

#include <cerrno>

#include "feed/feed_append_inline.hpp"
#include "versions/pool_view.hpp"

namespace {

using zim_sim::FeedSlot;
using zim_sim::PoolView;
using zim_sim::VersionLine;

__attribute__((noinline, cold)) int end_wake(const PoolView& view) {
  zim_sim::feed_wake(*view.feed.header);
  return 0;
}

// The rest of write_end once sequence s is drawn and its slot claimed (or
// abandoned): the new version, then the entry if the slot is ours.
__attribute__((always_inline)) inline int end_drawn(const PoolView& view, VersionLine* line,
                                                    uint64_t s, FeedSlot* slot, uint64_t head,
                                                    uint64_t offset) {
  line->version.store(2 * s, std::memory_order_release);
  ZIM_POOL_KILL_POINT();
  if (__builtin_expect(slot == nullptr, 0)) return 0;
  const uint64_t pool_id = line->pool_id.load(std::memory_order_relaxed);
  if (zim_sim::feed_fill(*slot, s, head, offset, 0, pool_id) &&
      __builtin_expect(zim_sim::feed_has_waiters(view.feed), 0)) {
    return end_wake(view);
  }
  return 0;
}

__attribute__((noinline, cold)) int end_contended(const PoolView& view, VersionLine* line,
                                                  uint64_t s, uint64_t stamp, uint64_t head,
                                                  uint64_t offset) {
  FeedSlot* slot = &zim_sim::slot_of(view.feed, s);
  if (!zim_sim::feed_claim_contended(view.feed, s, view.token, stamp)) slot = nullptr;
  return end_drawn(view, line, s, slot, head, offset);
}

// Whether another process than this view's writer holds the pool's writes:
// one load of the pool's word and a compare in the usual case (no holder).
__attribute__((always_inline)) inline bool held_by_other(const PoolView& view) {
  const uint64_t holder =
      zim_sim::version_state(view.hdr).sole_writer.load(std::memory_order_relaxed);
  return __builtin_expect(holder != 0, 0) && holder != view.stamp;
}

__attribute__((noinline, cold)) int end_overflow() {
  errno = EOVERFLOW;
  return -1;
}

}  // namespace

extern "C" ZIM_SIM_API int zim_shm_pool_write_begin(void* obj) {
  const PoolView* view = zim_sim::writer_view();
  if (__builtin_expect(view == nullptr, 0)) return zim_sim::write_begin_checked(obj);
  if (held_by_other(*view)) return zim_sim::write_begin_checked(obj);
  VersionLine* const line = zim_sim::view_line(*view, obj).line;
  if (__builtin_expect(line == nullptr, 0)) return zim_sim::write_begin_checked(obj);
  uint64_t version = line->version.load(std::memory_order_acquire);
  if (__builtin_expect(version & 1, 0)) return zim_sim::write_begin_checked(obj);
  line->writer.store(view->stamp, std::memory_order_relaxed);
  ZIM_POOL_KILL_POINT();
  if (__builtin_expect(
          !line->version.compare_exchange_strong(version, version | 1, std::memory_order_release,
                                                 std::memory_order_relaxed),
          0)) {
    // Another thread of this process began first, or a writer of another
    // process since the load: the checked bracket tells which.
    return zim_sim::write_begin_checked(obj);
  }
  ZIM_POOL_KILL_POINT();
  std::atomic_thread_fence(std::memory_order_release);
  return 0;
}

extern "C" ZIM_SIM_API int zim_shm_pool_write_end(void* obj) {
  const PoolView* view = zim_sim::writer_view();
  if (__builtin_expect(view == nullptr, 0)) return zim_sim::write_end_checked(obj);
  if (held_by_other(*view)) return zim_sim::write_end_checked(obj);
  const zim_sim::ViewLine found = zim_sim::view_line(*view, obj);
  VersionLine* const line = found.line;
  if (__builtin_expect(line == nullptr, 0)) return zim_sim::write_end_checked(obj);
  const uint64_t version = line->version.load(std::memory_order_relaxed);
  if (__builtin_expect((version & 1) == 0 ||
                           line->writer.load(std::memory_order_relaxed) != view->stamp ||
                           zim_sim::version_state(view->hdr).feed != view->feed_at,
                       0)) {
    return zim_sim::write_end_checked(obj);
  }
  const auto kind = version == 1 ? zim_sim::FeedKind::created : zim_sim::FeedKind::changed;
  const uint64_t head = zim_sim::feed_head(kind, static_cast<uint32_t>(found.tag >> 32));
  const uint64_t offset = reinterpret_cast<uintptr_t>(obj) - reinterpret_cast<uintptr_t>(view->hdr);
  // Drawn before the version changes: a death from here on leaves the
  // sequence claimed by a dead writer, which followers read as lost at once.
  const uint64_t s = zim_sim::feed_next(view->feed);
  if (__builtin_expect(s == 0, 0)) return end_overflow();
  FeedSlot& slot = zim_sim::slot_of(view->feed, s);
  uint64_t stamp = 0;
  if (__builtin_expect(!zim_sim::feed_claim_free(slot, s, view->token, &stamp), 0)) {
    return end_contended(*view, line, s, stamp, head, offset);
  }
  return end_drawn(*view, line, s, &slot, head, offset);
}
