// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the brackets' and lookups' view of the mapped versioned
// pool, derived on a mapping's first checked call and kept until the mapping
// changes.

#include "versions/pool_view.hpp"

#include <pthread.h>

#include <cerrno>

#include "names/names.hpp"

namespace zim_sim {

PoolView g_pool_view;

namespace {

void forget_in_child() {
  g_pool_view.epoch.store(0, std::memory_order_relaxed);
  g_pool_view.writer_epoch.store(0, std::memory_order_relaxed);
}
[[maybe_unused]] const int g_forget_registered = pthread_atfork(nullptr, nullptr, forget_in_child);

// Under g_control, for the mapping of `epoch` whose checked rooms are given.
void derive(PoolHeader* hdr, const PoolRooms& rooms, uint64_t epoch) {
  const uint64_t size = g_pool_size.load(std::memory_order_relaxed);  // ours, not the header's
  const uint64_t end = start_map_offset(size);
  PoolView& view = g_pool_view;
  view.epoch.store(0, std::memory_order_relaxed);
  view.writer_epoch.store(0, std::memory_order_relaxed);
  view.hdr = hdr;
  view.first = reinterpret_cast<uintptr_t>(hdr) + kFirstLinedObject;
  view.lines = end > kFirstLinedObject
                   ? (end - kFirstLinedObject + ZIM_SHM_POOL_ALIGN - 1) / ZIM_SHM_POOL_ALIGN
                   : 0;
  view.start_map =
      reinterpret_cast<const std::atomic<uint64_t>*>(reinterpret_cast<const char*>(hdr) + end);
  view.feed_at = version_state(hdr).feed;
  view.index_at = version_state(hdr).index;
  view.feed = rooms.feed;
  view.index = rooms.index;
  view.epoch.store(epoch, std::memory_order_release);
}

void open_view(bool writer) {
  const uint64_t epoch = g_mapping_epoch.load(std::memory_order_acquire);
  PoolHeader* hdr = mapped_pool();
  if (hdr == nullptr || !is_versioned(hdr)) return;
  // Both before g_control, which they take themselves.
  const uint64_t stamp = writer ? writer_stamp(hdr) : 0;
  if (writer && stamp == 0) return;
  const PoolRooms* rooms = checked_rooms(hdr);
  if (rooms == nullptr) return;
  std::lock_guard<std::mutex> guard(g_control);
  if (g_mapping_epoch.load(std::memory_order_relaxed) != epoch) return;
  PoolView& view = g_pool_view;
  if (view.epoch.load(std::memory_order_relaxed) != epoch) derive(hdr, *rooms, epoch);
  if (!writer || view.writer_epoch.load(std::memory_order_relaxed) == epoch) return;
  view.stamp = stamp;
  view.token = appender_token(stamp);
  view.writer_epoch.store(epoch, std::memory_order_release);
}

}  // namespace

void prepare_pool_view(bool writer) {
  const uint64_t epoch = g_mapping_epoch.load(std::memory_order_acquire);
  const auto& kept = writer ? g_pool_view.writer_epoch : g_pool_view.epoch;
  if (kept.load(std::memory_order_acquire) == epoch) return;
  const int saved = errno;
  open_view(writer);
  errno = saved;
}

}  // namespace zim_sim
