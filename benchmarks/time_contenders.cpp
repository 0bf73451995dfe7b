// SPDX-License-Identifier: Apache-2.0
// The timed loops. The library and the straightforward build run through the
// same loop of reps indirect calls (the library's exported symbols, the
// straightforward build's table), so both pay the same call and loop around
// the operation.
#include "time_contenders.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zim_bench {
namespace {

template <typename T>
inline void keep(T value) {
  asm volatile("" : : "r"(value) : "memory");
}

template <bool Counted>
__attribute__((noinline)) void loop_get_obj_size(const Timed& t, const Calls& ops, uint64_t reps) {
  for (uint64_t i = 0; i < reps; ++i) {
    if constexpr (Counted) {
      keep(ops.get_obj_size(t.f.count));
    } else {
      keep(ops.get_obj_size_void());
    }
  }
}
template <bool Counted>
__attribute__((noinline)) void loop_ctor_free(const Timed& t, const Calls& ops, uint64_t reps) {
  for (uint64_t i = 0; i < reps; ++i) {
    void* obj = Counted ? ops.srv_ctor(t.f.count) : ops.srv_ctor_void();
    keep(obj);
    std::free(obj);
  }
}
__attribute__((noinline)) void loop_fix_ptrs(const Timed& t, const Calls& ops, uint64_t reps) {
  for (uint64_t i = 0; i < reps; ++i) ops.fix_ptrs(kNpdSize, t.f.dst);
}
__attribute__((noinline)) void loop_read_dbobj(const Timed& t, const Calls& ops, uint64_t reps) {
  for (uint64_t i = 0; i < reps; ++i) ops.read_dbobj(t.f.src, t.f.dst);
}
__attribute__((noinline)) void loop_write_dbobj_base(const Timed& t, const Calls& ops,
                                                     uint64_t reps) {
  for (uint64_t i = 0; i < reps; ++i) ops.write_dbobj_base(t.f.src, t.f.dst);
}
__attribute__((noinline)) void loop_copy_release(const Timed& t, const Calls& ops, uint64_t reps) {
  for (uint64_t i = 0; i < reps; ++i) {
    void* copy = ops.copy_ctor(t.f.src);
    keep(copy);
    ops.clnt_copy_dtor(copy);
  }
}

// The baselines: one memcpy of the bytes the operation moves, at the same
// offsets from a page; calloc (as the constructors allocate) and free.
__attribute__((noinline)) void loop_memcpy_data(const Timed& t, const Calls&, uint64_t reps) {
  auto* to = static_cast<Byte*>(t.scratch) + t.data_at;
  const auto* from = static_cast<const Byte*>(t.f.src) + t.data_at;
  for (uint64_t i = 0; i < reps; ++i) {
    std::memcpy(to, from, t.f.limit);
    keep(to);
  }
}
__attribute__((noinline)) void loop_memcpy_header(const Timed& t, const Calls&, uint64_t reps) {
  for (uint64_t i = 0; i < reps; ++i) {
    std::memcpy(t.scratch, t.f.src, t.header_span);
    keep(t.scratch);
  }
}
__attribute__((noinline)) void loop_calloc_free(const Timed& t, const Calls&, uint64_t reps) {
  for (uint64_t i = 0; i < reps; ++i) {
    void* obj = std::calloc(1, t.f.size);
    keep(obj);
    std::free(obj);
  }
}
__attribute__((noinline)) void loop_calloc_memcpy_free(const Timed& t, const Calls&,
                                                       uint64_t reps) {
  for (uint64_t i = 0; i < reps; ++i) {
    void* copy = std::calloc(1, t.f.size);
    std::memcpy(copy, t.f.src, t.f.size);
    keep(copy);
    std::free(copy);
  }
}

template <Loop L>
constexpr Contender both() {
  return {L, L};
}
constexpr Contender kMemcpyData = both<loop_memcpy_data>();
constexpr Contender kMemcpyHeader = both<loop_memcpy_header>();
constexpr Contender kCallocFree = both<loop_calloc_free>();
constexpr Contender kCallocMemcpyFree = both<loop_calloc_memcpy_free>();

void refuse(const Fixture& f, const char* what) {
  std::fprintf(stderr, "zim_tables_time_bench: %s with count %u: %s\n", f.type->name, f.count,
               what);
  std::exit(2);
}

void* page_block(size_t bytes) {
  constexpr size_t kPage = 4096;
  void* block = std::aligned_alloc(kPage, (bytes + kPage - 1) / kPage * kPage);
  if (block == nullptr) std::abort();
  std::memset(block, 0, bytes);
  return block;
}

}  // namespace

Timed make_timed(const Fixture& f) {
  const cat::TableType& t = *f.type;
  uint32_t data_at = t.fixed_size;
  for (uint32_t i = 0; i < t.field_count; ++i) data_at = std::min(data_at, t.fields[i].offset);
  uint32_t header_span = ZIM_OBJ_BASE_HEADER_SIZE;
  for (uint32_t i = 0; i < t.header_count; ++i)
    header_span = std::max(header_span, t.header[i].offset + t.header[i].width);
  // The baselines read no byte past the source object.
  if (header_span > data_at) refuse(f, "the header reaches into the data fields");
  if (uint64_t{data_at} + f.limit > f.size) refuse(f, "the moved bytes pass the object's end");
  const LibraryOps& lib = f.lib;
  const sf_operations& sf = *f.sf;
  return {f,
          data_at,
          header_span,
          page_block(uint64_t{data_at} + f.limit),
          {lib.get_obj_size, lib.get_obj_size_void, lib.srv_ctor, lib.srv_ctor_void, lib.fix_ptrs,
           lib.read_dbobj, lib.write_dbobj_base, lib.copy_ctor, lib.clnt_copy_dtor},
          {sf.get_obj_size, sf.get_obj_size_void, sf.srv_ctor, sf.srv_ctor_void, sf.fix_ptrs,
           sf.read_dbobj, sf.write_dbobj_base, sf.copy_ctor, sf.clnt_copy_dtor},
          {sf.get_obj_size, sf.get_obj_size_void, sf.ctor_floor, sf.ctor_floor_void, sf.fix_ptrs,
           sf.read_floor, sf.write_dbobj_base, sf.copy_floor, sf.clnt_copy_dtor}};
}

const TimedOperation kTimedOperations[6] = {
    {"get_obj_size", {loop_get_obj_size<true>, loop_get_obj_size<false>}, nullptr, false},
    {"fix_ptrs", both<loop_fix_ptrs>(), nullptr, false},
    {"ctor_free", {loop_ctor_free<true>, loop_ctor_free<false>}, &kCallocFree, true},
    {"read_dbobj", both<loop_read_dbobj>(), &kMemcpyData, true},
    {"write_dbobj_base", both<loop_write_dbobj_base>(), &kMemcpyHeader, false},
    {"copy_release", both<loop_copy_release>(), &kCallocMemcpyFree, true},
};

}  // namespace zim_bench
