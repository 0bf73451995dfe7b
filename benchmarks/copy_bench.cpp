// SPDX-License-Identifier: Apache-2.0
// Costs of the copy path, the constructor, the fix-up and the sizing of ten
// table types of every shape against baselines measured in the same run:
//
//   read_dbobj             vs  memcpy_limit: one memcpy of exactly the bytes
//                              read_dbobj moves (fields, flags, elements)
//   copy_release           vs  calloc_memcpy_free: copy constructor plus
//   (copy_ctor + clnt_copy_dtor) calloc + memcpy + free of the whole object
//   ctor_free              vs  calloc_free: heap constructor plus free
//   ctor_floor_free        vs  calloc_free: what every constructor of the
//                              type must do (straightforward_gen), plus free
//   read_dbobj, fix_ptrs,  vs  the straightforward build (sf_*): plain C, one
//   get_obj_size               copy per field, one cursor (straightforward_gen)
//   snapshot_free          vs  calloc_memcpy_fix_free: zim_<type>_snapshot,
//                              then free, against calloc + memcpy of
//                              total_obj_size + the fix-up + free
//
// and, for olist only, the accessors' checks: every element of both arrays
// and both single fields written, then read, by the accessors (checked_access)
// against the same with the index check alone, as the accessors had it before
// the object and element checks (index_access), and with no check
// (unchecked_access).
//
// N = 4, NPD size 16 and count 8 for the counted types; the objects come from
// the library's own constructors. Results are ratios to the baselines; for
// instruction counts that repeat exactly, run one case under callgrind:
// `zim_tables_bench --loop TYPE OP ITERATIONS [moved]`, see
// benchmarks/callgrind.sh; with "moved", the objects are placed as for the
// times (bench_fixture.cpp).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "bench_fixture.hpp"
#include "zim/tables/all_tables.h"

namespace {

using zim_bench::Byte;
using zim_bench::Fixture;
using zim_bench::kNpdSize;
using zim_bench::make_fixture;
using zim_bench::verify;

// Arrays from 53 down to none, per-NPU and counted, large and small fixed
// parts, a 7001-byte block.
const char* const kTypes[] = {"ipnhgroup", "testdynhg", "olist",  "l2intf", "test_if",
                              "nhgroup",   "l1port",    "tmport", "rawget", "testglobaldiscard"};

__attribute__((noinline)) void run_read_dbobj(const Fixture& f) { f.lib.read_dbobj(f.src, f.dst); }
__attribute__((noinline)) void run_sf_read_dbobj(const Fixture& f) {
  f.sf->read_dbobj(f.src, f.dst);
}
__attribute__((noinline)) void run_memcpy_limit(const Fixture& f) {
  std::memcpy(f.scratch, f.src, f.limit);
}
__attribute__((noinline)) void run_copy_release(const Fixture& f) {
  void* copy = f.lib.copy_ctor(f.src);
  benchmark::DoNotOptimize(copy);
  f.lib.clnt_copy_dtor(copy);
}
__attribute__((noinline)) void run_calloc_memcpy_free(const Fixture& f) {
  void* copy = std::calloc(1, f.size);
  std::memcpy(copy, f.src, f.size);
  benchmark::DoNotOptimize(copy);
  std::free(copy);
}
__attribute__((noinline)) void run_snapshot_free(const Fixture& f) {
  void* copy = f.lib.snapshot(f.src);
  benchmark::DoNotOptimize(copy);
  std::free(copy);
}
// What any snapshot must do: the NPD size, then a copy of total_obj_size bytes
// with its pointers fixed.
__attribute__((noinline)) void run_calloc_memcpy_fix_free(const Fixture& f) {
  const uint32_t npd_size = qor_npd_get_table_size(f.type->table_id);
  uint32_t size;
  std::memcpy(&size, static_cast<const Byte*>(f.src) + ZIM_OBJ_TOTAL_SIZE_OFFSET, sizeof size);
  void* copy = std::calloc(1, size);
  std::memcpy(copy, f.src, size);
  f.lib.fix_ptrs(npd_size, copy);
  benchmark::DoNotOptimize(copy);
  std::free(copy);
}

// The accessors of olist with their checks, with the index check alone and
// with none: each writes every element of fields 2 and 3 and fields 4 and 5,
// then reads them back.
enum class Checks { kAll, kIndex, kNone };
template <Checks C>
uint64_t* element(qor_olist_obj_st obj, uint32_t field_ptr, uint32_t i) {
  if constexpr (C == Checks::kIndex) {
    ZIM_TABLES_CHECK_INDEX(i, zim_tables_load_u32(zim_tables_at(obj, ZIM_OLIST_COUNT_OFFSET)));
  }
  return reinterpret_cast<uint64_t*>(zim_tables_pointee(obj, field_ptr) + 8 * uint64_t{i});
}
template <Checks C>
void put_element(qor_olist_obj_st obj, uint32_t field_ptr, uint32_t flags_ptr, uint32_t i,
                 uint64_t v) {
  std::memcpy(element<C>(obj, field_ptr, i), &v, sizeof v);
  __atomic_store_n(zim_tables_pointee(obj, flags_ptr) + i, uint8_t{1}, __ATOMIC_RELEASE);
}
template <Checks C>
__attribute__((always_inline)) inline void access(const Fixture& f) {
  auto* obj = static_cast<qor_olist_obj_st>(f.dst);
  const uint32_t n = C == Checks::kAll ? zim_olist_field_2_length(obj) : f.count;
  uint64_t sum = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if constexpr (C == Checks::kAll) {
      zim_olist_set_field_2(obj, i, i);
      zim_olist_set_field_3(obj, i, i);
    } else {
      put_element<C>(obj, ZIM_OLIST_FIELD_2_PTR, ZIM_OLIST_FIELD_2_FLAGS_PTR, i, i);
      put_element<C>(obj, ZIM_OLIST_FIELD_3_PTR, ZIM_OLIST_FIELD_3_FLAGS_PTR, i, i);
    }
  }
  if constexpr (C == Checks::kAll) {
    zim_olist_set_field_4(obj, n);
    zim_olist_set_field_5(obj, n);
    sum += zim_olist_get_field_4(obj) + zim_olist_get_field_5(obj);
  } else {
    zim_tables_store(zim_tables_at(obj, ZIM_OLIST_FIELD_4_OFFSET), &n, 4,
                     zim_tables_at(obj, ZIM_OLIST_FIELD_4_FLAG));
    const uint64_t n64 = n;
    zim_tables_store(zim_tables_at(obj, ZIM_OLIST_FIELD_5_OFFSET), &n64, 8,
                     zim_tables_at(obj, ZIM_OLIST_FIELD_5_FLAG));
    sum += zim_tables_load_u32(zim_tables_at(obj, ZIM_OLIST_FIELD_4_OFFSET)) +
           zim_tables_load_u64(zim_tables_at(obj, ZIM_OLIST_FIELD_5_OFFSET));
  }
  for (uint32_t i = 0; i < n; ++i) {
    if constexpr (C == Checks::kAll) {
      sum += zim_olist_get_field_2(obj, i) + zim_olist_get_field_3(obj, i);
    } else {
      sum +=
          *element<C>(obj, ZIM_OLIST_FIELD_2_PTR, i) + *element<C>(obj, ZIM_OLIST_FIELD_3_PTR, i);
    }
  }
  benchmark::DoNotOptimize(sum);
}
__attribute__((noinline)) void run_checked_access(const Fixture& f) { access<Checks::kAll>(f); }
__attribute__((noinline)) void run_index_access(const Fixture& f) { access<Checks::kIndex>(f); }
__attribute__((noinline)) void run_unchecked_access(const Fixture& f) { access<Checks::kNone>(f); }

// A type without a count has constructors and sizing without the parameter:
// one runner for each signature, so neither pays for a choice at run time.
template <bool Counted>
__attribute__((noinline)) void run_ctor_free(const Fixture& f) {
  void* obj;
  if constexpr (Counted) {
    obj = f.lib.srv_ctor(f.count);
  } else {
    obj = f.lib.srv_ctor_void();
  }
  benchmark::DoNotOptimize(obj);
  std::free(obj);
}
// The least any constructor of the type must do (the straightforward
// build's floor: the platform's answers, calloc, the stamps and the pointers).
template <bool Counted>
__attribute__((noinline)) void run_ctor_floor_free(const Fixture& f) {
  void* obj = Counted ? f.sf->ctor_floor(f.count) : f.sf->ctor_floor_void();
  benchmark::DoNotOptimize(obj);
  std::free(obj);
}
__attribute__((noinline)) void run_calloc_free(const Fixture& f) {
  void* obj = std::calloc(1, f.size);
  benchmark::DoNotOptimize(obj);
  std::free(obj);
}
__attribute__((noinline)) void run_fix_ptrs(const Fixture& f) { f.lib.fix_ptrs(kNpdSize, f.dst); }
__attribute__((noinline)) void run_sf_fix_ptrs(const Fixture& f) {
  f.sf->fix_ptrs(kNpdSize, f.dst);
}
template <bool Counted>
__attribute__((noinline)) void run_get_obj_size(const Fixture& f) {
  if constexpr (Counted) {
    benchmark::DoNotOptimize(f.lib.get_obj_size(f.count));
  } else {
    benchmark::DoNotOptimize(f.lib.get_obj_size_void());
  }
}
template <bool Counted>
__attribute__((noinline)) void run_sf_get_obj_size(const Fixture& f) {
  if constexpr (Counted) {
    benchmark::DoNotOptimize(f.sf->get_obj_size(f.count));
  } else {
    benchmark::DoNotOptimize(f.sf->get_obj_size_void());
  }
}

using Runner = void (*)(const Fixture&);
struct Operation {
  Runner counted;  // for a type that takes a count
  Runner uncounted;
};
const std::map<std::string, Operation> kOps = {
    {"read_dbobj", {run_read_dbobj, run_read_dbobj}},
    {"sf_read_dbobj", {run_sf_read_dbobj, run_sf_read_dbobj}},
    {"memcpy_limit", {run_memcpy_limit, run_memcpy_limit}},
    {"copy_release", {run_copy_release, run_copy_release}},
    {"calloc_memcpy_free", {run_calloc_memcpy_free, run_calloc_memcpy_free}},
    {"ctor_free", {run_ctor_free<true>, run_ctor_free<false>}},
    {"ctor_floor_free", {run_ctor_floor_free<true>, run_ctor_floor_free<false>}},
    {"calloc_free", {run_calloc_free, run_calloc_free}},
    {"fix_ptrs", {run_fix_ptrs, run_fix_ptrs}},
    {"sf_fix_ptrs", {run_sf_fix_ptrs, run_sf_fix_ptrs}},
    {"get_obj_size", {run_get_obj_size<true>, run_get_obj_size<false>}},
    {"sf_get_obj_size", {run_sf_get_obj_size<true>, run_sf_get_obj_size<false>}},
    {"snapshot_free", {run_snapshot_free, run_snapshot_free}},
    {"calloc_memcpy_fix_free", {run_calloc_memcpy_fix_free, run_calloc_memcpy_fix_free}}};
// olist's accessors, run only on olist objects.
const std::map<std::string, Runner> kOlistOps = {{"checked_access", run_checked_access},
                                                 {"index_access", run_index_access},
                                                 {"unchecked_access", run_unchecked_access}};

Runner runner_for(const Fixture& f, const Operation& op) {
  return f.type->takes_count() ? op.counted : op.uncounted;
}

// Each ratio: an operation against its baseline of the same run.
const std::pair<const char*, const char*> kRatios[] = {{"read_dbobj", "memcpy_limit"},
                                                       {"copy_release", "calloc_memcpy_free"},
                                                       {"ctor_free", "calloc_free"},
                                                       {"read_dbobj", "sf_read_dbobj"},
                                                       {"fix_ptrs", "sf_fix_ptrs"},
                                                       {"get_obj_size", "sf_get_obj_size"},
                                                       {"snapshot_free", "calloc_memcpy_fix_free"}};

// Collects the time per iteration of every benchmark, by name: the median
// when repetitions are asked for (--benchmark_repetitions), which a machine
// shared with other work needs, else the single run's.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      const std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        ns_[name] = run.GetAdjustedRealTime();
        medians_.insert(name);
      } else if (run.run_type == Run::RT_Iteration && run.iterations > 0 &&
                 medians_.count(name) == 0) {
        ns_[name] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void print_ratios() const {
    std::printf("\ntime ratios  %-18s %10s %10s %10s %10s %10s %10s %10s\n", "type", "read/lim",
                "copy/base", "ctor/base", "read/sf", "fix/sf", "size/sf", "snap/base");
    double log_sum[3] = {0, 0, 0};
    int n = 0;
    for (const char* t : kTypes) {
      std::printf("time ratios  %-18s", t);
      for (size_t r = 0; r < std::size(kRatios); ++r) {
        const double v = ratio(std::string(t) + "/" + kRatios[r].first,
                               std::string(t) + "/" + kRatios[r].second);
        if (r < 3) log_sum[r] += std::log(v);
        std::printf(" %10.2f", v);
      }
      std::printf("\n");
      ++n;
    }
    std::printf("time ratios  %-18s %10.2f %10.2f %10.2f\n", "geomean", std::exp(log_sum[0] / n),
                std::exp(log_sum[1] / n), std::exp(log_sum[2] / n));
  }

 private:
  double ratio(const std::string& op, const std::string& base) const {
    const auto a = ns_.find(op), b = ns_.find(base);
    return a == ns_.end() || b == ns_.end() || b->second == 0 ? 0 : a->second / b->second;
  }
  std::map<std::string, double> ns_;
  std::set<std::string> medians_;
};

int run_loop(const char* type, const char* op, long iterations, bool moved) {
  const auto it = kOps.find(op);
  const auto olist_op = kOlistOps.find(op);
  if (it == kOps.end() && (olist_op == kOlistOps.end() || std::strcmp(type, "olist") != 0)) {
    std::fprintf(stderr, "zim_tables_bench: unknown operation %s for %s\n", op, type);
    return 2;
  }
  const Fixture f = make_fixture(type, moved);
  verify(f);
  const Runner run = it != kOps.end() ? runner_for(f, it->second) : olist_op->second;
  for (long i = 0; i < iterations; ++i) run(f);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The shape every figure is quoted for; the simulated platform reads these
  // once, at its first query.
  setenv("ZIM_MAX_NUM_NPUS", "4", 1);
  setenv("ZIM_NPD_SIZE", std::to_string(kNpdSize).c_str(), 1);
  unsetenv("ZIM_NPD_SIZES");
  if ((argc == 5 || argc == 6) && std::strcmp(argv[1], "--loop") == 0) {
    return run_loop(argv[2], argv[3], std::atol(argv[4]),
                    argc == 6 && std::strcmp(argv[5], "moved") == 0);
  }
  for (const char* t : kTypes) {
    const Fixture f = make_fixture(t, true);
    verify(f);
    std::map<std::string, Runner> runners;
    for (const auto& [name, op] : kOps) runners[name] = runner_for(f, op);
    if (std::strcmp(t, "olist") == 0) runners.insert(kOlistOps.begin(), kOlistOps.end());
    for (const auto& [name, fn] : runners) {
      benchmark::RegisterBenchmark((std::string(t) + "/" + name).c_str(),
                                   [f, fn = fn](benchmark::State& state) {
                                     for (auto _ : state) fn(f);
                                   });
    }
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios();
  benchmark::Shutdown();
  return 0;
}
