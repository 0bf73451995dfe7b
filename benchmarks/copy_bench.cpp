// Copy costs of representative table types against raw baselines.
//
//   read_dbobj   vs  memcpy of the whole object (same bytes, no field walk)
//   copy_ctor    vs  calloc + memcpy of the whole object
// (both copy loops release their result again: clnt_copy_dtor, free).
//
// Results are printed as ratios against the baseline measured in the same
// run. For instruction counts that repeat exactly, run one case under
// callgrind: `zim_tables_bench --loop TYPE OP ITERATIONS` with OP one of
// read_dbobj, memcpy, copy_ctor, calloc_memcpy; see benchmarks/callgrind.sh.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "zim/tables/catalogue.hpp"

namespace {

namespace cat = zim_tables::catalogue;

struct bench_case {
  const char* type;
  uint32_t count;
};

// Small and large fixed parts, many fields, a 7001-byte block, per-NPU and
// counted arrays (up to 53 of them).
const bench_case kCases[] = {
    {"testglobaldiscard", 0}, {"l2if", 0},   {"tmport", 0},    {"rawget", 0},
    {"test_if", 0},           {"olist", 16}, {"ipnhgroup", 16}};

struct fixture {
  const cat::table_type* type;
  void* src;
  void* dst;
  uint32_t size;
};

uint32_t object_size(const void* obj) {
  uint32_t size;
  std::memcpy(&size, static_cast<const unsigned char*>(obj) + ZIM_OBJ_TOTAL_SIZE_OFFSET,
              sizeof size);
  return size;
}

// Objects in the heap, their data bytes filled, so every copy moves real data.
fixture make_fixture(const bench_case& c) {
  const cat::table_type* type = cat::find(c.type);
  if (type == nullptr) {
    std::fprintf(stderr, "zim_tables_bench: no type %s\n", c.type);
    std::exit(2);
  }
  void* src = type->ops.srv_ctor(c.count);
  void* dst = type->ops.srv_ctor(c.count);
  auto* bytes = static_cast<unsigned char*>(src);
  for (uint32_t i = 0; i < type->field_count; ++i) {
    const cat::field_item& f = type->fields[i];
    if (f.kind == cat::item_kind::inline_run) {
      std::memset(bytes + f.offset, 0x5a, f.width * f.repeat);
      std::memset(bytes + f.flag_at, 1, f.repeat);
    }
  }
  return {type, src, dst, object_size(src)};
}

// A copy that is fast but wrong fails the run instead of winning it.
void verify_copy(const fixture& f) {
  for (uint32_t i = 0; i < f.type->field_count; ++i) {
    const cat::field_item& item = f.type->fields[i];
    if (item.kind != cat::item_kind::inline_run) continue;
    const auto* s = static_cast<const unsigned char*>(f.src);
    const auto* d = static_cast<const unsigned char*>(f.dst);
    if (std::memcmp(s + item.offset, d + item.offset, item.width * item.repeat) != 0 ||
        std::memcmp(s + item.flag_at, d + item.flag_at, item.repeat) != 0) {
      std::fprintf(stderr, "zim_tables_bench: %s copied wrongly\n", f.type->name);
      std::exit(1);
    }
  }
}

__attribute__((noinline)) void run_read_dbobj(const fixture& f) {
  f.type->ops.read_dbobj(f.src, f.dst);
}
__attribute__((noinline)) void run_memcpy(const fixture& f) { std::memcpy(f.dst, f.src, f.size); }
__attribute__((noinline)) void run_copy_ctor(const fixture& f) {
  void* copy = f.type->ops.copy_ctor(f.src);
  benchmark::DoNotOptimize(copy);
  f.type->ops.clnt_copy_dtor(copy);
}
__attribute__((noinline)) void run_calloc_memcpy(const fixture& f) {
  void* copy = std::calloc(1, f.size);
  std::memcpy(copy, f.src, f.size);
  benchmark::DoNotOptimize(copy);
  std::free(copy);
}

using runner = void (*)(const fixture&);
const std::map<std::string, runner> kOps = {{"read_dbobj", run_read_dbobj},
                                            {"memcpy", run_memcpy},
                                            {"copy_ctor", run_copy_ctor},
                                            {"calloc_memcpy", run_calloc_memcpy}};

// Collects the mean time per iteration of every run, by name.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        ns_[run.benchmark_name()] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void print_ratios() const {
    std::printf("\n%-18s %13s %13s\n", "type", "read/memcpy", "ctor/calloc");
    for (const auto& c : kCases) {
      const std::string t = c.type;
      std::printf("%-18s %13.2f %13.2f\n", c.type, ratio(t + "/read_dbobj", t + "/memcpy"),
                  ratio(t + "/copy_ctor", t + "/calloc_memcpy"));
    }
  }

 private:
  double ratio(const std::string& op, const std::string& base) const {
    const auto a = ns_.find(op), b = ns_.find(base);
    return a == ns_.end() || b == ns_.end() || b->second == 0 ? 0 : a->second / b->second;
  }
  std::map<std::string, double> ns_;
};

int run_loop(const char* type, const char* op, long iterations) {
  for (const auto& c : kCases) {
    if (std::strcmp(c.type, type) != 0) continue;
    const auto it = kOps.find(op);
    if (it == kOps.end()) break;
    const fixture f = make_fixture(c);
    run_read_dbobj(f);
    verify_copy(f);
    for (long i = 0; i < iterations; ++i) it->second(f);
    return 0;
  }
  std::fprintf(stderr, "zim_tables_bench: unknown case %s %s\n", type, op);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--loop") == 0) {
    return run_loop(argv[2], argv[3], std::atol(argv[4]));
  }
  for (const auto& c : kCases) {
    const fixture f = make_fixture(c);
    run_read_dbobj(f);
    verify_copy(f);
    for (const auto& [name, fn] : kOps) {
      benchmark::RegisterBenchmark((std::string(c.type) + "/" + name).c_str(),
                                   [f, fn = fn](benchmark::State& state) {
                                     for (auto _ : state) fn(f);
                                   });
    }
  }
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios();
  benchmark::Shutdown();
  return 0;
}
