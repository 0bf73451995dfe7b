// SPDX-License-Identifier: Apache-2.0
// What zim_tables_time_bench times: for each operation, the library's loop,
// the straightforward build's and the baseline that bounds both from below
// (time_contenders.cpp).
#ifndef ZIM_BENCHMARKS_TIME_CONTENDERS_HPP
#define ZIM_BENCHMARKS_TIME_CONTENDERS_HPP

#include <cstdint>

#include "bench_fixture.hpp"

namespace zim_bench {

// One build's operations behind pointers of one type, so that the library
// and the straightforward build run through the very same loop: only the
// callee differs, never the code or the layout of the loop around it.
struct Calls {
  uint32_t (*get_obj_size)(uint32_t count);
  uint32_t (*get_obj_size_void)();
  void* (*srv_ctor)(uint32_t count);
  void* (*srv_ctor_void)();
  void (*fix_ptrs)(uint32_t npd_size, void* obj);
  void (*read_dbobj)(const void* src, void* dst);
  void (*write_dbobj_base)(const void* src, void* dst);
  void* (*copy_ctor)(const void* src);
  void (*clnt_copy_dtor)(void* obj);
};

// A fixture with the baselines' own destination, placed like the
// library's: the baseline's moves start at the same offsets from a page
// as the operation's, so neither side gains by alignment.
struct Timed {
  Fixture f;
  uint32_t data_at;      // where the data fields begin: read_dbobj's first byte
  uint32_t header_span;  // the bytes write_dbobj_base moves: base and type header
  void* scratch;         // page-aligned, data_at + f.limit bytes
  Calls library, straightforward;
  Calls floor;  // the floors where an operation has one, else the straightforward build's
};

Timed make_timed(const Fixture& f);

// reps calls of one contender; the time of one call is the loop's over reps.
// A baseline ignores the calls.
using Loop = void (*)(const Timed& t, const Calls& calls, uint64_t reps);

struct Contender {
  Loop counted, uncounted;  // for the types with a count and without
};

// Each operation's loop, run once with the library's calls and once with the
// straightforward build's, and its baseline: null where no smaller job exists
// (the sizing, the fix-up). Where the operation has a floor (the constructor,
// the data copy, the copy), the same loop runs a third time with the floors.
struct TimedOperation {
  const char* name;
  Contender operation;
  const Contender* baseline;
  bool has_floor;
};

extern const TimedOperation kTimedOperations[6];

}  // namespace zim_bench

#endif  // ZIM_BENCHMARKS_TIME_CONTENDERS_HPP
