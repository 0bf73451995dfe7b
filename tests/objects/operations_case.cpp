// SPDX-License-Identifier: Apache-2.0
// The operations of every table type on objects that the input describes (see
// input). Every object and buffer has its exact size, so the sanitizers see
// any access past one (the read_dbobj destination has noise behind it
// instead); every byte an operation leaves must equal the object model's
// image, and every platform and hook call must be the expected one. The
// operations fuzz target runs it on its inputs, the object tests on its seeds.
#include <algorithm>
#include <memory>
#include <stdexcept>

#include "object_model.hpp"

namespace zim_test {
namespace {

// Input: [0,1] table id, [2] N, [3] NPD size, [4] source count, [5]
// destination count, [6] switches, [7] copy_hooks_on when on, [8, 72) one
// byte per array pointer (cycled), then the objects' bytes (cycled).
constexpr size_t kModes = 8, kBytes = kModes + 64;
constexpr uint8_t kHooksOn = 1, kPackedOutside = 2, kGaps = 4;

struct Input {
  const uint8_t* data;
  size_t size;
  uint64_t next = 0;
  uint8_t at(size_t i) const { return i < size ? data[i] : 0; }
  // Object bytes, mixed with their position so that even an input without
  // them gives no two objects alike.
  unsigned operator()() {
    const uint64_t i = next++;
    const uint8_t b = size > kBytes ? data[kBytes + i % (size - kBytes)] : 0;
    return b ^ static_cast<uint8_t>(i * 167 + 13);
  }
};

std::string g_case;  // the current Input in words, for failures
std::vector<uintptr_t> g_hooks;

[[noreturn]] void fail(const char* what, const std::string& detail) {
  throw std::runtime_error(g_case + ": " + what + ": " + detail);
}
void check(const void* obj, const Bytes& image, const char* what) {
  const std::string diff = first_difference(obj, image);
  if (!diff.empty()) fail(what, diff);
}
// The platform calls since the last check.
void check_calls(const std::string& expected, const char* what) {
  const std::string trace = call_trace();
  if (trace != expected) fail(what, "platform calls " + trace);
  calls().clear();
}
uintptr_t address(const void* p) { return reinterpret_cast<uintptr_t>(p); }
uint32_t uid_of(const void* obj) { return get<uint32_t>(obj, ZIM_OBJ_UID_OFFSET); }

// Each call's arguments and the copy's uid when it ran.
int shm_hook(void* copy, zim_bool_t use_shm) {
  g_hooks.insert(g_hooks.end(), {address(copy), use_shm, uid_of(copy)});
  return 0;
}
int src_hook(void* copy, void* src) {
  g_hooks.insert(g_hooks.end(), {address(copy), address(src), uid_of(copy)});
  return 0;
}

using Buffers = std::vector<std::unique_ptr<unsigned char[]>>;

// Points src's array pointers (laid out as `own`) for a copy that reads the
// lengths of `reads`: at their own storage, null, at a buffer of their own or
// anywhere in src, by the input's byte for each; with kPackedOutside, all at
// one buffer in layout order (kGaps: a byte between arrays, so the whole is
// no longer one block). A pointer whose reads would leave src gets a buffer.
void place_source(unsigned char* src, const ObjectLayout& own, const ObjectLayout& reads, Input& in,
                  Buffers& owned) {
  const auto outside = [&](uint64_t n) {
    owned.emplace_back(new unsigned char[n]);
    for (uint64_t i = 0; i < n; ++i) owned.back()[i] = static_cast<unsigned char>(in());
    return owned.back().get();
  };
  if ((in.at(6) & kPackedOutside) != 0) {
    const uint64_t gap = (in.at(6) & kGaps) != 0 ? 1 : 0;
    uint64_t total = 0;
    for (const PlacedArray& p : reads.arrays) total += p.length * (p.field.elem_size + 1) + gap;
    unsigned char* at = outside(total);
    for (const PlacedArray& p : reads.arrays) {
      put(src, p.field.data_ptr, address(at));
      put(src, p.field.flag_ptr, address(at += p.length * p.field.elem_size));
      at += p.length + gap;
    }
    return;
  }
  size_t pointer = 0;
  for (size_t i = 0; i < own.arrays.size(); ++i) {
    const PlacedArray& o = own.arrays[i];
    const uint64_t length = reads.arrays[i].length;
    const uint64_t sites[2][3] = {{o.field.data_ptr, o.data_at, length * o.field.elem_size},
                                  {o.field.flag_ptr, o.flags_at, length}};
    for (const auto& [ptr_at, own_at, n] : sites) {
      const uint8_t mode = in.at(kModes + pointer++ % 64);
      const int how = mode % 4;  // 0 own storage, 1 null, 2 a buffer, 3 elsewhere in src
      if (how == 1 || (how == 0 && own_at == 0)) {
        put<uintptr_t>(src, ptr_at, 0);
        continue;
      }
      const uint64_t room = own.size - std::min(n, own.size);
      const uint64_t at = how == 3 ? (mode >> 2) * (room + 1) / 64 : own_at;
      put(src, ptr_at, address(how != 2 && at + n <= own.size ? src + at : outside(n)));
    }
  }
}

void run(const uint8_t* data, size_t size) {
  Input in{data, size};
  const RefType& t = reference()[(in.at(0) | in.at(1) << 8) % reference().size()];
  const auto& ops = cat(t).ops;
  const uint32_t npus = in.at(2) % 9, npd = in.at(3) % 41;
  const uint32_t src_count = t.count_field != 0 ? in.at(4) % 8 : 0;
  const uint32_t dst_count = t.count_field != 0 ? in.at(5) % 8 : 0;
  g_case = describe(t, {npus, npd, src_count}) + " dst_count=" + std::to_string(dst_count) +
           " switches=" + std::to_string(in.at(6));
  reset_platform(npus, npd);
  // Platform data in the obj_flags of pool blocks: the allocator may change bit 5 only.
  platform().pool_prepare = [](void* block, uint64_t) {
    static_cast<unsigned char*>(block)[ZIM_OBJ_FLAGS_OFFSET] = 0xff;
  };
  zim_table_props_t& props = table_props(t.id);
  props.copy_hooks_on = (in.at(6) & kHooksOn) != 0 ? in.at(7) | kHooksOn : 0;
  props.copy_shm_hook = shm_hook;
  props.copy_src_hook = src_hook;
  const ObjectLayout sl = expected_layout(t, npus, npd, src_count);
  const ObjectLayout dl = expected_layout(t, npus, npd, dst_count);
  const std::string id = std::to_string(t.id), npd_call = "npd(" + id + ")";
  const auto pool_call = [&](const ObjectLayout& l) {
    return " pool(" + id + "," + std::to_string(l.size) + ")";
  };

  // The source: the input's bytes, its count and size, laid out by the fix-up.
  std::unique_ptr<unsigned char[]> src_block(new unsigned char[sl.size]);
  unsigned char* src = src_block.get();
  for (uint64_t i = 0; i < sl.size; ++i) src[i] = static_cast<unsigned char>(in());
  if (t.count_field != 0) put(src, t.count_field, src_count);
  put(src, ZIM_OBJ_TOTAL_SIZE_OFFSET, static_cast<uint32_t>(sl.size));
  Bytes image = snapshot(src, sl.size);
  if (t.size_checked()) write_pointers(image.data(), sl, src);
  ops.fix_ptrs_from_base(src);
  check(src, image, "fix_ptrs_from_base");
  check_calls(npd_call, "fix_ptrs_from_base");
  // Both fix-ups check the layout against total_obj_size (never for fixed-size
  // and count-only types).
  const std::string size_report = t.size_checked() ? report_text(fix_ptrs_report(t)) : "none";
  for (uint32_t total : {static_cast<uint32_t>(sl.size - 1), 0u}) {
    put(src, ZIM_OBJ_TOTAL_SIZE_OFFSET, total);
    if (report_text(capture_assert([&] { ops.fix_ptrs(npd, src); })) != size_report ||
        report_text(capture_assert([&] { ops.fix_ptrs_from_base(src); })) != size_report) {
      fail("fix-up size check", "total_obj_size " + std::to_string(total));
    }
  }
  put(src, ZIM_OBJ_TOTAL_SIZE_OFFSET, static_cast<uint32_t>(sl.size));
  calls().clear();

  // The destination: a fresh heap object for its own count, then input bytes.
  uint32_t uid = platform().next_uid;
  void* dst = ops.srv_ctor(dst_count);
  check(dst, fresh_image(t, dl, dst, npd, dst_count, uid), "srv_ctor");
  check_calls(npd_call + " uid", "srv_ctor");
  void* pooled = ops.srv_ctor_with_shm(dst_count);
  check_calls(npd_call + pool_call(dl) + " uid", "srv_ctor_with_shm");
  image = fresh_image(t, dl, pooled, npd, dst_count, uid + 1);
  image[ZIM_OBJ_FLAGS_OFFSET] |= 0xdf;
  check(pooled, image, "srv_ctor_with_shm");
  // The destination, with noise, moves to an odd address (nothing may rely on
  // alignment) with noise behind it, where an operation that overran it
  // shows. Its pointers follow it, by the NPD size given and no other, and a
  // second fix-up changes nothing.
  scramble(dst, t, dl, in);
  Bytes block = snapshot(dst, dl.size);
  block.insert(block.begin(), static_cast<unsigned char>(in()));
  for (int i = 0; i < 64; ++i) block.push_back(static_cast<unsigned char>(in()));
  unsigned char* moved = block.data() + 1;
  put(moved, ZIM_OBJ_TOTAL_SIZE_OFFSET, static_cast<uint32_t>(dl.size));
  image.assign(moved, block.data() + block.size());
  if (t.size_checked()) write_pointers(image.data(), dl, moved);
  platform().npd_size.fill(npd + 1);
  for (const char* what : {"fix_ptrs", "second fix_ptrs"}) {
    ops.fix_ptrs(npd, moved);
    check(moved, image, what);
    check_calls("", what);
  }
  platform().npd_size.fill(npd);
  Buffers owned;
  place_source(src, sl, dl, in, owned);
  copy_data(image, t, src, dl);
  ops.read_dbobj(src, moved);
  check(moved, image, "read_dbobj");

  for (auto header_copy : {ops.write_dbobj_base, ops.read_dbobj_base}) {
    scramble(dst, t, dl, in);
    image = snapshot(dst, dl.size);
    copy_headers(image, t, src);
    header_copy(src, dst);
    check(dst, image, "header copy");
  }
  ops.clnt_copy_dtor(dst);

  // Copies read the source's own lengths.
  place_source(src, sl, sl, in, owned);
  for (zim_bool_t use_shm : {ZIM_FALSE, ZIM_TRUE}) {
    g_hooks.clear();
    calls().clear();
    uid = platform().next_uid;
    void* copy = use_shm ? ops.copy_ctor_with_shm(src) : ops.copy_ctor(src);
    const char* what = use_shm ? "copy_ctor_with_shm" : "copy_ctor";
    check_calls("props(" + id + ") " + npd_call + (use_shm ? pool_call(sl) : "") + " uid", what);
    if (in_pool(copy) != use_shm) fail(what, "allocated in the wrong place");
    image = fresh_image(t, sl, copy, npd, src_count, uid);
    copy_headers(image, t, src);
    copy_data(image, t, src, sl);
    check(copy, image, what);
    // The hooks see the finished copy, which carries src's uid.
    std::vector<uintptr_t> hooks;
    if (props.copy_hooks_on != 0) {
      hooks = {address(copy), use_shm, uid_of(src), address(copy), address(src), uid_of(src)};
    }
    if (g_hooks != hooks) fail("copy hooks", std::to_string(g_hooks.size()) + " arguments");
    if (!use_shm) ops.clnt_copy_dtor(copy);
  }
  ops.clnt_copy_dtor(nullptr);
}

}  // namespace

std::string run_operations(const uint8_t* data, size_t size) {
  try {
    run(data, size);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

}  // namespace zim_test
