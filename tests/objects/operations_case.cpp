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

// One input's case: the type, the platform's shape and both objects' layouts.
struct Case {
  Input& in;
  const RefType& t;
  const zim_tables::catalogue::Operations& ops;
  uint32_t npus, npd, src_count, dst_count;
  ObjectLayout sl, dl;
  std::string id() const { return std::to_string(t.id); }
  std::string npd_call() const { return "npd(" + id() + ")"; }
  std::string pool_call(const ObjectLayout& l) const {
    return " pool(" + id() + "," + std::to_string(l.size) + ")";
  }
};

Case make_case(Input& in) {
  const RefType& t = reference()[(in.at(0) | in.at(1) << 8) % reference().size()];
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
  return {in,        t,   cat(t).ops,
          npus,      npd, src_count,
          dst_count, sl,  expected_layout(t, npus, npd, dst_count)};
}

// The source: the input's bytes, its count and size, laid out by the fix-up.
void fix_up_source(const Case& c, unsigned char* src) {
  const RefType& t = c.t;
  for (uint64_t i = 0; i < c.sl.size; ++i) src[i] = static_cast<unsigned char>(c.in());
  if (t.count_field != 0) put(src, t.count_field, c.src_count);
  put(src, ZIM_OBJ_TOTAL_SIZE_OFFSET, static_cast<uint32_t>(c.sl.size));
  Bytes image = snapshot(src, c.sl.size);
  if (t.size_checked()) write_pointers(image.data(), c.sl, src);
  c.ops.fix_ptrs_from_base(src);
  check(src, image, "fix_ptrs_from_base");
  check_calls(c.npd_call(), "fix_ptrs_from_base");
  // Both fix-ups check the layout against total_obj_size (never for fixed-size
  // and count-only types).
  const std::string size_report = t.size_checked() ? report_text(fix_ptrs_report(t)) : "none";
  for (uint32_t total : {static_cast<uint32_t>(c.sl.size - 1), 0u}) {
    put(src, ZIM_OBJ_TOTAL_SIZE_OFFSET, total);
    if (report_text(capture_assert([&] { c.ops.fix_ptrs(c.npd, src); })) != size_report ||
        report_text(capture_assert([&] { c.ops.fix_ptrs_from_base(src); })) != size_report) {
      fail("fix-up size check", "total_obj_size " + std::to_string(total));
    }
  }
  put(src, ZIM_OBJ_TOTAL_SIZE_OFFSET, static_cast<uint32_t>(c.sl.size));
  calls().clear();
}

// The destination: a fresh heap object for its own count, then input bytes;
// the pool constructor beside it. Returns the heap object.
void* construct_destination(const Case& c) {
  const uint32_t uid = platform().next_uid;
  void* dst = c.ops.srv_ctor(c.dst_count);
  check(dst, fresh_image(c.t, c.dl, dst, c.npd, c.dst_count, uid), "srv_ctor");
  check_calls(c.npd_call() + " uid", "srv_ctor");
  void* pooled = c.ops.srv_ctor_with_shm(c.dst_count);
  check_calls(c.npd_call() + c.pool_call(c.dl) + " uid", "srv_ctor_with_shm");
  Bytes image = fresh_image(c.t, c.dl, pooled, c.npd, c.dst_count, uid + 1);
  image[ZIM_OBJ_FLAGS_OFFSET] |= 0xdf;
  check(pooled, image, "srv_ctor_with_shm");
  return dst;
}

// The destination, with noise, moves to an odd address (nothing may rely on
// alignment) with noise behind it, where an operation that overran it shows.
// Its pointers follow it, by the NPD size given and no other, and a second
// fix-up changes nothing; then the data and header copies into it.
void copy_into_moved(const Case& c, void* dst, unsigned char* src, Buffers& owned) {
  const RefType& t = c.t;
  scramble(dst, t, c.dl, c.in);
  Bytes block = snapshot(dst, c.dl.size);
  block.insert(block.begin(), static_cast<unsigned char>(c.in()));
  for (int i = 0; i < 64; ++i) block.push_back(static_cast<unsigned char>(c.in()));
  unsigned char* moved = block.data() + 1;
  put(moved, ZIM_OBJ_TOTAL_SIZE_OFFSET, static_cast<uint32_t>(c.dl.size));
  Bytes image(moved, block.data() + block.size());
  if (t.size_checked()) write_pointers(image.data(), c.dl, moved);
  platform().npd_size.fill(c.npd + 1);
  for (const char* what : {"fix_ptrs", "second fix_ptrs"}) {
    c.ops.fix_ptrs(c.npd, moved);
    check(moved, image, what);
    check_calls("", what);
  }
  platform().npd_size.fill(c.npd);
  place_source(src, c.sl, c.dl, c.in, owned);
  copy_data(image, t, src, c.dl);
  c.ops.read_dbobj(src, moved);
  check(moved, image, "read_dbobj");

  for (auto header_copy : {c.ops.write_dbobj_base, c.ops.read_dbobj_base}) {
    scramble(dst, t, c.dl, c.in);
    image = snapshot(dst, c.dl.size);
    copy_headers(image, t, src);
    header_copy(src, dst);
    check(dst, image, "header copy");
  }
}

// Copies read the source's own lengths.
void copy_source(const Case& c, unsigned char* src, Buffers& owned) {
  place_source(src, c.sl, c.sl, c.in, owned);
  for (zim_bool_t use_shm : {ZIM_FALSE, ZIM_TRUE}) {
    g_hooks.clear();
    calls().clear();
    const uint32_t uid = platform().next_uid;
    void* copy = use_shm ? c.ops.copy_ctor_with_shm(src) : c.ops.copy_ctor(src);
    const char* what = use_shm ? "copy_ctor_with_shm" : "copy_ctor";
    check_calls(
        "props(" + c.id() + ") " + c.npd_call() + (use_shm ? c.pool_call(c.sl) : "") + " uid",
        what);
    if (in_pool(copy) != use_shm) fail(what, "allocated in the wrong place");
    Bytes image = fresh_image(c.t, c.sl, copy, c.npd, c.src_count, uid);
    copy_headers(image, c.t, src);
    copy_data(image, c.t, src, c.sl);
    check(copy, image, what);
    // The hooks see the finished copy, which carries src's uid.
    std::vector<uintptr_t> hooks;
    if (table_props(c.t.id).copy_hooks_on != 0) {
      hooks = {address(copy), use_shm, uid_of(src), address(copy), address(src), uid_of(src)};
    }
    if (g_hooks != hooks) fail("copy hooks", std::to_string(g_hooks.size()) + " arguments");
    if (!use_shm) c.ops.clnt_copy_dtor(copy);
  }
}

void run(const uint8_t* data, size_t size) {
  Input in{data, size};
  const Case c = make_case(in);
  std::unique_ptr<unsigned char[]> src_block(new unsigned char[c.sl.size]);
  fix_up_source(c, src_block.get());
  void* dst = construct_destination(c);
  Buffers owned;
  copy_into_moved(c, dst, src_block.get(), owned);
  c.ops.clnt_copy_dtor(dst);
  copy_source(c, src_block.get(), owned);
  c.ops.clnt_copy_dtor(nullptr);
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
