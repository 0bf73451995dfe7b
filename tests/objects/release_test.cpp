// The library's own heap calls, seen through the interposed calloc and free:
// the release stamp at the moment of free, and heap allocation order and
// failure.
#include <gtest/gtest.h>

#include <cstdlib>

#include "heap_hooks.hpp"
#include "object_model.hpp"

namespace zim_test {
namespace {

TEST(Release, StampsTheCopyAsItIsFreed) {
  for (const ref_type& t : reference()) {
    SCOPED_TRACE(t.name);
    const auto& ops = cat(t).ops;
    const layout l = expected_layout(t, 1, 7, 1);
    reset_platform(1, 7);
    void* src = ops.srv_ctor(1);
    // Noise in the source's header reaches the copy, so that a stamp that
    // leaves bytes 148..151 alone would show.
    std::mt19937 rng(t.id);
    scramble(src, t, l, rng);
    void* copy = ops.copy_ctor(src);
    bytes expected = snapshot(copy, l.size);
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

TEST(HeapAllocation, AllocatesBeforeTheUidAndStopsWhenCallocFails) {
  for (const ref_type& t : reference()) {
    SCOPED_TRACE(t.name);
    const auto& ops = cat(t).ops;
    const std::string id = std::to_string(t.id);
    const std::string size = std::to_string(expected_layout(t, 1, 7, 1).size);
    reset_platform(1, 7);
    heap().record = true;
    void* src = ops.srv_ctor(1);
    heap().record = false;
    EXPECT_EQ(call_trace(), "npd(" + id + ") calloc(" + size + ") uid");

    calls().clear();
    heap().record = heap().fail_next_calloc = true;
    const auto ctor_report = capture_assert([&] { ops.srv_ctor(1); });
    heap().record = false;
    EXPECT_EQ(report_text(ctor_report), report_text(alloc_report(t)));
    EXPECT_EQ(call_trace(), "npd(" + id + ") calloc(" + size + ")");

    calls().clear();
    heap().record = heap().fail_next_calloc = true;
    const auto copy_report = capture_assert([&] { ops.copy_ctor(src); });
    heap().record = false;
    EXPECT_EQ(report_text(copy_report), report_text(alloc_report(t)));
    EXPECT_EQ(call_trace(), "props(" + id + ") npd(" + id + ") calloc(" + size + ")");
    std::free(src);
  }
}

}  // namespace
}  // namespace zim_test
