// SPDX-License-Identifier: Apache-2.0
// The constructors' stop for layouts past 32 bits and the order of their
// stamps; their calls, hooks and objects are the operations tests' part,
// failed allocations the heap tests'.
#include <gtest/gtest.h>

#include "object_model.hpp"

namespace zim_test {
namespace {

// Such a size would wrap into a block smaller than the layout: the
// constructors must stop with the layout check before allocating anything.
TEST(ServerConstructors, RefuseLayoutsPast32Bits) {
  constexpr uint32_t kNpd = 7;
  for (const RefType& t : reference()) {
    if (t.arrays.empty()) continue;
    const auto& ops = cat(t).ops;
    const std::string id = std::to_string(t.id);
    const uint64_t room = UINT32_MAX - t.fixed_size - kNpd;  // for the dynamic area
    std::vector<Combo> oversized;  // the smallest N or count that overflows
    const uint32_t p = t.per_npu_bytes, q = t.per_elem_bytes;
    if (p != 0) oversized.push_back({static_cast<uint32_t>(room / p + 1), kNpd, 0});
    if (q != 0) oversized.push_back({1, kNpd, static_cast<uint32_t>((room - p) / q + 1)});
    if (q != 0) oversized.push_back({1, kNpd, UINT32_MAX});
    for (const Combo& c : oversized) {
      SCOPED_TRACE(describe(t, c));
      ASSERT_GT(expected_layout(t, c.npus, c.npd, c.count).size, UINT32_MAX);
      for (bool pool : {false, true}) {
        reset_platform(c.npus, c.npd);
        const auto report = capture_assert(
            [&] { (void)(pool ? ops.srv_ctor_with_shm(c.count) : ops.srv_ctor(c.count)); });
        EXPECT_EQ(report_text(report), report_text(fix_ptrs_report(t)));
        EXPECT_EQ(call_trace(), "npd(" + id + ")");
      }
      if (c.count == 0) continue;
      // A source claiming that count: the copy stops the same way.
      Bytes src(t.fixed_size);
      put<uint32_t>(src.data(), t.count_field, c.count);
      for (auto copy_ctor : {ops.copy_ctor, ops.copy_ctor_with_shm}) {
        reset_platform(c.npus, c.npd);
        EXPECT_EQ(report_text(capture_assert([&] { copy_ctor(src.data()); })),
                  report_text(fix_ptrs_report(t)));
        EXPECT_EQ(call_trace(), "props(" + id + ") npd(" + id + ")");
      }
    }
  }
}

// A block in a pool can be seen half-made: when the uid is asked for, the
// table id, the size and alloc_state are stamped, and nothing after them.
TEST(ServerConstructors, AskForTheUidBetweenTheStampsInTheirOrder) {
  static Bytes seen;
  static unsigned char* block;
  static uint64_t block_size;
  for (const RefType& t : reference()) {
    SCOPED_TRACE(t.name);
    reset_platform(4, 16);
    platform().pool_prepare = [](void* b, uint64_t size) {
      block = static_cast<unsigned char*>(b);
      block_size = size;
    };
    platform().on_uid = [] { seen = snapshot(block, block_size); };
    seen.clear();
    const uint32_t count = t.count_field != 0 ? 3 : 0;
    auto* obj = static_cast<unsigned char*>(cat(t).ops.srv_ctor_with_shm(count));
    ASSERT_EQ(seen.size(), expected_layout(t, 4, 16, count).size);
    EXPECT_EQ(get<uint16_t>(seen.data(), ZIM_OBJ_TABLE_ID_OFFSET), t.id);
    EXPECT_EQ(get<uint32_t>(seen.data(), ZIM_OBJ_TOTAL_SIZE_OFFSET), seen.size());
    EXPECT_EQ(seen[ZIM_OBJ_ALLOC_STATE_OFFSET], 1);
    // The stamps that follow the uid: each will have changed its byte.
    EXPECT_EQ(seen[ZIM_OBJ_FLAGS_OFFSET], 0);
    EXPECT_EQ(seen[cat(t).npd_present], 0);
    if (count != 0) {
      EXPECT_EQ(get<uint32_t>(seen.data(), t.count_field), 0u);
    }
    EXPECT_EQ(obj[cat(t).npd_present], 1);
    EXPECT_EQ(obj[ZIM_OBJ_FLAGS_OFFSET], t.sets_bit5 ? ZIM_OBJ_FLAGS_BIT5 : 0);
  }
}

// The fix-up asks N again, so a constructor must still check its layout
// where the answer can grow between the sizing and the pointers (in the
// pool, whose blocks the stop leaves to the platform, not to a leak).
TEST(ServerConstructors, StopWhenNGrowsBetweenTheSizeAndTheLayout) {
  for (const RefType& t : reference()) {
    if (t.per_npu_arrays() == 0) continue;
    SCOPED_TRACE(t.name);
    reset_platform(4, 16);
    platform().on_uid = [] { platform().max_npus = 5; };
    const auto report = capture_assert([&] { (void)cat(t).ops.srv_ctor_with_shm(1); });
    EXPECT_EQ(report_text(report), report_text(fix_ptrs_report(t)));
  }
}

}  // namespace
}  // namespace zim_test
