// The copy constructors' platform calls and hooks; what the copies and the
// other operations leave in the objects is the operations tests' part.
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

TEST(CopyConstructors, AskThePlatformInOrderAndCallTheHooksOnTheFinishedCopy) {
  std::mt19937 rng(91011);
  for (const ref_type& t : reference()) {
    const auto& ops = cat(t).ops;
    const std::string id = std::to_string(t.id);
    for (const combo& c : combos(t)) {
      const layout l = expected_layout(t, c.npus, c.npd, c.count);
      for (bool use_shm : {false, true}) {
        for (uint8_t hooks_on : {0, 0x80}) {
          SCOPED_TRACE(describe(t, c) + (use_shm ? " pool" : " heap") +
                       (hooks_on != 0 ? " hooks" : ""));
          reset_platform(c.npus, c.npd);
          zim_table_props_t& props = table_props(t.id);
          props.copy_hooks_on = hooks_on;
          props.copy_shm_hook = shm_hook;
          props.copy_src_hook = src_hook;
          void* src = ops.srv_ctor(c.count);
          scramble(src, t, l, rng);
          calls().clear();
          g_hook_calls.clear();
          void* copy = use_shm ? ops.copy_ctor_with_shm(src) : ops.copy_ctor(src);
          ASSERT_NE(copy, nullptr);
          EXPECT_EQ(in_pool(copy), use_shm);
          EXPECT_EQ(call_trace(),
                    "props(" + id + ") npd(" + id + ") " +
                        (use_shm ? "pool(" + id + "," + std::to_string(l.size) + ") " : "") +
                        "uid");
          // The hooks see the finished copy, which carries src's uid.
          const std::string src_uid = std::to_string(get<uint32_t>(src, ZIM_OBJ_UID_OFFSET));
          const std::string src_at = std::to_string(reinterpret_cast<uintptr_t>(src));
          EXPECT_EQ(hook_trace(copy), hooks_on == 0 ? ""
                                                    : "shm(copy," + std::to_string(use_shm) +
                                                          ",uid " + src_uid + ") src(copy," +
                                                          src_at + ",uid " + src_uid + ") ");
          std::free(src);
          if (!use_shm) std::free(copy);
        }
      }
    }
  }
}

}  // namespace
}  // namespace zim_test
