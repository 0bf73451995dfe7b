// SPDX-License-Identifier: Apache-2.0
// The ordered copy behind read_dbobj's packed path moves exactly the area it
// is given: every length around its chunk sizes, at every position of the
// destination in a cache line and with the source at another one.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "table_ops.hpp"

namespace {

TEST(OrderedCopy, MovesExactlyTheAreaAtEveryLengthAndAlignment) {
  constexpr size_t kGuard = 64, kMaxBytes = 200;
  alignas(64) static unsigned char src[kGuard + kMaxBytes + 2 * kGuard];
  alignas(64) static unsigned char dst[sizeof src];
  for (size_t bytes = 0; bytes <= kMaxBytes; ++bytes) {
    for (size_t offset = 0; offset < 64; ++offset) {
      const size_t from = kGuard + (offset * 5 + 3) % 64, to = kGuard + offset;
      for (size_t i = 0; i < sizeof src; ++i) {
        src[i] = static_cast<unsigned char>(i * 7 + bytes);
        dst[i] = 0xa5;
      }
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
