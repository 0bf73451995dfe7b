// SPDX-License-Identifier: Apache-2.0
// Every operation of every type, the library's against the straightforward
// build's, in one process under callgrind: each case runs its operation once
// to warm it, zeroes the counters, runs it kCalls times and dumps the counts
// under its label ("TYPE COUNT OPERATION"). benchmarks/all_types_callgrind.sh
// runs it and turns the dumps into the table. Before any count, both builds
// of each fixture are checked to size, point, construct and copy alike.
//
// N = 4, NPD size 16; counts 0, 1, 8 and 100 for the counted types.
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_fixture.hpp"

namespace {

using zim_bench::Byte;
using zim_bench::Fixture;
using zim_bench::kNpdSize;
namespace cat = zim_tables::catalogue;

constexpr uint32_t kCounts[] = {0, 1, 8, 100};
constexpr int kCalls = 10;

template <typename T>
void keep(T value) {
  asm volatile("" : : "r"(value) : "memory");
}

// One call of each measured operation on a fixture. Counted: the type takes a
// count, so its sizing and constructors take one too.
template <bool Counted>
struct Runners {
  __attribute__((noinline)) static void run_get_obj_size(const Fixture& f) {
    if constexpr (Counted) keep(f.lib.get_obj_size(f.count));
    if constexpr (!Counted) keep(f.lib.get_obj_size_void());
  }
  __attribute__((noinline)) static void run_sf_get_obj_size(const Fixture& f) {
    if constexpr (Counted) keep(f.sf->get_obj_size(f.count));
    if constexpr (!Counted) keep(f.sf->get_obj_size_void());
  }
  __attribute__((noinline)) static void run_ctor_free(const Fixture& f) {
    void* obj = Counted ? f.lib.srv_ctor(f.count) : f.lib.srv_ctor_void();
    keep(obj);
    std::free(obj);
  }
  __attribute__((noinline)) static void run_sf_ctor_free(const Fixture& f) {
    void* obj = Counted ? f.sf->srv_ctor(f.count) : f.sf->srv_ctor_void();
    keep(obj);
    std::free(obj);
  }
};

__attribute__((noinline)) void run_fix_ptrs(const Fixture& f) { f.lib.fix_ptrs(kNpdSize, f.dst); }
__attribute__((noinline)) void run_sf_fix_ptrs(const Fixture& f) {
  f.sf->fix_ptrs(kNpdSize, f.dst);
}
__attribute__((noinline)) void run_read_dbobj(const Fixture& f) { f.lib.read_dbobj(f.src, f.dst); }
__attribute__((noinline)) void run_sf_read_dbobj(const Fixture& f) {
  f.sf->read_dbobj(f.src, f.dst);
}
__attribute__((noinline)) void run_write_dbobj_base(const Fixture& f) {
  f.lib.write_dbobj_base(f.src, f.dst);
}
__attribute__((noinline)) void run_sf_write_dbobj_base(const Fixture& f) {
  f.sf->write_dbobj_base(f.src, f.dst);
}
__attribute__((noinline)) void run_copy_release(const Fixture& f) {
  void* copy = f.lib.copy_ctor(f.src);
  keep(copy);
  f.lib.clnt_copy_dtor(copy);
}
__attribute__((noinline)) void run_sf_copy_release(const Fixture& f) {
  void* copy = f.sf->copy_ctor(f.src);
  keep(copy);
  f.sf->clnt_copy_dtor(copy);
}
// The baselines of the ratios to the memory's own limits.
__attribute__((noinline)) void run_memcpy_limit(const Fixture& f) {
  std::memcpy(f.scratch, f.src, f.limit);
}
__attribute__((noinline)) void run_calloc_memcpy_free(const Fixture& f) {
  void* copy = std::calloc(1, f.size);
  std::memcpy(copy, f.src, f.size);
  keep(copy);
  std::free(copy);
}
__attribute__((noinline)) void run_calloc_free(const Fixture& f) {
  void* obj = std::calloc(1, f.size);
  keep(obj);
  std::free(obj);
}
// What no constructor can avoid: the NPD size, calloc, a uid and, in a type
// with arrays or a size check, the size, the count and the fix-up.
__attribute__((noinline)) void run_ctor_floor_free(const Fixture& f) {
  const uint32_t npd_size = qor_npd_get_table_size(f.type->table_id);
  auto* obj = static_cast<Byte*>(std::calloc(1, f.size));
  keep(qor_getuid());
  if (f.type->size_check) {
    std::memcpy(obj + ZIM_OBJ_TOTAL_SIZE_OFFSET, &f.size, sizeof f.size);
    if (f.type->takes_count()) std::memcpy(obj + f.type->count_field, &f.count, sizeof f.count);
    f.lib.fix_ptrs(npd_size, obj);
  }
  keep(obj);
  std::free(obj);
}

using Runner = void (*)(const Fixture&);
struct Case {
  const char* name;
  Runner counted, uncounted;
};
template <Runner R>
constexpr Case both(const char* name) {
  return {name, R, R};
}
const Case kCases[] = {
    {"get_obj_size", Runners<true>::run_get_obj_size, Runners<false>::run_get_obj_size},
    {"sf_get_obj_size", Runners<true>::run_sf_get_obj_size, Runners<false>::run_sf_get_obj_size},
    {"ctor_free", Runners<true>::run_ctor_free, Runners<false>::run_ctor_free},
    {"sf_ctor_free", Runners<true>::run_sf_ctor_free, Runners<false>::run_sf_ctor_free},
    both<run_fix_ptrs>("fix_ptrs"),
    both<run_sf_fix_ptrs>("sf_fix_ptrs"),
    both<run_read_dbobj>("read_dbobj"),
    both<run_sf_read_dbobj>("sf_read_dbobj"),
    both<run_write_dbobj_base>("write_dbobj_base"),
    both<run_sf_write_dbobj_base>("sf_write_dbobj_base"),
    both<run_copy_release>("copy_release"),
    both<run_sf_copy_release>("sf_copy_release"),
    both<run_memcpy_limit>("memcpy_limit"),
    both<run_calloc_memcpy_free>("calloc_memcpy_free"),
    both<run_calloc_free>("calloc_free"),
    both<run_ctor_floor_free>("ctor_floor_free"),
};

// The bytes of an object with every array pointer made an offset from the
// object, so that two objects at different addresses compare.
std::vector<Byte> relative(const cat::TableType& t, const void* obj) {
  uint32_t size;
  std::memcpy(&size, static_cast<const Byte*>(obj) + ZIM_OBJ_TOTAL_SIZE_OFFSET, sizeof size);
  std::vector<Byte> bytes(static_cast<const Byte*>(obj), static_cast<const Byte*>(obj) + size);
  for (uint32_t i = 0; i < t.field_count; ++i) {
    if (t.fields[i].kind == cat::ItemKind::kInline) continue;
    for (const uint32_t slot : {t.fields[i].offset, t.fields[i].flag_at}) {
      uintptr_t p;
      std::memcpy(&p, bytes.data() + slot, sizeof p);
      if (p != 0) p -= reinterpret_cast<uintptr_t>(obj);
      std::memcpy(bytes.data() + slot, &p, sizeof p);
    }
  }
  return bytes;
}

void expect_alike(const Fixture& f, const void* ours, const void* theirs, const char* what) {
  std::vector<Byte> a = relative(*f.type, ours), b = relative(*f.type, theirs);
  // Each constructor takes a uid of its own.
  if (std::strcmp(what, "srv_ctor") == 0) {
    std::memset(a.data() + ZIM_OBJ_UID_OFFSET, 0, 4);
    std::memset(b.data() + ZIM_OBJ_UID_OFFSET, 0, 4);
  }
  if (a == b) return;
  std::fprintf(stderr, "zim_tables_all_types_bench: %s with count %u: %s differs\n", f.type->name,
               f.count, what);
  std::exit(1);
}

// Both builds construct, copy the header and copy the whole object alike.
// (zim_bench::verify holds the data copy, the fix-up and the sizing.)
void verify_alike(const Fixture& f) {
  const bool counted = f.type->takes_count();
  void* ours = counted ? f.lib.srv_ctor(f.count) : f.lib.srv_ctor_void();
  void* theirs = counted ? f.sf->srv_ctor(f.count) : f.sf->srv_ctor_void();
  expect_alike(f, ours, theirs, "srv_ctor");
  f.lib.write_dbobj_base(f.src, ours);
  f.sf->write_dbobj_base(f.src, theirs);
  expect_alike(f, ours, theirs, "write_dbobj_base");
  std::free(ours);
  std::free(theirs);
  ours = f.lib.copy_ctor(f.src);
  theirs = f.sf->copy_ctor(f.src);
  expect_alike(f, ours, theirs, "copy_ctor");
  expect_alike(f, ours, f.src, "a copy against its source");
  f.lib.clnt_copy_dtor(ours);
  f.sf->clnt_copy_dtor(theirs);
}

void measure(const Fixture& f, const Case& c) {
  const Runner run = f.type->takes_count() ? c.counted : c.uncounted;
  run(f);  // lazy binding and first touches stay out of the count
  CALLGRIND_ZERO_STATS;
  for (int i = 0; i < kCalls; ++i) run(f);
  const std::string label = std::string(f.type->name) + " " +
                            (f.type->takes_count() ? std::to_string(f.count) : "-") + " " + c.name +
                            " " + std::to_string(kCalls);
  CALLGRIND_DUMP_STATS_AT(label.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  setenv("ZIM_MAX_NUM_NPUS", "4", 1);
  setenv("ZIM_NPD_SIZE", std::to_string(kNpdSize).c_str(), 1);
  unsetenv("ZIM_NPD_SIZES");
  // Optional: the types to measure, else every type.
  std::vector<const char*> names(argv + 1, argv + argc);
  if (names.empty()) {
    for (size_t i = 0; i < cat::type_count; ++i) names.push_back(cat::types[i].name);
  }
  for (const char* name : names) {
    const cat::TableType* type = cat::find(name);
    const size_t counts = type != nullptr && type->takes_count() ? std::size(kCounts) : 1;
    for (size_t k = 0; k < counts; ++k) {
      const Fixture f = zim_bench::make_fixture(name, false, kCounts[k]);
      zim_bench::verify(f);
      verify_alike(f);
      for (const Case& c : kCases) measure(f, c);
    }
  }
  return 0;
}
