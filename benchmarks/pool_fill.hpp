// SPDX-License-Identifier: Apache-2.0
// What the two halves of zim_pool_fill_bench share: the fill of a versioned
// pool, the touch of a plain tmpfs file that writes the same bytes, clocks
// and medians.
#ifndef ZIM_BENCHMARKS_POOL_FILL_HPP
#define ZIM_BENCHMARKS_POOL_FILL_HPP

#include <cstdint>
#include <string>
#include <vector>

namespace fill_bench {

// Bytes a fill writes, as offsets into the segment: each object's span (from
// its line's header to the object's end), then every other page the pool
// holds when the fill is done (its header, start map, feed and index).
struct Footprint {
  std::vector<uint64_t> span_at, span_bytes;
  std::vector<uint64_t> other_pages;
};

struct Times {
  double wall = 0, cpu = 0;  // seconds
};

struct Settings {
  uint64_t objects = 100000;      // one process's objects
  uint64_t pair_objects = 50000;  // each process's objects in the two-process rounds
  int rounds = 7;
  uint64_t pool_size = 128u << 20;
};

double now_seconds();
double cpu_seconds();  // of this process
double median(std::vector<double> v);
void pin_to_cpu(int cpu);  // best effort
std::string load_average();
[[noreturn]] void fail(const char* what);

// Creates the versioned pool `name` of `size` bytes and makes `objects`
// objects of table id `type` (0: olist, 1: brmac) in it, each ended by its
// first write_end; records the footprint when asked. False on a failure.
bool fill_pool(const char* name, uint64_t size, uint64_t objects, int type, Footprint* footprint);

// Makes `objects` objects of `type` in the mapped pool.
bool make_objects(uint64_t objects, int type);

// Writes the footprint's bytes into `base`, shifted by `shift`, spans in order.
void touch(char* base, const Footprint& footprint, uint64_t shift);

// Creates the tmpfs file /dev/shm`name` of `size` bytes and maps it; null on failure.
char* create_mapped_file(const char* name, uint64_t size);

// The two-process rounds (pool_fill_pair.cpp): prints their figures.
void run_pairs(const Settings& settings, const Footprint& olist, const Footprint& brmac);

}  // namespace fill_bench

#endif  // ZIM_BENCHMARKS_POOL_FILL_HPP
