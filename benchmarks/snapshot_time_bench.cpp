// SPDX-License-Identifier: Apache-2.0
// Snapshots in wall time against the least a snapshot must do, in one
// process pinned to one core. For each (type, count), five contenders, each
// followed by free of what it made:
//
//   heap        zim_<type>_snapshot of a heap object
//   pool        zim_<type>_snapshot of the same object in a versioned pool,
//               whole, no writer active
//   malloc      malloc + memcpy + qor_<type>_fix_ptrs of the heap object
//   malloc_pool the same from the pool's object
//   calloc      calloc + memcpy + qor_<type>_fix_ptrs of the heap object
//
// Each is calibrated to about 30 us a sample; rounds run them in rotating
// order, each round giving heap / malloc, pool / malloc_pool and calloc /
// malloc, until the 95% intervals of the first two medians lie within +-2%
// (at least 21 rounds, at most 201). benchmarks/snapshot_time.sh runs it
// twice and summarises. One line per case:
//
//   TYPE COUNT ROUNDS HEAP_NS POOL_NS MALLOC_NS MALLOC_POOL_NS CALLOC_NS
//     HEAP_RATIO LOW HIGH POOL_RATIO LOW HIGH CALLOC_RATIO LOW HIGH
//
// COUNT is "-" for a type that takes none. N = 4, NPD size 16.
#include <unistd.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_fixture.hpp"
#include "time_rows.hpp"
#include "time_sampling.hpp"
#include "time_stats.hpp"

namespace zim_bench {
namespace {

constexpr const char* kProgram = "zim_snapshot_time_bench";
constexpr int kMinRounds = 21;
constexpr int kMaxRounds = 201;
constexpr double kEnough = 0.02;

struct SnapshotCase {
  void* (*snapshot)(void* obj);
  void (*fix_ptrs)(uint32_t npd_size, void* obj);
  void* heap;
  void* pooled;
  uint32_t size;
};

template <typename T>
inline void keep(T value) {
  asm volatile("" : : "r"(value) : "memory");
}

using SnapshotLoop = void (*)(const SnapshotCase& c, uint64_t reps);

template <bool Pooled>
__attribute__((noinline)) void loop_snapshot(const SnapshotCase& c, uint64_t reps) {
  void* obj = Pooled ? c.pooled : c.heap;
  for (uint64_t i = 0; i < reps; ++i) {
    void* copy = c.snapshot(obj);
    keep(copy);
    std::free(copy);
  }
}

// The least a snapshot must do: a block of the object's size, its bytes, its
// pointers fixed for the block.
template <bool Pooled, bool Zeroed>
__attribute__((noinline)) void loop_alloc_copy_fix(const SnapshotCase& c, uint64_t reps) {
  const void* obj = Pooled ? c.pooled : c.heap;
  for (uint64_t i = 0; i < reps; ++i) {
    void* copy = Zeroed ? std::calloc(1, c.size) : std::malloc(c.size);
    std::memcpy(copy, obj, c.size);
    c.fix_ptrs(kNpdSize, copy);
    keep(copy);
    std::free(copy);
  }
}

enum Contender { kHeap, kPool, kMalloc, kMallocPool, kCalloc, kContenders };
constexpr SnapshotLoop kLoops[kContenders] = {
    loop_snapshot<false>, loop_snapshot<true>, loop_alloc_copy_fix<false, false>,
    loop_alloc_copy_fix<true, false>, loop_alloc_copy_fix<false, true>};

struct Row {
  int rounds = 0;
  MedianInterval ns[kContenders]{};
  MedianInterval heap{}, pool{}, calloc{};
};

Row measure(const SnapshotCase& c) {
  uint64_t reps[kContenders];
  for (int k = 0; k < kContenders; ++k) reps[k] = calibrate([&](uint64_t r) { kLoops[k](c, r); });
  std::vector<double> times[kContenders], heap, pool, zeroed;
  Row row;
  while (row.rounds < kMaxRounds) {
    double now[kContenders];
    for (int j = 0; j < kContenders; ++j) {
      const int k = (row.rounds + j) % kContenders;
      now[k] = ns_per_call([&](uint64_t r) { kLoops[k](c, r); }, reps[k]);
      times[k].push_back(now[k]);
    }
    heap.push_back(now[kHeap] / now[kMalloc]);
    pool.push_back(now[kPool] / now[kMallocPool]);
    zeroed.push_back(now[kCalloc] / now[kMalloc]);
    if (++row.rounds < kMinRounds) continue;
    row.heap = median_interval(heap);
    row.pool = median_interval(pool);
    if (relative_half_width(row.heap) <= kEnough && relative_half_width(row.pool) <= kEnough) break;
  }
  row.calloc = median_interval(zeroed);
  for (int k = 0; k < kContenders; ++k) row.ns[k] = median_interval(times[k]);
  return row;
}

void print(const Fixture& f, const Row& row) {
  const std::string count = f.type->takes_count() ? std::to_string(f.count) : "-";
  std::printf("%s %s %d", f.type->name, count.c_str(), row.rounds);
  for (const MedianInterval& ns : row.ns) std::printf(" %.2f", ns.median);
  for (const MedianInterval* r : {&row.heap, &row.pool, &row.calloc})
    std::printf(" %.4f %.4f %.4f", r->median, r->low, r->high);
  std::printf("\n");
  std::fflush(stdout);
}

// The same object in the versioned pool, its first write ended: a whole
// version that no writer holds.
void* pooled_copy(const Fixture& f) {
  void* pooled = f.type->ops.copy_ctor_with_shm(f.src);
  if (pooled == nullptr || zim_shm_pool_write_end(pooled) != 0) {
    std::fprintf(stderr, "%s: %s: no versioned object\n", kProgram, f.type->name);
    std::exit(1);
  }
  verify_snapshot(f, pooled, "the pool's snapshot");
  return pooled;
}

void run_case(const Case& c) {
  const Fixture f = make_fixture(c.type->name, true, c.count);
  verify(f);
  // On the heap, away from the stack the calls push to, as the other time
  // benchmark keeps its operations.
  const auto timed = std::make_unique<const SnapshotCase>(
      SnapshotCase{f.lib.snapshot, f.lib.fix_ptrs, f.src, pooled_copy(f), f.size});
  print(f, measure(*timed));
}

}  // namespace
}  // namespace zim_bench

int main(int argc, char** argv) {
  setenv("ZIM_MAX_NUM_NPUS", "4", 1);
  setenv("ZIM_NPD_SIZE", std::to_string(zim_bench::kNpdSize).c_str(), 1);
  unsetenv("ZIM_NPD_SIZES");
  const zim_bench::TimeArgs args =
      zim_bench::time_args(zim_bench::kProgram, argc, argv, {0, 1, 8, 100});
  const std::string pool = "/zim_snapshot_time_bench." + std::to_string(getpid());
  const zim_shm_pool_options_t options{1, 0, 1024, 1024};
  if (zim_shm_pool_create_with(pool.c_str(), uint64_t{512} << 20, &options) != 0) {
    std::perror("zim_snapshot_time_bench: cannot create the pool");
    return 1;
  }
  zim_bench::pin_to_core(zim_bench::kProgram, args.cpu);
  for (const zim_bench::Case& c : args.cases) zim_bench::run_case(c);
  zim_shm_pool_destroy();
  return 0;
}
