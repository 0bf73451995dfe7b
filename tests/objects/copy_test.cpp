// The copies: read_dbobj moves exactly the data fields, the copy constructors
// build complete copies and call the table's hooks, and the header copies
// move exactly the headers.
#include <gtest/gtest.h>

#include <cstdlib>

#include "object_model.hpp"

namespace zim_test {
namespace {

TEST(ReadDbobj, CopiesExactlyTheDataFields) {
  std::mt19937 rng(1234);
  for (const ref_type& t : reference()) {
    const auto& ops = cat(t).ops;
    for (const combo& c : combos(t)) {
      // The destination's count governs, also when it is below the source's.
      std::vector<uint32_t> dst_counts{c.count};
      if (c.count == 3) dst_counts.push_back(1);
      for (uint32_t dst_count : dst_counts) {
        // 1 and 2: alternate arrays lose their source data or flag pointer.
        // 3: the last array's contents lie outside the source object.
        for (int nulls = 0; nulls < (t.arrays.empty() ? 1 : 4); ++nulls) {
          SCOPED_TRACE(describe(t, c) + " dst_count=" + std::to_string(dst_count) +
                       " nulls=" + std::to_string(nulls));
          reset_platform(c.npus, c.npd);
          const layout src_l = expected_layout(t, c.npus, c.npd, c.count);
          const layout dst_l = expected_layout(t, c.npus, c.npd, dst_count);
          void* src = ops.srv_ctor(c.count);
          scramble(src, t, src_l, rng);
          // The destination moves into a buffer with noise behind it, where a
          // copy sized by the source's count would overrun.
          void* fresh = ops.srv_ctor(dst_count);
          bytes dst = snapshot(fresh, dst_l.size);
          std::free(fresh);
          dst.resize(dst_l.size + 64);
          ops.fix_ptrs(c.npd, dst.data());
          scramble(dst.data(), t, dst_l, rng);
          for (uint64_t i = dst_l.size; i < dst.size(); ++i)
            dst[i] = static_cast<unsigned char>(rng());
          for (size_t i = 0; (nulls == 1 || nulls == 2) && i < t.arrays.size(); ++i) {
            const ref_array& a = t.arrays[i];
            put<uintptr_t>(src, (i + nulls) % 2 != 0 ? a.data_ptr : a.flag_ptr, 0);
          }
          bytes moved;
          if (nulls == 3) {
            const placed_array& last = src_l.arrays.back();
            const uint64_t storage = last.length * last.field.elem_size;
            moved.resize(storage + last.length);
            for (auto& b : moved) b = static_cast<unsigned char>(rng());
            put<uintptr_t>(src, last.field.data_ptr, reinterpret_cast<uintptr_t>(moved.data()));
            put<uintptr_t>(src, last.field.flag_ptr,
                           reinterpret_cast<uintptr_t>(moved.data() + storage));
          }
          bytes image = dst;
          copy_data(image, t, src, dst_l);
          ops.read_dbobj(src, dst.data());
          EXPECT_EQ(first_difference(dst.data(), image), "");
          std::free(src);
        }
      }
    }
  }
}

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

TEST(CopyConstructors, BuildCompleteCopiesAndCallTheHooks) {
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
          const uint32_t uid = platform().next_uid;
          void* copy = use_shm ? ops.copy_ctor_with_shm(src) : ops.copy_ctor(src);
          ASSERT_NE(copy, nullptr);
          EXPECT_EQ(in_pool(copy), use_shm);

          // A fresh object of its own, overwritten with src's headers and data.
          bytes image = fresh_image(t, l, copy, c.npd, c.count, uid);
          copy_headers(image, t, src);
          copy_data(image, t, src, l);
          EXPECT_EQ(first_difference(copy, image), "");
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

          // The header copies onto the copy, its count field changed so that
          // copying it shows: src's headers return, nothing else moves.
          for (auto header_copy : {ops.write_dbobj_base, ops.read_dbobj_base}) {
            scramble(copy, t, l, rng);
            if (t.count_field != 0) put<uint32_t>(copy, t.count_field, c.count + 1);
            image = snapshot(copy, l.size);
            copy_headers(image, t, src);
            header_copy(src, copy);
            EXPECT_EQ(first_difference(copy, image), "") << "header copy";
          }
          std::free(src);
          if (!use_shm) std::free(copy);
        }
      }
    }
  }
}

}  // namespace
}  // namespace zim_test
