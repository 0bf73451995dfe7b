// SPDX-License-Identifier: Apache-2.0
// The layout constants of every type's header against the objects that the
// allocator lays out and the reference data; the inline constants must name
// exactly the bytes the data copy moves, nothing else in the fixed part. The
// constructors' stop for layouts past 32 bits and the order of their stamps;
// their calls, hooks and objects are the operations tests' part, failed
// allocations the heap tests'.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "object_model.hpp"
#include "zim/tables/all_tables.h"

namespace zim_test {
namespace {

using OffsetFn = uint64_t (*)(uint32_t n, uint32_t npd_size, uint32_t count);

struct InlineConstants {
  uint32_t offset, width, run, flag;
};
struct ArrayConstants {
  uint32_t ptr, flags_ptr, elem_size, kind;
  OffsetFn storage, flags;
};
struct TypeConstants {
  uint32_t count_field, npd_present;
  std::vector<InlineConstants> inline_fields;
  std::vector<ArrayConstants> arrays;
  OffsetFn object_size;
};

#define ZIM_INLINE(T, F)                                                                 \
  {ZIM_##T##_FIELD_##F##_OFFSET, ZIM_##T##_FIELD_##F##_WIDTH, ZIM_##T##_FIELD_##F##_RUN, \
   ZIM_##T##_FIELD_##F##_FLAG},
#define ZIM_OFFSET_FN(M) \
  [](uint32_t n, uint32_t npd_size, uint32_t count) -> uint64_t { return M(n, npd_size, count); }
#define ZIM_ARRAY(T, F)                                 \
  {ZIM_##T##_FIELD_##F##_PTR,                           \
   ZIM_##T##_FIELD_##F##_FLAGS_PTR,                     \
   ZIM_##T##_FIELD_##F##_ELEM_SIZE,                     \
   ZIM_##T##_FIELD_##F##_KIND,                          \
   ZIM_OFFSET_FN(ZIM_##T##_FIELD_##F##_STORAGE_OFFSET), \
   ZIM_OFFSET_FN(ZIM_##T##_FIELD_##F##_FLAGS_OFFSET)},
#define ZIM_TYPE(T, t)                    \
  {ZIM_##T##_COUNT_OFFSET,                \
   ZIM_##T##_NPD_PRESENT_OFFSET,          \
   {ZIM_##T##_INLINE_FIELDS(ZIM_INLINE)}, \
   {ZIM_##T##_ARRAY_FIELDS(ZIM_ARRAY)},   \
   ZIM_OFFSET_FN(ZIM_##T##_OBJECT_SIZE)},

const TypeConstants kConstants[] = {ZIM_TABLES_FOR_EACH_TYPE(ZIM_TYPE)};

TEST(LayoutConstants, MatchTheAllocatorTheDataCopyAndTheReference) {
  ASSERT_EQ(std::size(kConstants), reference().size());
  for (const RefType& t : reference()) {
    const TypeConstants& k = kConstants[t.id];
    SCOPED_TRACE(t.name);
    EXPECT_EQ(k.count_field, t.count_field);
    ASSERT_EQ(k.arrays.size(), t.arrays.size());
    std::set<uint32_t> pointer_bytes;
    for (size_t i = 0; i < t.arrays.size(); ++i) {
      const ArrayConstants& a = k.arrays[i];
      EXPECT_EQ((RefArray{a.kind == ZIM_ARRAY_PER_NPU, a.ptr, a.flags_ptr, a.elem_size}),
                t.arrays[i]);
      for (uint32_t j = 0; j < 8; ++j) pointer_bytes.insert({a.ptr + j, a.flags_ptr + j});
    }
    for (const Combo& c : combos(t)) {
      SCOPED_TRACE(describe(t, c));
      reset_platform(c.npus, c.npd);
      auto* obj = static_cast<unsigned char*>(cat(t).ops.srv_ctor(c.count));
      const auto base = reinterpret_cast<uintptr_t>(obj);
      EXPECT_EQ(get<uint32_t>(obj, ZIM_OBJ_TOTAL_SIZE_OFFSET),
                static_cast<uint32_t>(k.object_size(c.npus, c.npd, c.count)));
      if (k.count_field != 0) {
        EXPECT_EQ(get<uint32_t>(obj, k.count_field), c.count);
      }
      EXPECT_EQ(obj[k.npd_present], c.npd != 0 ? 1 : 0);
      for (const ArrayConstants& a : k.arrays) {
        const bool empty = a.kind == ZIM_ARRAY_COUNTED && c.count == 0;
        EXPECT_EQ(get<uint64_t>(obj, a.ptr), empty ? 0 : base + a.storage(c.npus, c.npd, c.count));
        EXPECT_EQ(get<uint64_t>(obj, a.flags_ptr),
                  empty ? 0 : base + a.flags(c.npus, c.npd, c.count));
      }
      std::free(obj);
    }

    std::set<uint32_t> field_bytes, moved;
    for (const InlineConstants& f : k.inline_fields) {
      for (uint32_t i = 0; i < f.width * f.run; ++i) field_bytes.insert(f.offset + i);
      for (uint32_t i = 0; i < f.run; ++i) field_bytes.insert(f.flag + i);
    }
    reset_platform(2, 8);
    auto* src = static_cast<unsigned char*>(cat(t).ops.srv_ctor(1));
    auto* dst = static_cast<unsigned char*>(cat(t).ops.srv_ctor(1));
    for (uint32_t i = ZIM_OBJ_BASE_HEADER_SIZE; i < t.fixed_size; ++i) {
      if (pointer_bytes.count(i) == 0 && i != t.count_field) src[i] = 0xa5;
    }
    cat(t).ops.read_dbobj(src, dst);
    for (uint32_t i = ZIM_OBJ_BASE_HEADER_SIZE; i < t.fixed_size; ++i) {
      if (pointer_bytes.count(i) == 0 && dst[i] == 0xa5) moved.insert(i);
    }
    EXPECT_EQ(moved, field_bytes);
    std::free(src);
    std::free(dst);
  }
}

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
