// SPDX-License-Identifier: Apache-2.0
// read_dbobj between two objects laid out alike, at lengths the operations
// corpus does not reach: around every bound where the copy of an array or of
// a packed dynamic area changes its way (inline moves of 1 to 32 bytes,
// memcpy, stretches between flags, the ordered copy past 8 KiB).
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "object_model.hpp"

namespace zim_test {
namespace {

TEST(ArrayCopies, MoveExactlyTheModelsBytesAtEveryLengthBound) {
  constexpr uint32_t kNpd = 8;
  const std::vector<uint32_t> npus_tried = {1, 3, 17, 33};
  const std::vector<uint32_t> counts_tried = {2, 3, 5, 9, 17, 33, 100, 700};
  const std::vector<uint32_t> no_count = {0};
  std::minstd_rand rng(29);
  for (const RefType& t : reference()) {
    if (t.arrays.empty()) continue;
    for (const uint32_t npus : npus_tried) {
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

}  // namespace
}  // namespace zim_test
