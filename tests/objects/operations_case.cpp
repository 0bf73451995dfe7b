// The operations of every table type on objects that the input describes: N,
// the NPD size, source and destination counts, the objects' bytes and where
// the source's array pointers lead (their own storage, null, an exactly sized
// buffer of the harness, elsewhere in the source). Every object and buffer is
// allocated at its exact size, so the sanitizers see any access past one (the
// read_dbobj destination has noise behind it instead), and every byte an
// operation leaves must equal the object model's image. The operations fuzz
// target runs it on its inputs, the object tests on its seeds for every type.
#include <algorithm>
#include <memory>
#include <stdexcept>

#include "object_model.hpp"

namespace zim_test {
namespace {

// Input: [0,1] table id, [2] N, [3] NPD size, [4] source count, [5]
// destination count, [6] switches, [7] unused, [8, 72) one byte per
// array pointer (cycled), then the objects' bytes (cycled).
constexpr size_t kModes = 8, kBytes = kModes + 64;
constexpr uint8_t kHooksOn = 1, kPackedOutside = 2, kGaps = 4;

struct input {
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

std::string g_case;  // the current input in words, for failures
std::vector<uintptr_t> g_hooks;

[[noreturn]] void fail(const char* what, const std::string& detail) {
  throw std::runtime_error(g_case + ": " + what + ": " + detail);
}
void check(const void* obj, const bytes& image, const char* what) {
  const std::string diff = first_difference(obj, image);
  if (!diff.empty()) fail(what, diff);
}
uintptr_t address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

int shm_hook(void* copy, zim_bool_t use_shm) {
  g_hooks.insert(g_hooks.end(), {address(copy), use_shm});
  return 0;
}
int src_hook(void* copy, void* src) {
  g_hooks.insert(g_hooks.end(), {address(copy), address(src)});
  return 0;
}

using buffers = std::vector<std::unique_ptr<unsigned char[]>>;

// Points src's array pointers (laid out as `own`) for a copy that reads the
// lengths of `reads`: at their own storage, null, at a buffer of their own,
// or anywhere in src, as the input's byte for each pointer says; with
// kPackedOutside, all at one buffer, packed in layout order (with kGaps, a
// byte between arrays: each array's flags still follow its storage, but the
// whole is no longer one block). A pointer whose reads would leave src goes to
// a buffer of its own.
void place_source(unsigned char* src, const layout& own, const layout& reads, input& in,
                  buffers& owned) {
  const auto outside = [&](uint64_t n) {
    owned.emplace_back(new unsigned char[n]);
    for (uint64_t i = 0; i < n; ++i) owned.back()[i] = static_cast<unsigned char>(in());
    return owned.back().get();
  };
  if ((in.at(6) & kPackedOutside) != 0) {
    const uint64_t gap = (in.at(6) & kGaps) != 0 ? 1 : 0;
    uint64_t total = 0;
    for (const placed_array& p : reads.arrays) total += p.length * (p.field.elem_size + 1) + gap;
    unsigned char* at = outside(total);
    for (const placed_array& p : reads.arrays) {
      put(src, p.field.data_ptr, address(at));
      put(src, p.field.flag_ptr, address(at += p.length * p.field.elem_size));
      at += p.length + gap;
    }
    return;
  }
  size_t pointer = 0;
  for (size_t i = 0; i < own.arrays.size(); ++i) {
    const placed_array& o = own.arrays[i];
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
  input in{data, size};
  const ref_type& t = reference()[(in.at(0) | in.at(1) << 8) % reference().size()];
  const auto& ops = cat(t).ops;
  const uint32_t npus = in.at(2) % 9, npd = in.at(3) % 41;
  const uint32_t src_count = t.count_field != 0 ? in.at(4) % 8 : 0;
  const uint32_t dst_count = t.count_field != 0 ? in.at(5) % 8 : 0;
  g_case = describe(t, {npus, npd, src_count}) + " dst_count=" + std::to_string(dst_count) +
           " switches=" + std::to_string(in.at(6));
  reset_platform(npus, npd);
  platform().record_calls = false;
  // Platform data in the obj_flags of pool blocks: the allocator may change bit 5 only.
  platform().pool_prepare = [](void* block, uint64_t) {
    static_cast<unsigned char*>(block)[ZIM_OBJ_FLAGS_OFFSET] = 0xff;
  };
  zim_table_props_t& props = table_props(t.id);
  props.copy_hooks_on = in.at(6) & kHooksOn;
  props.copy_shm_hook = shm_hook;
  props.copy_src_hook = src_hook;
  const layout sl = expected_layout(t, npus, npd, src_count);
  const layout dl = expected_layout(t, npus, npd, dst_count);

  // The source: the input's bytes, its count and size, laid out by the fix-up.
  std::unique_ptr<unsigned char[]> src_block(new unsigned char[sl.size]);
  unsigned char* src = src_block.get();
  for (uint64_t i = 0; i < sl.size; ++i) src[i] = static_cast<unsigned char>(in());
  if (t.count_field != 0) put(src, t.count_field, src_count);
  put(src, ZIM_OBJ_TOTAL_SIZE_OFFSET, static_cast<uint32_t>(sl.size));
  bytes image = snapshot(src, sl.size);
  if (t.size_checked()) write_pointers(image.data(), sl, src);
  ops.fix_ptrs_from_base(src);
  check(src, image, "fix_ptrs_from_base");

  // The destination: a fresh heap object for its own count, then input bytes.
  uint32_t uid = platform().next_uid;
  void* dst = ops.srv_ctor(dst_count);
  check(dst, fresh_image(t, dl, dst, npd, dst_count, uid), "srv_ctor");
  void* pooled = ops.srv_ctor_with_shm(dst_count);
  image = fresh_image(t, dl, pooled, npd, dst_count, uid + 1);
  image[ZIM_OBJ_FLAGS_OFFSET] |= 0xdf;
  check(pooled, image, "srv_ctor_with_shm");
  // The destination, with noise, moves to a block with noise behind it, where
  // an operation that overran it shows; its pointers follow it.
  scramble(dst, t, dl, in);
  bytes moved = snapshot(dst, dl.size);
  for (int i = 0; i < 64; ++i) moved.push_back(static_cast<unsigned char>(in()));
  put(moved.data(), ZIM_OBJ_TOTAL_SIZE_OFFSET, static_cast<uint32_t>(dl.size));
  image = moved;
  if (t.size_checked()) write_pointers(image.data(), dl, moved.data());
  ops.fix_ptrs(npd, moved.data());
  check(moved.data(), image, "fix_ptrs");
  buffers owned;
  place_source(src, sl, dl, in, owned);
  copy_data(image, t, src, dl);
  ops.read_dbobj(src, moved.data());
  check(moved.data(), image, "read_dbobj");

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
    uid = platform().next_uid;
    void* copy = use_shm ? ops.copy_ctor_with_shm(src) : ops.copy_ctor(src);
    image = fresh_image(t, sl, copy, npd, src_count, uid);
    copy_headers(image, t, src);
    copy_data(image, t, src, sl);
    check(copy, image, use_shm ? "copy_ctor_with_shm" : "copy_ctor");
    std::vector<uintptr_t> hooks;
    if (props.copy_hooks_on != 0) hooks = {address(copy), use_shm, address(copy), address(src)};
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
