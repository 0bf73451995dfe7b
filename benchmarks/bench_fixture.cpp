// SPDX-License-Identifier: Apache-2.0
// The benchmark's objects and the check of what each operation measured does.
#include "bench_fixture.hpp"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace zim_bench {
namespace {

template <typename F>
void resolve(F& fn, const std::string& name) {
  void* sym = dlsym(RTLD_DEFAULT, name.c_str());
  if (sym == nullptr) {
    std::fprintf(stderr, "zim_tables_bench: no symbol %s\n", name.c_str());
    std::exit(2);
  }
  fn = reinterpret_cast<F>(sym);
}

LibraryOps resolve_ops(const cat::TableType& t) {
  const std::string n = t.name;
  LibraryOps ops{};
  resolve(ops.read_dbobj, "qor_" + n + "_read_dbobj");
  resolve(ops.fix_ptrs, "qor_" + n + "_fix_ptrs");
  resolve(ops.write_dbobj_base, "qor_" + n + "_write_dbobj_base");
  if (t.takes_count()) {
    resolve(ops.get_obj_size, "qor_" + n + "_get_obj_size");
    resolve(ops.srv_ctor, "qor_srv_" + n + "_ctor");
  } else {
    resolve(ops.get_obj_size_void, "qor_" + n + "_get_obj_size");
    resolve(ops.srv_ctor_void, "qor_srv_" + n + "_ctor");
  }
  resolve(ops.copy_ctor, "zim_" + n + "_copy_ctor");
  resolve(ops.clnt_copy_dtor, "zim_" + n + "_clnt_copy_dtor");
  ops.snapshot = t.snapshot;
  return ops;
}

uint64_t load_u64(const void* at) {
  uint64_t v;
  std::memcpy(&v, at, sizeof v);
  return v;
}
Byte* array_at(const void* obj, uint32_t field) {
  return reinterpret_cast<Byte*>(load_u64(static_cast<const Byte*>(obj) + field));
}
uint32_t length_of(const cat::FieldItem& f, uint32_t npus, uint32_t count) {
  return f.kind == cat::ItemKind::kPerNpuArray ? npus : count;
}

// Where the heap puts an object changes its times: olist's read_dbobj takes
// three times as long when the destination's arrays straddle a page. So the
// timed objects are moved to the start of page-aligned blocks and fixed up
// there, as any moved object is. The counted runs (--loop) keep the objects
// where the constructor put them: moving them changes the heap's state and
// with it what calloc and free cost, and the instruction counts do not
// depend on placement.
void* page_block(size_t bytes) {
  constexpr size_t kPage = 4096;
  void* block = std::aligned_alloc(kPage, (bytes + kPage - 1) / kPage * kPage);
  std::memset(block, 0, bytes);
  return block;
}
void* placed(const cat::TableType* type, void* obj) {
  uint32_t size;
  std::memcpy(&size, static_cast<const Byte*>(obj) + ZIM_OBJ_TOTAL_SIZE_OFFSET, sizeof size);
  void* moved = page_block(size);
  std::memcpy(moved, obj, size);
  std::free(obj);
  type->ops.fix_ptrs(kNpdSize, moved);
  return moved;
}

}  // namespace

Fixture make_fixture(const char* name, bool page_aligned, uint32_t count_asked) {
  const cat::TableType* type = cat::find(name);
  const sf_operations* sf = sf_find(name);
  if (type == nullptr || sf == nullptr) {
    std::fprintf(stderr, "zim_tables_bench: no type %s\n", name);
    std::exit(2);
  }
  const uint32_t count = type->takes_count() ? count_asked : 0;
  const uint32_t npus = hulcon_config_get_max_num_npus();
  void* src = type->ops.srv_ctor(count);
  void* dst = type->ops.srv_ctor(count);
  if (page_aligned) {
    src = placed(type, src);
    dst = placed(type, dst);
  }
  auto* s = static_cast<Byte*>(src);
  uint32_t limit = 0;
  for (uint32_t i = 0; i < type->field_count; ++i) {
    const cat::FieldItem& f = type->fields[i];
    if (f.kind == cat::ItemKind::kInline) {
      for (uint32_t k = 0; k < f.width * f.run_length; ++k)
        s[f.offset + k] = static_cast<Byte>(k + i);
      std::memset(s + f.flag_at, 1, f.run_length);
      limit += (f.width + 1) * f.run_length;
    } else {
      const uint32_t n = length_of(f, npus, count);
      for (uint32_t k = 0; k < n * f.width; ++k) array_at(src, f.offset)[k] = static_cast<Byte>(k);
      std::memset(array_at(src, f.flag_at), 1, n);
      limit += n * (f.width + 1);
    }
  }
  uint32_t size;
  std::memcpy(&size, s + ZIM_OBJ_TOTAL_SIZE_OFFSET, sizeof size);
  return {type,
          resolve_ops(*type),
          sf,
          count,
          src,
          dst,
          size,
          limit,
          page_aligned ? page_block(limit) : std::calloc(1, limit)};
}

namespace {

// A copy or a fix-up that is fast but wrong fails the run instead of winning it.
void expect(bool ok, const Fixture& f, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "zim_tables_bench: %s: %s differs\n", f.type->name, what);
  std::exit(1);
}
void verify_copy(const Fixture& f, const char* what) {
  const auto* s = static_cast<const Byte*>(f.src);
  const auto* d = static_cast<const Byte*>(f.dst);
  const uint32_t npus = hulcon_config_get_max_num_npus();
  for (uint32_t i = 0; i < f.type->field_count; ++i) {
    const cat::FieldItem& item = f.type->fields[i];
    if (item.kind == cat::ItemKind::kInline) {
      expect(std::memcmp(s + item.offset, d + item.offset, item.width * item.run_length) == 0 &&
                 std::memcmp(s + item.flag_at, d + item.flag_at, item.run_length) == 0,
             f, what);
    } else {
      const uint32_t n = length_of(item, npus, f.count);
      expect(n == 0 || (std::memcmp(array_at(s, item.offset), array_at(d, item.offset),
                                    n * item.width) == 0 &&
                        std::memcmp(array_at(s, item.flag_at), array_at(d, item.flag_at), n) == 0),
             f, what);
    }
  }
}
void clear_data(const Fixture& f) {
  auto* d = static_cast<Byte*>(f.dst);
  const uint32_t npus = hulcon_config_get_max_num_npus();
  for (uint32_t i = 0; i < f.type->field_count; ++i) {
    const cat::FieldItem& item = f.type->fields[i];
    if (item.kind == cat::ItemKind::kInline) {
      std::memset(d + item.offset, 0, item.width * item.run_length);
      std::memset(d + item.flag_at, 0, item.run_length);
    } else if (const uint32_t n = length_of(item, npus, f.count); n != 0) {
      std::memset(array_at(d, item.offset), 0, n * item.width);
      std::memset(array_at(d, item.flag_at), 0, n);
    }
  }
}
}  // namespace

void verify(const Fixture& f) {
  f.type->ops.read_dbobj(f.src, f.dst);
  verify_copy(f, "read_dbobj");
  clear_data(f);
  f.sf->read_dbobj(f.src, f.dst);
  verify_copy(f, "the straightforward read_dbobj");
  std::vector<Byte> ours(f.type->fixed_size);
  std::memcpy(ours.data(), f.dst, ours.size());
  f.type->ops.fix_ptrs(kNpdSize, f.dst);
  f.sf->fix_ptrs(kNpdSize, f.dst);
  expect(std::memcmp(ours.data(), f.dst, ours.size()) == 0, f, "the straightforward fix-up");
  const uint32_t sf_size =
      f.type->takes_count() ? f.sf->get_obj_size(f.count) : f.sf->get_obj_size_void();
  expect(f.type->ops.get_obj_size(f.count) == f.size && sf_size == f.size, f, "get_obj_size");
  verify_snapshot(f, f.src, "snapshot");
}

void verify_snapshot(const Fixture& f, void* obj, const char* what) {
  Fixture snap = f;
  snap.dst = f.lib.snapshot(obj);
  expect(snap.dst != nullptr, f, what);
  verify_copy(snap, what);
  std::free(snap.dst);
}

}  // namespace zim_bench
