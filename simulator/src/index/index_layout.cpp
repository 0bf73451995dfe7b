// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the index's region sized, laid out and opened. Opening
// trusts nothing of the region: every size the slots are reached through is
// checked against the bytes the caller says it holds.

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "index/index.hpp"

namespace zim_sim {

namespace {

constexpr uint64_t kFormatWord = kIndexFormat | uint64_t{sizeof(IndexSlot)} << 32;

std::string text(const char* format, uint64_t a, uint64_t b) {
  char line[160];
  std::snprintf(line, sizeof line, format, a, b);
  return line;
}

void attach_view(void* region, uint64_t capacity, Index* index) {
  index->header = static_cast<IndexHeader*>(region);
  index->slots = reinterpret_cast<IndexSlot*>(static_cast<char*>(region) + sizeof(IndexHeader));
  index->capacity = capacity;
  index->slot_count = 2 * capacity;
}

bool aligned(const void* region) {
  return reinterpret_cast<uintptr_t>(region) % alignof(IndexHeader) == 0;
}

// The header's words, read once: a hostile writer may change them after.
struct HeaderWords {
  uint64_t magic, format, capacity, slot_count, pending, live;
};

HeaderWords read_header(const IndexHeader& h) {
  HeaderWords w;
  w.magic = h.magic.load(std::memory_order_acquire);
  w.format = h.format;
  w.capacity = h.capacity;
  w.slot_count = h.slot_count;
  w.pending = h.pending.load(std::memory_order_relaxed);
  w.live = h.live.load(std::memory_order_relaxed);
  return w;
}

// Why a header's words do not describe an index that fits in `bytes`; empty
// when they do.
std::string header_problem(const HeaderWords& w, uint64_t bytes) {
  if (w.magic != kIndexMagic) {
    return text("no index here: its first word is 0x%016" PRIx64 ", not 0x%016" PRIx64, w.magic,
                kIndexMagic);
  }
  if (w.format != kFormatWord) {
    return text("index format word 0x%" PRIx64 ", this program reads 0x%" PRIx64, w.format,
                kFormatWord);
  }
  if (index_bytes(w.capacity) == 0) {
    return text("an index capacity of %" PRIu64 " keys, not 1 to %" PRIu64, w.capacity,
                kIndexMaxCapacity);
  }
  if (w.slot_count != 2 * w.capacity) {
    return text("an index of %" PRIu64 " slots for %" PRIu64 " keys", w.slot_count, w.capacity);
  }
  if (index_bytes(w.capacity) > bytes) {
    return text("an index of %" PRIu64 " keys needs more than the %" PRIu64 " bytes of its region",
                w.capacity, bytes);
  }
  if (w.pending > kIndexRewriting) {
    return text("an index whose pending operation is %" PRIu64 ", not 0 to %" PRIu64, w.pending,
                kIndexRewriting);
  }
  if (w.live > w.capacity) {
    return text("an index that counts %" PRIu64 " keys, more than its capacity %" PRIu64, w.live,
                w.capacity);
  }
  return {};
}

}  // namespace

uint64_t index_bytes(uint64_t capacity) {
  if (capacity == 0 || capacity > kIndexMaxCapacity) return 0;
  return sizeof(IndexHeader) + 2 * capacity * sizeof(IndexSlot);
}

bool index_init(void* region, uint64_t bytes, uint64_t capacity, Index* index) {
  const uint64_t need = index_bytes(capacity);
  if (need == 0 || need > bytes || region == nullptr || !aligned(region)) return false;
  // Plain stores: nobody reads the region before the magic says it is ready.
  std::memset(region, 0, need);
  auto* header = static_cast<IndexHeader*>(region);
  header->format = kFormatWord;
  header->capacity = capacity;
  header->slot_count = 2 * capacity;
  header->magic.store(kIndexMagic, std::memory_order_release);
  attach_view(region, capacity, index);
  return true;
}

bool index_open(void* region, uint64_t bytes, Index* index, std::string* why) {
  std::string problem;
  HeaderWords words{};
  if (region == nullptr || !aligned(region)) {
    problem = "an index region that is not 8-byte aligned";
  } else if (bytes < sizeof(IndexHeader)) {
    problem = text("an index region of %" PRIu64 " bytes, smaller than its %" PRIu64 "-byte header",
                   bytes, sizeof(IndexHeader));
  } else {
    words = read_header(*static_cast<const IndexHeader*>(region));
    problem = header_problem(words, bytes);
  }
  if (!problem.empty()) {
    if (why != nullptr) *why = problem;
    return false;
  }
  attach_view(region, words.capacity, index);
  return true;
}

}  // namespace zim_sim
