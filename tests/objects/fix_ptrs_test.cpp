// Pointer fix-up: relocated objects point into their own block again, and
// the types with the size check stop on a layout beyond total_obj_size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "object_model.hpp"

namespace zim_test {
namespace {

TEST(FixPtrs, RelocatedObjectsPointIntoTheirNewPlaceWithinTheRecordedSize) {
  for (const ref_type& t : reference()) {
    const auto& ops = cat(t).ops;
    for (const combo& c : combos(t)) {
      SCOPED_TRACE(describe(t, c));
      reset_platform(c.npus, c.npd);
      void* obj = ops.srv_ctor(c.count);
      const layout l = expected_layout(t, c.npus, c.npd, c.count);
      // The new place is at an odd address: nothing may rely on alignment.
      const bytes original = snapshot(obj, l.size);
      bytes place(3);
      place.insert(place.end(), original.begin(), original.end());
      unsigned char* moved = place.data() + 3;
      bytes image = original;
      write_pointers(image.data(), l, moved);
      // A moved block holds stale pointers, which the fix-up must replace
      // (with null for an empty counted array).
      const auto scribble = [&] {
        for (const placed_array& p : l.arrays) {
          put<uint64_t>(moved, p.field.data_ptr, 0xa5a5a5a5a5a5a5a5u);
          put<uint64_t>(moved, p.field.flag_ptr, 0x5a5a5a5a5a5a5a5au);
        }
      };
      scribble();

      // The fix-up uses the NPD size it is given and asks for none.
      platform().npd_size.fill(c.npd + 1);
      calls().clear();
      ops.fix_ptrs(c.npd, moved);
      EXPECT_EQ(first_difference(moved, image), "");
      ops.fix_ptrs(c.npd, moved);
      EXPECT_EQ(first_difference(moved, image), "") << "second fix-up";
      EXPECT_EQ(call_trace(), "");

      platform().npd_size.fill(c.npd);
      std::copy(original.begin(), original.end(), moved);
      scribble();
      calls().clear();
      ops.fix_ptrs_from_base(moved);
      EXPECT_EQ(first_difference(moved, image), "") << "from base";
      EXPECT_EQ(call_trace(), "npd(" + std::to_string(t.id) + ")");

      // Both fix-ups check the layout against total_obj_size, which it met
      // above; fixed-size and count-only types never check.
      for (uint64_t total : {l.size - 1, uint64_t{0}}) {
        SCOPED_TRACE("total_obj_size=" + std::to_string(total));
        put<uint32_t>(moved, ZIM_OBJ_TOTAL_SIZE_OFFSET, static_cast<uint32_t>(total));
        const std::string expected =
            t.size_checked() ? report_text(fix_ptrs_report(t)) : report_text(std::nullopt);
        EXPECT_EQ(report_text(capture_assert([&] { ops.fix_ptrs(c.npd, moved); })), expected);
        EXPECT_EQ(report_text(capture_assert([&] { ops.fix_ptrs_from_base(moved); })), expected);
      }
      std::free(obj);
    }
  }
}

}  // namespace
}  // namespace zim_test
