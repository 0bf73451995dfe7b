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

#include <algorithm>
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

// The library's operations (Sf false) or the straightforward build's (Sf
// true): both records name their operations alike.
template <bool Sf>
const auto& ops_of(const Fixture& f) {
  if constexpr (Sf) {
    return *f.sf;
  } else {
    return f.lib;
  }
}
// A type that takes a count (Counted) has sizing and constructors with one.
template <bool Counted, bool Sf>
void* construct(const Fixture& f) {
  if constexpr (Counted) {
    return ops_of<Sf>(f).srv_ctor(f.count);
  } else {
    return ops_of<Sf>(f).srv_ctor_void();
  }
}

// One call of each measured operation on a fixture, by either build.
template <bool Counted, bool Sf>
__attribute__((noinline)) void run_get_obj_size(const Fixture& f) {
  if constexpr (Counted) {
    keep(ops_of<Sf>(f).get_obj_size(f.count));
  } else {
    keep(ops_of<Sf>(f).get_obj_size_void());
  }
}
template <bool Counted, bool Sf>
__attribute__((noinline)) void run_ctor_free(const Fixture& f) {
  void* obj = construct<Counted, Sf>(f);
  keep(obj);
  std::free(obj);
}
template <bool Sf>
__attribute__((noinline)) void run_fix_ptrs(const Fixture& f) {
  ops_of<Sf>(f).fix_ptrs(kNpdSize, f.dst);
}
template <bool Sf>
__attribute__((noinline)) void run_read_dbobj(const Fixture& f) {
  ops_of<Sf>(f).read_dbobj(f.src, f.dst);
}
template <bool Sf>
__attribute__((noinline)) void run_write_dbobj_base(const Fixture& f) {
  ops_of<Sf>(f).write_dbobj_base(f.src, f.dst);
}
template <bool Sf>
__attribute__((noinline)) void run_copy_release(const Fixture& f) {
  void* copy = ops_of<Sf>(f).copy_ctor(f.src);
  keep(copy);
  ops_of<Sf>(f).clnt_copy_dtor(copy);
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
// The floors of a constructor, a data copy and a copy: the straightforward
// build's per-type functions that do only what every such operation of the
// type must (benchmarks/floor_gen.cpp).
template <bool Counted>
__attribute__((noinline)) void run_ctor_floor_free(const Fixture& f) {
  void* obj = Counted ? f.sf->ctor_floor(f.count) : f.sf->ctor_floor_void();
  keep(obj);
  std::free(obj);
}

__attribute__((noinline)) void run_read_floor(const Fixture& f) { f.sf->read_floor(f.src, f.dst); }

__attribute__((noinline)) void run_copy_floor_release(const Fixture& f) {
  void* copy = f.sf->copy_floor(f.src);
  keep(copy);
  f.sf->clnt_copy_dtor(copy);
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
    {"get_obj_size", run_get_obj_size<true, false>, run_get_obj_size<false, false>},
    {"sf_get_obj_size", run_get_obj_size<true, true>, run_get_obj_size<false, true>},
    {"ctor_free", run_ctor_free<true, false>, run_ctor_free<false, false>},
    {"sf_ctor_free", run_ctor_free<true, true>, run_ctor_free<false, true>},
    both<run_fix_ptrs<false>>("fix_ptrs"),
    both<run_fix_ptrs<true>>("sf_fix_ptrs"),
    both<run_read_dbobj<false>>("read_dbobj"),
    both<run_read_dbobj<true>>("sf_read_dbobj"),
    both<run_write_dbobj_base<false>>("write_dbobj_base"),
    both<run_write_dbobj_base<true>>("sf_write_dbobj_base"),
    both<run_copy_release<false>>("copy_release"),
    both<run_copy_release<true>>("sf_copy_release"),
    both<run_memcpy_limit>("memcpy_limit"),
    both<run_calloc_memcpy_free>("calloc_memcpy_free"),
    both<run_calloc_free>("calloc_free"),
    {"ctor_floor_free", run_ctor_floor_free<true>, run_ctor_floor_free<false>},
    both<run_copy_floor_release>("copy_floor_release"),
    both<run_read_floor>("read_floor"),
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
  if (relative(*f.type, ours) == relative(*f.type, theirs)) return;
  std::fprintf(stderr, "zim_tables_all_types_bench: %s with count %u: %s differs\n", f.type->name,
               f.count, what);
  std::exit(1);
}

// Both builds construct, copy the header and copy the whole object alike.
// (zim_bench::verify holds the data copy, the fix-up and the sizing.)
template <bool Counted>
void verify_alike(const Fixture& f) {
  auto* ours = static_cast<Byte*>(construct<Counted, false>(f));
  auto* theirs = static_cast<Byte*>(construct<Counted, true>(f));
  auto* floor = static_cast<Byte*>(Counted ? f.sf->ctor_floor(f.count) : f.sf->ctor_floor_void());
  // Each constructor takes a uid of its own.
  std::memcpy(theirs + ZIM_OBJ_UID_OFFSET, ours + ZIM_OBJ_UID_OFFSET, 4);
  std::memcpy(floor + ZIM_OBJ_UID_OFFSET, ours + ZIM_OBJ_UID_OFFSET, 4);
  expect_alike(f, ours, theirs, "srv_ctor");
  expect_alike(f, ours, floor, "the constructor's floor");
  std::free(floor);
  f.lib.write_dbobj_base(f.src, ours);
  f.sf->write_dbobj_base(f.src, theirs);
  expect_alike(f, ours, theirs, "write_dbobj_base");
  std::free(ours);
  std::free(theirs);
  void* our_copy = f.lib.copy_ctor(f.src);
  void* their_copy = f.sf->copy_ctor(f.src);
  void* floor_copy = f.sf->copy_floor(f.src);
  expect_alike(f, our_copy, their_copy, "copy_ctor");
  expect_alike(f, our_copy, f.src, "a copy against its source");
  expect_alike(f, our_copy, floor_copy, "the copy's floor");
  f.lib.clnt_copy_dtor(our_copy);
  f.sf->clnt_copy_dtor(their_copy);
  f.sf->clnt_copy_dtor(floor_copy);
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
      const Fixture f = zim_bench::make_fixture(name, true, kCounts[k]);
      zim_bench::verify(f);
      if (type->takes_count()) {
        verify_alike<true>(f);
      } else {
        verify_alike<false>(f);
      }
      for (const Case& c : kCases) measure(f, c);
    }
  }
  return 0;
}
