// SPDX-License-Identifier: Apache-2.0
// Laying out a feed over a region, and checking one that another process
// laid out (whose bytes are not trusted).
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "feed/feed_internal.hpp"

namespace zim_sim {

namespace {

constexpr uint64_t kRegionAlign = 16;

bool capacity_allowed(uint64_t capacity) {
  return capacity >= kFeedMinCapacity && capacity <= kFeedMaxCapacity &&
         (capacity & (capacity - 1)) == 0;
}

bool region_aligned(const void* region) {
  return region != nullptr && reinterpret_cast<uintptr_t>(region) % kRegionAlign == 0;
}

bool refuse(std::string* why, std::string text) {
  if (why != nullptr) *why = std::move(text);
  return false;
}

}  // namespace

uint64_t feed_bytes(uint64_t capacity) {
  return capacity_allowed(capacity) ? sizeof(FeedHeader) + capacity * sizeof(FeedSlot) : 0;
}

bool feed_init(void* region, uint64_t bytes, uint64_t capacity) {
  const uint64_t need = feed_bytes(capacity);
  if (need == 0 || bytes < need || !region_aligned(region)) return false;
  std::memset(region, 0, need);
  auto* header = static_cast<FeedHeader*>(region);
  header->version = kFeedVersion;
  header->slot_bytes = sizeof(FeedSlot);
  header->capacity = capacity;
  header->next_sequence.store(1, std::memory_order_relaxed);
  header->magic.store(kFeedMagic, std::memory_order_release);
  return true;
}

bool feed_open(void* region, uint64_t bytes, FeedLiveness liveness, FeedView* view,
               std::string* why) {
  if (!region_aligned(region)) return refuse(why, "the feed's region is not 16-byte aligned");
  if (bytes < sizeof(FeedHeader)) {
    return refuse(
        why, "the feed's region of " + std::to_string(bytes) + " bytes cannot hold its header");
  }
  auto* header = static_cast<FeedHeader*>(region);
  if (header->magic.load(std::memory_order_acquire) != kFeedMagic) {
    return refuse(why, "no feed in the region (magic missing)");
  }
  if (header->version != kFeedVersion || header->slot_bytes != sizeof(FeedSlot)) {
    return refuse(why, "feed version " + std::to_string(header->version) + " with entries of " +
                           std::to_string(header->slot_bytes) + " bytes; this program reads " +
                           std::to_string(kFeedVersion) + " with " +
                           std::to_string(sizeof(FeedSlot)));
  }
  const uint64_t capacity = header->capacity;
  const uint64_t need = feed_bytes(capacity);
  if (need == 0 || need > bytes) {
    return refuse(why, "feed capacity " + std::to_string(capacity) + " is not a power of two in [" +
                           std::to_string(kFeedMinCapacity) + ", " +
                           std::to_string(kFeedMaxCapacity) + "] whose entries fit its " +
                           std::to_string(bytes) + " bytes");
  }
  *view = FeedView{header, reinterpret_cast<FeedSlot*>(header + 1), capacity, liveness};
  return true;
}

uint64_t feed_next_sequence(const FeedView& view) {
  return view.header->next_sequence.load(std::memory_order_relaxed);
}

}  // namespace zim_sim
