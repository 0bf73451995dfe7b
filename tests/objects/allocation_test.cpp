// The constructors' platform calls in order, the copy hooks' view of the
// finished copy, and the stop for layouts past 32 bits. What the operations
// leave in the objects is the operations tests' part, failed allocations the
// heap tests'.
#include <gtest/gtest.h>

#include <cstdlib>

#include "object_model.hpp"

namespace zim_test {
namespace {

struct hook_call {
  const char* hook;
  void* copy;
  uintptr_t arg;
  uint32_t uid;  // the copy's uid when the hook ran
};
std::vector<hook_call> g_hook_calls;

int shm_hook(void* copy, zim_bool_t use_shm) {
  g_hook_calls.push_back({"shm", copy, use_shm, get<uint32_t>(copy, ZIM_OBJ_UID_OFFSET)});
  return 0;
}
int src_hook(void* copy, void* src) {
  g_hook_calls.push_back(
      {"src", copy, reinterpret_cast<uintptr_t>(src), get<uint32_t>(copy, ZIM_OBJ_UID_OFFSET)});
  return 0;
}

std::string hook_trace(const void* copy) {
  std::string trace;
  for (const hook_call& h : g_hook_calls) {
    trace += std::string(h.hook) + (h.copy == copy ? "(copy," : "(other,") + std::to_string(h.arg) +
             ",uid " + std::to_string(h.uid) + ") ";
  }
  return trace;
}

TEST(Constructors, AskThePlatformInOrderAndCallTheHooksOnTheFinishedCopy) {
  std::mt19937 rng(91011);
  for (const ref_type& t : reference()) {
    const auto& ops = cat(t).ops;
    const std::string id = std::to_string(t.id);
    for (const combo& c : combos(t)) {
      const layout l = expected_layout(t, c.npus, c.npd, c.count);
      for (bool use_shm : {false, true}) {
        const std::string pool = use_shm ? "pool(" + id + "," + std::to_string(l.size) + ") " : "";
        for (uint8_t hooks_on : {0, 0x80}) {
          SCOPED_TRACE(describe(t, c) + (use_shm ? " pool" : " heap") +
                       (hooks_on != 0 ? " hooks" : ""));
          reset_platform(c.npus, c.npd);
          zim_table_props_t& props = table_props(t.id);
          props.copy_hooks_on = hooks_on;
          props.copy_shm_hook = shm_hook;
          props.copy_src_hook = src_hook;
          // The source in the heap or the pool as the copy: the server
          // constructors' calls, then the copy constructors'.
          void* src = use_shm ? ops.srv_ctor_with_shm(c.count) : ops.srv_ctor(c.count);
          EXPECT_EQ(in_pool(src), use_shm);
          EXPECT_EQ(call_trace(), "npd(" + id + ") " + pool + "uid");
          scramble(src, t, l, rng);
          calls().clear();
          g_hook_calls.clear();
          void* copy = use_shm ? ops.copy_ctor_with_shm(src) : ops.copy_ctor(src);
          ASSERT_NE(copy, nullptr);
          EXPECT_EQ(in_pool(copy), use_shm);
          EXPECT_EQ(call_trace(), "props(" + id + ") npd(" + id + ") " + pool + "uid");
          // The hooks see the finished copy, which carries src's uid.
          const std::string src_uid = std::to_string(get<uint32_t>(src, ZIM_OBJ_UID_OFFSET));
          const std::string src_at = std::to_string(reinterpret_cast<uintptr_t>(src));
          EXPECT_EQ(hook_trace(copy), hooks_on == 0 ? ""
                                                    : "shm(copy," + std::to_string(use_shm) +
                                                          ",uid " + src_uid + ") src(copy," +
                                                          src_at + ",uid " + src_uid + ") ");
          if (!use_shm) std::free(src);
          if (!use_shm) std::free(copy);
        }
      }
    }
  }
}

// A size past 32 bits would wrap into a block smaller than the layout: the
// constructors must stop with the layout check before allocating anything.
TEST(ServerConstructors, RefuseLayoutsPast32Bits) {
  constexpr uint32_t kNpd = 7;
  for (const ref_type& t : reference()) {
    if (t.arrays.empty()) continue;
    const auto& ops = cat(t).ops;
    const std::string id = std::to_string(t.id);
    const uint64_t room = UINT32_MAX - t.fixed_size - kNpd;  // for the dynamic area
    std::vector<combo> oversized;  // the smallest N or count that overflows
    const uint32_t p = t.per_npu_bytes, q = t.per_elem_bytes;
    if (p != 0) oversized.push_back({static_cast<uint32_t>(room / p + 1), kNpd, 0});
    if (q != 0) oversized.push_back({1, kNpd, static_cast<uint32_t>((room - p) / q + 1)});
    if (q != 0) oversized.push_back({1, kNpd, UINT32_MAX});
    for (const combo& c : oversized) {
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
      bytes src(t.fixed_size);
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

}  // namespace
}  // namespace zim_test
