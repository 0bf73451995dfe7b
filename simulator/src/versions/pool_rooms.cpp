// SPDX-License-Identifier: Apache-2.0
// libzim_memory: a versioned pool's feed and index, each a record of its own
// carved right after the configuration record at creation, and opened from
// the pool's bytes, checked, by every process that uses them.

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <string>

#include "names/mapping.hpp"
#include "names/names.hpp"
#include "platform/env.hpp"
#include "versions/versions.hpp"

namespace zim_sim {

namespace {

constexpr uint64_t kLine = ZIM_SHM_POOL_ALIGN;
constexpr uint32_t kTokenSlotBits = 16;

uint64_t feed_ring_capacity(uint64_t asked) {
  uint64_t capacity = kFeedMinCapacity;
  while (capacity < asked) capacity <<= 1;
  return capacity;
}

// Carves a run of `bytes` for a record tagged `tag`: the offset of its data,
// or 0 when the pool has no room.
uint64_t carve_record(PoolHeader* hdr, uint32_t tag, uint64_t bytes) {
  const uint64_t at = hdr->carve.load(std::memory_order_relaxed);
  const uint64_t need = kLine + (bytes + kLine - 1) / kLine * kLine;
  if (bytes == 0 || start_map_offset(hdr->size) - at < need) return 0;
  BlockHeader& header = block_header_at(hdr, at);
  header.size.store(bytes, std::memory_order_relaxed);
  header.tag.store(block_tag(tag), std::memory_order_relaxed);
  std::atomic<uint64_t>& word = start_word(hdr, hdr->size, at + kLine);
  word.store(word.load(std::memory_order_relaxed) | start_bit(at + kLine));
  hdr->carve.store(at + need, std::memory_order_relaxed);
  return at + kLine;
}

// The bytes of the record tagged `tag` whose data the pool says is at
// `offset`: 0 unless a block of that tag starts there and ends before the
// carve point and the start map.
uint64_t record_bytes(PoolHeader* hdr, uint64_t size, uint64_t offset, uint32_t tag) {
  const uint64_t carve = hdr->carve.load(std::memory_order_acquire);
  const uint64_t end = carve < start_map_offset(size) ? carve : start_map_offset(size);
  if (offset < ZIM_SHM_POOL_HEADER_SIZE + kLine || offset % kLine != 0 || offset >= end) return 0;
  const BlockHeader& header = block_header_at(hdr, offset - kLine);
  const uint64_t bytes = header.size.load(std::memory_order_relaxed);
  if (header.tag.load(std::memory_order_acquire) != block_tag(tag) || bytes > end - offset) {
    return 0;
  }
  return bytes;
}

bool appender_alive(void* context, uint32_t token) {
  auto* hdr = static_cast<PoolHeader*>(context);
  const uint32_t slot = token & ((1u << kTokenSlotBits) - 1);
  if (slot >= kWriterSlots) return false;
  const uint64_t generation = version_state(hdr).generation[slot].load(std::memory_order_acquire);
  // A generation that moved on since the token was taken: that writer is gone.
  if ((generation & 0xffff) != token >> kTokenSlotBits) return false;
  return writer_alive(hdr, slot | generation << kSlotBits);
}

bool damaged(const char* room, const std::string& why) {
  std::fprintf(stderr, "zim_memory: the versioned pool's %s is damaged: %s\n", room,
               printable(why).c_str());
  errno = EINVAL;
  return false;
}

}  // namespace

uint32_t appender_token(uint64_t stamp) {
  const auto slot = static_cast<uint32_t>(stamp & ((uint64_t{1} << kSlotBits) - 1));
  const auto generation = static_cast<uint32_t>((stamp >> kSlotBits) & 0xffff);
  return slot | generation << kTokenSlotBits;
}

bool carve_rooms(PoolHeader* hdr) {
  VersionState& state = version_state(hdr);
  const uint64_t ring = feed_ring_capacity(state.feed_capacity);
  const uint64_t feed_size = feed_bytes(ring);
  const uint64_t index_size = index_bytes(state.index_capacity);
  state.feed = carve_record(hdr, ZIM_SHM_POOL_FEED, feed_size);
  state.index = state.feed != 0 ? carve_record(hdr, ZIM_SHM_POOL_INDEX, index_size) : 0;
  if (state.index == 0) return errno = ENOSPC, false;
  auto* base = reinterpret_cast<char*>(hdr);
  Index index;
  if (!feed_init(base + state.feed, feed_size, ring) ||
      !index_init(base + state.index, index_size, state.index_capacity, &index)) {
    return errno = ENOSPC, false;
  }
  return true;
}

bool open_rooms(PoolHeader* hdr, PoolRooms* rooms) {
  const uint64_t size = g_pool_size.load(std::memory_order_relaxed);  // ours, not the header's
  const VersionState& state = version_state(hdr);
  const uint64_t feed_at = state.feed, index_at = state.index;
  const uint64_t feed_size = record_bytes(hdr, size, feed_at, ZIM_SHM_POOL_FEED);
  const uint64_t index_size = record_bytes(hdr, size, index_at, ZIM_SHM_POOL_INDEX);
  char where[64];
  if (feed_size == 0) {
    std::snprintf(where, sizeof where, "no record at offset %" PRIu64, feed_at);
    return damaged("feed", where);
  }
  if (index_size == 0) {
    std::snprintf(where, sizeof where, "no record at offset %" PRIu64, index_at);
    return damaged("index", where);
  }
  auto* base = reinterpret_cast<char*>(hdr);
  std::string why;
  if (!feed_open(base + feed_at, feed_size, {appender_alive, hdr}, &rooms->feed, &why)) {
    return damaged("feed", why);
  }
  if (!index_open(base + index_at, index_size, &rooms->index, &why)) {
    return damaged("index", why);
  }
  return true;
}

bool mapped_rooms(PoolHeader** hdr, PoolRooms* rooms) {
  *hdr = mapped_pool();
  if (*hdr == nullptr || !is_versioned(*hdr)) return errno = EINVAL, false;
  const PoolRooms* checked = checked_rooms(*hdr);
  if (checked == nullptr) return false;
  *rooms = *checked;
  return true;
}

}  // namespace zim_sim
