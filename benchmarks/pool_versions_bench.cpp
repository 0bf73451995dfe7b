// SPDX-License-Identifier: Apache-2.0
// The cost of a change and of a lookup in a versioned pool: one
// zim_shm_pool_write_begin + zim_shm_pool_write_end pair (with the feed entry
// write_end appends; no follower waits, so no wake), and one
// zim_shm_pool_index_get in an index filled to a fraction of its capacity.
//   zim_pool_versions_bench [Google Benchmark flags]
//   zim_pool_versions_bench --loop brackets ITERATIONS
//   zim_pool_versions_bench --loop index_get FILL_PERCENT ITERATIONS
//   zim_pool_versions_bench --replace OBJECTS [ROUNDS]
// The second form runs ITERATIONS calls after a warm-up, for callgrind
// (pool_versions_callgrind.sh counts the instructions inside run_*). The
// third makes one object of a pool of OBJECTS objects again at another size,
// as a mirror does when its source's object changed size: with
// zim_shm_pool_replace_object and, in the same rounds, with
// zim_shm_pool_retire_object + zim_shm_pool_alloc_with_id (whose id, at or
// below the pool's counter, is looked for among every block); it prints the
// median wall time of each and of their per-round ratio with its 95% interval.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "time_stats.hpp"

namespace {

constexpr uint64_t kPoolSize = 64u << 20;
constexpr uint64_t kIndexCapacity = 65536;
constexpr uint32_t kTableId = 7;
constexpr uint64_t kObjectBytes = 64;

[[noreturn]] void fail(const char* what) {
  std::perror(what);
  std::exit(1);
}

// A fresh versioned pool with one object whose first write has ended.
void* make_pool() {
  const std::string name = "/zim_pool_versions_bench." + std::to_string(getpid());
  const zim_shm_pool_options_t options{1, 0, 4096, kIndexCapacity};
  if (zim_shm_pool_create_with(name.c_str(), kPoolSize, &options) != 0) fail("create_with");
  void* obj = zim_shm_pool_calloc_untyped(kObjectBytes);
  if (obj == nullptr || zim_shm_pool_write_end(obj) != 0) fail("first write");
  return obj;
}

// The i-th key: scattered 64-bit values (splitmix64), since consecutive
// integers land in neighbouring slots without a collision, which real keys
// would not.
uint64_t key_at(uint64_t i) {
  uint64_t z = (i + 1) * 0x9e3779b97f4a7c15ull;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

// Puts `keys` keys, all naming one object.
void fill_index(void* obj, uint64_t keys, std::vector<uint64_t>* all) {
  for (uint64_t i = 0; i < keys; ++i) {
    all->push_back(key_at(i));
    if (zim_shm_pool_index_put(kTableId, all->back(), obj, nullptr) != 0) fail("index_put");
  }
}

__attribute__((noinline)) int run_brackets(void* obj, uint64_t iterations) {
  int failed = 0;
  for (uint64_t i = 0; i < iterations; ++i) {
    failed |= zim_shm_pool_write_begin(obj);
    static_cast<volatile uint64_t*>(obj)[0] = i;  // the change itself
    failed |= zim_shm_pool_write_end(obj);
  }
  return failed;
}

__attribute__((noinline)) int run_index_get(const std::vector<uint64_t>& keys,
                                            uint64_t iterations) {
  int missing = 0;
  size_t at = 0;
  for (uint64_t i = 0; i < iterations; ++i) {
    missing += zim_shm_pool_index_get(kTableId, keys[at]) == nullptr;
    at = at + 1 == keys.size() ? 0 : at + 1;
  }
  return missing;
}

uint64_t keys_at(uint64_t percent) { return kIndexCapacity * percent / 100; }

void BM_Brackets(benchmark::State& state) {
  void* obj = make_pool();
  for (auto _ : state) {
    if (run_brackets(obj, 1) != 0) state.SkipWithError("a bracket failed");
  }
  state.SetItemsProcessed(state.iterations());
  zim_shm_pool_detach();
}
BENCHMARK(BM_Brackets);

void BM_IndexGet(benchmark::State& state) {
  void* obj = make_pool();
  std::vector<uint64_t> keys;
  fill_index(obj, keys_at(static_cast<uint64_t>(state.range(0))), &keys);
  size_t at = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zim_shm_pool_index_get(kTableId, keys[at]));
    at = at + 1 == keys.size() ? 0 : at + 1;
  }
  state.SetLabel(std::to_string(keys.size()) + " of " + std::to_string(kIndexCapacity) + " keys");
  zim_shm_pool_detach();
}
BENCHMARK(BM_IndexGet)->Arg(1)->Arg(25)->Arg(50)->Arg(90)->Arg(100);

int loop(int argc, char** argv) {
  void* obj = make_pool();
  if (argc == 4 && std::strcmp(argv[2], "brackets") == 0) {
    const uint64_t iterations = std::strtoull(argv[3], nullptr, 10);
    for (int i = 0; i < 1000; ++i) {  // the writer's slot claimed, the feed's slots touched
      if (zim_shm_pool_write_begin(obj) != 0 || zim_shm_pool_write_end(obj) != 0) fail("warm-up");
    }
    return run_brackets(obj, iterations) != 0;
  }
  if (argc == 5 && std::strcmp(argv[2], "index_get") == 0) {
    const uint64_t count = keys_at(std::strtoull(argv[3], nullptr, 10));
    const uint64_t iterations = std::strtoull(argv[4], nullptr, 10);
    if (count == 0 || count > kIndexCapacity || iterations == 0) {
      std::fputs("index_get: FILL_PERCENT 1 to 100, ITERATIONS above 0\n", stderr);
      return 2;
    }
    std::vector<uint64_t> keys;
    fill_index(obj, count, &keys);
    for (const uint64_t key : keys) {  // every key's slots touched once
      if (zim_shm_pool_index_get(kTableId, key) == nullptr) fail("index_get");
    }
    return run_index_get(keys, iterations) != 0;
  }
  std::fputs(
      "usage: zim_pool_versions_bench --loop brackets ITERATIONS | "
      "--loop index_get FILL_PERCENT ITERATIONS\n",
      stderr);
  return 2;
}

// The object made again at another size, the old way and the new.
void* retire_and_alloc_with_id(void* obj, uint64_t size) {
  const uint64_t id = zim_shm_pool_id_of(obj);
  if (zim_shm_pool_retire_object(obj) != 0) fail("retire_object");
  return zim_shm_pool_alloc_with_id(kTableId, size, id);
}
void* replace_object(void* obj, uint64_t size) {
  return zim_shm_pool_replace_object(obj, size, nullptr, 0, 0);
}

// Nanoseconds per call of `make` over `calls` calls, each followed by the
// new object's first write_end; the object's size goes between two, as an
// olist's count that grows and shrinks.
double ns_per_call(void** obj, void* (*make)(void*, uint64_t), int calls) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < calls; ++i) {
    *obj = make(*obj, i % 2 == 0 ? 24 : 40);
    if (*obj == nullptr || zim_shm_pool_write_end(*obj) != 0) fail("making the object again");
  }
  const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
  return spent.count() / calls;
}

int compare_replacements(uint64_t objects, int rounds) {
  constexpr int kOldCalls = 10, kNewCalls = 1000;  // per round: each round some milliseconds
  constexpr uint64_t kObjectNeed = 80;             // a 16-byte object, its line and headers
  const uint64_t made_again = uint64_t(rounds) * (kOldCalls + kNewCalls) * 128;
  const uint64_t pool_size = objects * kObjectNeed + made_again + (16u << 20);
  const std::string name = "/zim_pool_versions_bench." + std::to_string(getpid());
  const zim_shm_pool_options_t options{1, 0, 4096, 64};
  if (zim_shm_pool_create_with(name.c_str(), pool_size, &options) != 0) fail("create_with");
  void* obj = nullptr;
  for (uint64_t i = 0; i < objects; ++i) {
    void* made = zim_shm_table_pool_calloc(kTableId, 16);
    if (made == nullptr) fail("filling the pool");
    if (i == objects / 2) obj = made;
  }
  std::vector<double> olds, news, ratios;
  for (int round = 0; round < rounds; ++round) {
    olds.push_back(ns_per_call(&obj, retire_and_alloc_with_id, kOldCalls));
    news.push_back(ns_per_call(&obj, replace_object, kNewCalls));
    ratios.push_back(olds.back() / news.back());
  }
  const auto old_ns = zim_bench::median_interval(olds), new_ns = zim_bench::median_interval(news);
  const auto ratio = zim_bench::median_interval(ratios);
  std::printf(
      "%llu objects, %d rounds: retire + alloc_with_id %.0f ns, replace_object %.0f ns; "
      "old / new %.1f (95%%: %.1f to %.1f)\n",
      static_cast<unsigned long long>(objects), rounds, old_ns.median, new_ns.median, ratio.median,
      ratio.low, ratio.high);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--replace") == 0) {
    const uint64_t objects = std::strtoull(argv[2], nullptr, 10);
    const int rounds = argc == 4 ? std::atoi(argv[3]) : 21;
    if (objects < 2 || rounds < 1) {
      std::fputs("--replace: OBJECTS at least 2, ROUNDS at least 1\n", stderr);
      return 2;
    }
    const int status = compare_replacements(objects, rounds);
    zim_shm_pool_destroy();
    return status;
  }
  if (argc > 1 && std::strcmp(argv[1], "--loop") == 0) {
    const int status = loop(argc, argv);
    zim_shm_pool_detach();
    return status;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
