// SPDX-License-Identifier: Apache-2.0
// Uncontended snapshots, in callgrind instructions per call: each type's
// zim_<type>_snapshot + free of a heap object (the copy as it always was)
// and of the same object in a versioned pool (a whole version: the version
// read, the block bounded, the copy checked against the version again), in
// one process under callgrind; each case runs kWarmCalls times to warm, zeroes the
// counters, runs kCalls times and dumps the counts under its label ("TYPE
// heap|versioned CALLS"), and the least a snapshot must do, malloc + memcpy +
// qor_<type>_fix_ptrs + free of the heap object ("TYPE floor CALLS").
// benchmarks/snapshot_callgrind.sh turns the dumps
// into the table. Built twice: with the copy as memcpy (zim_snapshot_bench)
// and as word-sized atomic loads (zim_snapshot_words_bench).
//
// N = 4, NPD size 16, count 8 for the counted types, as copy_bench.
#include <unistd.h>
#include <valgrind/callgrind.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_fixture.hpp"

namespace zim_bench {
namespace {

constexpr int kCalls = 10;
constexpr int kWarmCalls = 16;
namespace cat = zim_tables::catalogue;

__attribute__((noinline)) void run_snapshot_free(void* (*snapshot)(void*), void* obj) {
  void* copy = snapshot(obj);
  asm volatile("" : : "r"(copy) : "memory");
  std::free(copy);
}

// The least a snapshot must do, for the same bytes: a block, the copy, the
// fix-up for the block.
__attribute__((noinline)) void run_malloc_memcpy_fix_free(const Fixture& f, void* obj) {
  void* copy = std::malloc(f.size);
  std::memcpy(copy, obj, f.size);
  f.lib.fix_ptrs(kNpdSize, copy);
  asm volatile("" : : "r"(copy) : "memory");
  std::free(copy);
}

void measure_floor(const Fixture& f, void* obj) {
  for (int i = 0; i < kWarmCalls; ++i) run_malloc_memcpy_fix_free(f, obj);
  CALLGRIND_ZERO_STATS;
  for (int i = 0; i < kCalls; ++i) run_malloc_memcpy_fix_free(f, obj);
  const std::string label = std::string(f.type->name) + " floor " + std::to_string(kCalls);
  CALLGRIND_DUMP_STATS_AT(label.c_str());
}

void measure(const Fixture& f, void* obj, const char* where) {
  void* first = f.lib.snapshot(obj);
  if (first == nullptr) {
    std::fprintf(stderr, "zim_snapshot_bench: %s (%s): no snapshot\n", f.type->name, where);
    std::exit(1);
  }
  std::free(first);
  // Warm calls first, so that every counted call finds the allocator's
  // per-thread cache as the case's own calls leave it, whichever case ran
  // before (calloc, as snapshots once allocated, never takes from it and
  // free fills it: then it took 16 calls to fill).
  for (int i = 0; i < kWarmCalls; ++i) run_snapshot_free(f.lib.snapshot, obj);
  CALLGRIND_ZERO_STATS;
  for (int i = 0; i < kCalls; ++i) run_snapshot_free(f.lib.snapshot, obj);
  const std::string label = std::string(f.type->name) + " " + where + " " + std::to_string(kCalls);
  CALLGRIND_DUMP_STATS_AT(label.c_str());
}

}  // namespace
}  // namespace zim_bench

int main(int argc, char** argv) {
  setenv("ZIM_MAX_NUM_NPUS", "4", 1);
  setenv("ZIM_NPD_SIZE", std::to_string(zim_bench::kNpdSize).c_str(), 1);
  unsetenv("ZIM_NPD_SIZES");
  const std::string pool = "/zim_snapshot_bench." + std::to_string(getpid());
  const zim_shm_pool_options_t options{1, 0, 1024, 1024};
  if (zim_shm_pool_create_with(pool.c_str(), uint64_t{256} << 20, &options) != 0) {
    std::perror("zim_snapshot_bench: cannot create the pool");
    return 1;
  }
  std::vector<const char*> names(argv + 1, argv + argc);  // else every type
  if (names.empty()) {
    for (size_t i = 0; i < zim_bench::cat::type_count; ++i) {
      names.push_back(zim_bench::cat::types[i].name);
    }
  }
  for (const char* name : names) {
    const zim_bench::Fixture f = zim_bench::make_fixture(name, false);
    zim_bench::verify(f);
    void* pooled = f.type->ops.copy_ctor_with_shm(f.src);
    if (pooled == nullptr || zim_shm_pool_write_end(pooled) != 0) {
      std::fprintf(stderr, "zim_snapshot_bench: %s: no versioned object\n", name);
      return 1;
    }
    zim_bench::measure_floor(f, f.src);
    zim_bench::measure(f, f.src, "heap");
    zim_bench::measure(f, pooled, "versioned");
  }
  zim_shm_pool_destroy();
  return 0;
}
