// SPDX-License-Identifier: Apache-2.0
// The ordered copy behind read_dbobj's packed path moves exactly the area it
// is given, and every store's new bytes lie in one cache line above every
// byte stored before them: every length around its chunk sizes, at every
// position of the destination in a cache line and with the source at another.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "table_ops.hpp"

namespace {

struct Store {
  uintptr_t at;
  size_t width;
};

// Makes each move and records where it stored.
struct RecordedMoves {
  std::vector<Store>* stores;
  template <size_t Width>
  void move(unsigned char* to, const unsigned char* from) const {
    zim_tables::move_ordered<Width>(to, from);
    stores->push_back({reinterpret_cast<uintptr_t>(to), Width});
  }
};

// "" when each store's bytes not stored before lie in one line, above all
// stored before, and the stores cover [begin, end) and nothing else.
std::string order_fault(const std::vector<Store>& stores, uintptr_t begin, uintptr_t end) {
  uintptr_t stored_to = begin;  // [begin, stored_to) is stored
  for (const Store& s : stores) {
    if (s.at < begin || s.at + s.width > end) return "a store outside the area";
    if (s.at > stored_to) return "a gap below a store";
    if (s.at + s.width <= stored_to) continue;  // the same values again
    if (stored_to / 64 != (s.at + s.width - 1) / 64) return "new bytes on two cache lines";
    stored_to = s.at + s.width;
  }
  return stored_to == end ? "" : "bytes left out";
}

TEST(OrderedCopy, StoresExactlyTheAreaInAscendingOrderOneLineAtATime) {
  constexpr size_t kGuard = 64, kMaxBytes = 300;
  alignas(64) static unsigned char src[kGuard + kMaxBytes + 2 * kGuard];
  alignas(64) static unsigned char dst[sizeof src];
  std::vector<Store> stores;
  for (size_t bytes = 0; bytes <= kMaxBytes; ++bytes) {
    for (size_t offset = 0; offset < 64; ++offset) {
      const size_t from = kGuard + (offset * 5 + 3) % 64, to = kGuard + offset;
      for (size_t i = 0; i < sizeof src; ++i) {
        src[i] = static_cast<unsigned char>(i * 7 + bytes);
        dst[i] = 0xa5;
      }
      stores.clear();
      zim_tables::copy_ascending_by(RecordedMoves{&stores}, dst + to, src + from, bytes);
      const auto begin = reinterpret_cast<uintptr_t>(dst + to);
      ASSERT_EQ(order_fault(stores, begin, begin + bytes), "")
          << bytes << " bytes to offset " << offset;
      zim_tables::copy_ascending(dst + to, src + from, bytes);
      for (size_t i = 0; i < sizeof dst; ++i) {
        const bool inside = i >= to && i < to + bytes;
        const unsigned char want = inside ? src[from + (i - to)] : 0xa5;
        ASSERT_EQ(dst[i], want) << bytes << " bytes to offset " << offset << ", byte " << i;
      }
    }
  }
}

}  // namespace
