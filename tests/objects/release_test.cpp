// SPDX-License-Identifier: Apache-2.0
// The library's own heap calls, seen through the interposed calloc and free:
// the allocation's place among the platform calls, the stop when it (or the
// pool's) fails, and the release stamp at the moment of free.
#include <gtest/gtest.h>

#include <type_traits>
#include <utility>
#include <vector>

#include "heap_hooks.hpp"
#include "object_model.hpp"
#include "zim/tables/olist.h"

namespace zim_test {
namespace {

TEST(HeapCalls, AllocateStopWhenAllocationFailsAndStampOnRelease) {
  for (const RefType& t : reference()) {
    SCOPED_TRACE(t.name);
    const auto& ops = cat(t).ops;
    const std::string id = std::to_string(t.id);
    const ObjectLayout l = expected_layout(t, 1, 7, 1);
    const std::string size = std::to_string(l.size);
    reset_platform(1, 7);
    heap().record = true;
    void* src = ops.srv_ctor(1);
    heap().record = false;
    EXPECT_EQ(call_trace(), "npd(" + id + ") calloc(" + size + ") uid");

    for (bool pool : {false, true}) {
      for (bool copy : {false, true}) {
        calls().clear();
        (pool ? platform().pool_fails : heap().fail_next_calloc) = true;
        heap().record = true;
        const auto report = capture_assert([&] {
          if (copy) {
            (void)(pool ? ops.copy_ctor_with_shm(src) : ops.copy_ctor(src));
          } else {
            (void)(pool ? ops.srv_ctor_with_shm(1) : ops.srv_ctor(1));
          }
        });
        heap().record = platform().pool_fails = false;
        SCOPED_TRACE(std::string(pool ? "pool" : "heap") + (copy ? " copy" : " server object"));
        EXPECT_EQ(report_text(report), report_text(alloc_report(t)));
        EXPECT_EQ(call_trace(),
                  (copy ? "props(" + id + ") " : "") + "npd(" + id + ") " +
                      (pool ? "pool(" + id + "," + size + ")" : "calloc(" + size + ")"));
      }
    }

    // Noise in the source's header reaches the copy, so that a stamp that
    // leaves bytes 148..151 alone would show.
    std::mt19937 rng(t.id);
    scramble(src, t, l, rng);
    void* copy = ops.copy_ctor(src);
    Bytes expected = snapshot(copy, l.size);
    put<uint64_t>(expected.data(), ZIM_OBJ_RELEASE_STAMP_OFFSET, 0x00000000deadfeeeull);
    int frees = 0;
    std::string difference = "not freed";
    heap().on_free = [&](void* p) {
      if (p != copy) return;
      ++frees;
      difference = first_difference(p, expected);
    };
    ops.clnt_copy_dtor(copy);
    heap().on_free = nullptr;
    EXPECT_EQ(frees, 1);
    EXPECT_EQ(difference, "") << "only the stamp changes";
    ops.clnt_copy_dtor(src);
  }
}

// The C++ handles release what they own once, each its own way (a client
// copy through the type's release, which stamps it; a server object through
// free); a moved-from handle releases nothing.
TEST(Handles, ReleaseWhatTheyOwnOnceAndServeArraysAsRanges) {
  using Copy = zim_tables::ClientCopy<qor_olist_obj>;
  static_assert(!std::is_copy_constructible_v<Copy> && !std::is_copy_assignable_v<Copy> &&
                std::is_nothrow_move_constructible_v<Copy> &&
                std::is_nothrow_move_assignable_v<Copy>);
  reset_platform(2, 8);
  void *obj_at = nullptr, *copy_at = nullptr;
  std::vector<std::pair<void*, uint64_t>> freed;  // block, release stamp
  freed.reserve(4);
  heap().on_free = [&](void* p) {
    if (p == obj_at || p == copy_at)
      freed.push_back({p, get<uint64_t>(p, ZIM_OBJ_RELEASE_STAMP_OFFSET)});
  };
  {
    auto obj = zim_tables::ServerObject<qor_olist_obj>::make(3);
    zim_olist_set_field_2(obj.get(), 1, 40);
    zim_olist_set_field_2(obj.get(), 2, 2);
    Copy moved_from = zim_tables::copy_of(obj.get());
    Copy copy = std::move(moved_from);
    obj_at = obj.get();
    copy_at = copy.get();
    const auto elements =
        zim_tables::elements(copy.get(), zim_olist_field_2_length, zim_olist_get_field_2);
    uint64_t sum = 0;
    for (uint64_t v : elements) sum += v;
    EXPECT_TRUE(elements.size() == 3 && sum == 42 && !moved_from && freed.empty());
  }
  heap().on_free = nullptr;
  EXPECT_EQ(freed, (std::vector<std::pair<void*, uint64_t>>{{copy_at, ZIM_OBJ_RELEASE_STAMP},
                                                            {obj_at, 0}}));
}

}  // namespace
}  // namespace zim_test
