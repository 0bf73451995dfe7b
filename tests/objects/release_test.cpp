// The library's own heap calls, seen through the interposed calloc and free:
// the allocation's place among the platform calls, the stop when it (or the
// pool's) fails, and the release stamp at the moment of free.
#include <gtest/gtest.h>

#include "heap_hooks.hpp"
#include "object_model.hpp"

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

}  // namespace
}  // namespace zim_test
