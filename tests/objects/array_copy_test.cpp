// SPDX-License-Identifier: Apache-2.0
// read_dbobj between two objects laid out alike, at lengths the operations
// corpus does not reach: around every bound where the copy of an array or of
// a packed dynamic area changes its way (inline moves of 1 to 32 bytes, and
// up to 64 where the count bounds every array; memcpy; stretches between
// flags; the ordered copy past 8 KiB). The bounded inline copy also for
// element sizes no type of the catalogue takes that way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "object_model.hpp"
#include "table_ops.hpp"

namespace zim_test {
namespace {

TEST(ArrayCopies, MoveExactlyTheModelsBytesAtEveryLengthBound) {
  constexpr uint32_t kNpd = 8;
  // Every N up to 33 and around 64 where per-NPU arrays share their tests of
  // N: each bound of its classes (a power of two and one past it).
  std::vector<uint32_t> every_npus = {64, 65};
  for (uint32_t n = 0; n <= 33; ++n) every_npus.push_back(n);
  const std::vector<uint32_t> npus_tried = {0, 1, 3, 17, 33};
  const std::vector<uint32_t> counts_tried = {2, 3, 5, 8, 9, 16, 17, 33, 64, 65, 100, 700};
  const std::vector<uint32_t> no_count = {0};
  std::minstd_rand rng(29);
  for (const RefType& t : reference()) {
    if (t.arrays.empty()) continue;
    const bool per_npu =
        std::any_of(t.arrays.begin(), t.arrays.end(), [](const RefArray& a) { return a.per_npu; });
    for (const uint32_t npus : per_npu ? every_npus : npus_tried) {
      for (const uint32_t count : t.count_field != 0 ? counts_tried : no_count) {
        const Combo c{npus, kNpd, count};
        SCOPED_TRACE(describe(t, c));
        reset_platform(c.npus, c.npd);
        const ObjectLayout l = expected_layout(t, c.npus, c.npd, c.count);
        void* src = cat(t).ops.srv_ctor(c.count);
        void* dst = cat(t).ops.srv_ctor(c.count);
        scramble(src, t, l, rng);
        auto* d = static_cast<unsigned char*>(dst);
        Bytes want(d, d + l.size);
        copy_data(want, t, src, l);
        cat(t).ops.read_dbobj(src, dst);
        EXPECT_EQ(Bytes(d, d + l.size), want);
        std::free(src);
        std::free(dst);
      }
    }
  }
}

// Every count up to the bound, between guard bytes that must stay.
template <uint32_t E>
void expect_bounded_copies_exact() {
  constexpr size_t kGuard = 16, kBound = zim_tables::kBoundedArrayBytes;
  unsigned char from[kBound], to[kGuard + kBound + kGuard];
  for (size_t i = 0; i < kBound; ++i) from[i] = static_cast<unsigned char>(i * 13 + E);
  for (uint64_t n = 0; n * E <= kBound; ++n) {
    std::memset(to, 0xa5, sizeof to);
    zim_tables::copy_elements<zim_tables::array_moves::bounded, E>(to + kGuard, from, n);
    for (size_t i = 0; i < sizeof to; ++i) {
      const bool inside = i >= kGuard && i < kGuard + n * E;
      ASSERT_EQ(to[i], inside ? from[i - kGuard] : 0xa5) << E << "-byte elements, " << n;
    }
  }
}

TEST(ArrayCopies, BoundedInlineCopiesMoveExactlyTheirElements) {
  expect_bounded_copies_exact<1>();
  expect_bounded_copies_exact<3>();
  expect_bounded_copies_exact<4>();
  expect_bounded_copies_exact<12>();
  expect_bounded_copies_exact<24>();
  expect_bounded_copies_exact<32>();
}

}  // namespace
}  // namespace zim_test
