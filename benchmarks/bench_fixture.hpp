// SPDX-License-Identifier: Apache-2.0
// The benchmark's objects (bench_fixture.cpp): one filled source and one
// destination of a type, the library's operations on it as exported symbols,
// and the check that every operation measured also does its job.
#ifndef ZIM_BENCHMARKS_BENCH_FIXTURE_HPP
#define ZIM_BENCHMARKS_BENCH_FIXTURE_HPP

#include <cstdint>

#include "straightforward.h"
#include "zim/tables/catalogue.hpp"

namespace zim_bench {

namespace cat = zim_tables::catalogue;
using Byte = unsigned char;

constexpr uint32_t kNpdSize = 16;
constexpr uint32_t kCount = 8;

// The library's operations as the exported symbols themselves, called like
// the straightforward build's: no wrapper and no PLT stub in either path.
struct LibraryOps {
  void (*read_dbobj)(const void* src, void* dst);
  void (*fix_ptrs)(uint32_t npd_size, void* obj);
  void (*write_dbobj_base)(const void* src, void* dst);
  uint32_t (*get_obj_size)(uint32_t count);  // null: the type takes no count
  uint32_t (*get_obj_size_void)();
  void* (*srv_ctor)(uint32_t count);
  void* (*srv_ctor_void)();
  void* (*copy_ctor)(const void* src);
  void (*clnt_copy_dtor)(void* obj);
  void* (*snapshot)(void* obj);
};

struct Fixture {
  const cat::TableType* type;
  LibraryOps lib;
  const sf_operations* sf;
  uint32_t count;
  void* src;
  void* dst;
  uint32_t size;   // of the whole object
  uint32_t limit;  // the bytes read_dbobj moves
  void* scratch;   // where the memcpy baseline writes them: never into dst,
                   // whose pointers the other operations follow
};

// Objects from the heap constructor; every field, flag and element of the
// source is filled, so every copy moves real data. page_aligned: moved to the
// start of page-aligned blocks and fixed up there.
Fixture make_fixture(const char* name, bool page_aligned, uint32_t count = kCount);

// Runs the copies, the fix-up, the sizing and the snapshot of the library and
// of the straightforward build once and ends the program when one is wrong.
void verify(const Fixture& f);

// Ends the program unless a snapshot of obj, a copy of f.src (in a pool, say),
// holds every field, flag and element of f.src.
void verify_snapshot(const Fixture& f, void* obj, const char* what);

}  // namespace zim_bench

#endif  // ZIM_BENCHMARKS_BENCH_FIXTURE_HPP
