// SPDX-License-Identifier: Apache-2.0
// Every operation of every type in wall time, the library's against the
// straightforward build's and against its baseline (one memcpy of the bytes
// it moves, or calloc and free), in one process pinned to one core.
// benchmarks/all_types_time.sh runs it twice, repeats the rows that lose and
// turns the rows into the table.
//
//   zim_tables_time_bench [--cpu N] [TYPE | TYPE:COUNT]...
//
// Each (type, count) has one fixture, made once and reused by every
// contender. Per operation, each contender is calibrated to about 30 us a
// sample; then rounds run the contenders in rotating order, each round
// giving one ratio library / straightforward and one library / baseline,
// until the 95% interval of every median lies within +-2% (at least 21
// rounds, at most 201). The constructor, the data copy and the copy also
// run their floors (benchmarks/floor_gen.cpp) in the rounds. One line per
// operation:
//
//   TYPE COUNT OP ROUNDS LIB_NS SF_NS BASE_NS SF_RATIO SF_LOW SF_HIGH BASE_RATIO BASE_LOW BASE_HIGH
//     FLOOR_NS FLOOR_RATIO FLOOR_LOW FLOOR_HIGH FLOOR_BASE_RATIO SIZE
//
// COUNT is "-" for a type that takes none, the BASE fields "-" for an
// operation without a baseline, the FLOOR fields for one without a floor;
// FLOOR_RATIO is library / floor, FLOOR_BASE_RATIO floor / baseline, SIZE
// the object's bytes. N = 4, NPD size 16.
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "time_contenders.hpp"
#include "time_stats.hpp"

namespace {

using zim_bench::Calls;
using zim_bench::Contender;
using zim_bench::MedianInterval;
using zim_bench::Timed;
using zim_bench::TimedOperation;
namespace cat = zim_tables::catalogue;

constexpr uint32_t kCounts[] = {0, 1, 8, 100};
constexpr double kSampleNs = 30000;
constexpr int kMinRounds = 21;
constexpr int kMaxRounds = 201;
constexpr double kEnough = 0.02;

double ns_per_call(zim_bench::Loop loop, const Timed& t, const Calls& calls, uint64_t reps) {
  const auto start = std::chrono::steady_clock::now();
  loop(t, calls, reps);
  const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
  return took.count() / static_cast<double>(reps);
}

// The fastest of a few loops: a loop cut by another task's time slice only
// reads slower, so the least time is the one nearest the calls' own.
double fastest_ns_per_call(zim_bench::Loop loop, const Timed& t, const Calls& calls,
                           uint64_t reps) {
  double fastest = ns_per_call(loop, t, calls, reps);
  for (int i = 1; i < 5; ++i) fastest = std::min(fastest, ns_per_call(loop, t, calls, reps));
  return fastest;
}

// The calls that make a sample of about kSampleNs. A loop slowed by another
// task while calibrating would leave too few calls a sample, and the clock's
// own cost (some 25 ns a reading) in every call's time: the growth stops at
// a loop long enough for the clock, and the count comes from the fastest of
// a few such loops.
uint64_t calibrate(zim_bench::Loop loop, const Timed& t, const Calls& calls) {
  loop(t, calls, 1);  // first touches stay out
  uint64_t reps = 1;
  while (reps < (uint64_t{1} << 24) &&
         fastest_ns_per_call(loop, t, calls, reps) * static_cast<double>(reps) < kSampleNs / 10)
    reps *= 4;
  const double per_call = fastest_ns_per_call(loop, t, calls, reps);
  return std::max<uint64_t>(1, static_cast<uint64_t>(kSampleNs / std::max(per_call, 0.01)));
}

struct Row {
  int rounds = 0;
  MedianInterval ns[4]{};  // library, straightforward, baseline, floor
  MedianInterval to_sf{}, to_base{}, to_floor{}, floor_to_base{};
};

enum Contenders : size_t { kLibrary, kStraightforward, kBaseline, kFloor, kContenders };

bool known_within(const MedianInterval& ratio, bool measured) {
  return !measured || zim_bench::relative_half_width(ratio) <= kEnough;
}

// Rounds of the contenders in rotating order until every ratio's median is
// known within kEnough (or kMaxRounds).
Row measure(const Timed& t, const TimedOperation& op) {
  const bool counted = t.f.type->takes_count();
  const Contender* who[kContenders] = {&op.operation, &op.operation, op.baseline,
                                       op.has_floor ? &op.operation : nullptr};
  const Calls* calls[kContenders] = {&t.library, &t.straightforward, &t.library, &t.floor};
  std::vector<size_t> present;
  zim_bench::Loop loops[kContenders]{};
  uint64_t reps[kContenders]{};
  for (size_t c = 0; c < kContenders; ++c) {
    if (who[c] == nullptr) continue;
    present.push_back(c);
    loops[c] = counted ? who[c]->counted : who[c]->uncounted;
    reps[c] = calibrate(loops[c], t, *calls[c]);
  }
  const bool base = who[kBaseline] != nullptr, floor = who[kFloor] != nullptr;
  std::vector<double> times[kContenders], to_sf, to_base, to_floor, floor_to_base;
  Row row;
  while (row.rounds < kMaxRounds) {
    double now[kContenders] = {};
    for (size_t j = 0; j < present.size(); ++j) {
      const size_t c = present[(static_cast<size_t>(row.rounds) + j) % present.size()];
      now[c] = ns_per_call(loops[c], t, *calls[c], reps[c]);
      times[c].push_back(now[c]);
    }
    to_sf.push_back(now[kLibrary] / now[kStraightforward]);
    if (base) to_base.push_back(now[kLibrary] / now[kBaseline]);
    if (floor) to_floor.push_back(now[kLibrary] / now[kFloor]);
    if (floor) floor_to_base.push_back(now[kFloor] / now[kBaseline]);
    if (++row.rounds < kMinRounds) continue;
    row.to_sf = zim_bench::median_interval(to_sf);
    row.to_base = zim_bench::median_interval(to_base);
    row.to_floor = zim_bench::median_interval(to_floor);
    row.floor_to_base = zim_bench::median_interval(floor_to_base);
    if (known_within(row.to_sf, true) && known_within(row.to_base, base) &&
        known_within(row.to_floor, floor))
      break;
  }
  for (const size_t c : present) row.ns[c] = zim_bench::median_interval(times[c]);
  return row;
}

void print(const Timed& t, const TimedOperation& op, const Row& row) {
  const std::string count = t.f.type->takes_count() ? std::to_string(t.f.count) : "-";
  std::printf("%s %s %s %d %.2f %.2f ", t.f.type->name, count.c_str(), op.name, row.rounds,
              row.ns[kLibrary].median, row.ns[kStraightforward].median);
  if (op.baseline == nullptr) {
    std::printf("- %.4f %.4f %.4f - - -", row.to_sf.median, row.to_sf.low, row.to_sf.high);
  } else {
    std::printf("%.2f %.4f %.4f %.4f %.4f %.4f %.4f", row.ns[kBaseline].median, row.to_sf.median,
                row.to_sf.low, row.to_sf.high, row.to_base.median, row.to_base.low,
                row.to_base.high);
  }
  if (op.has_floor) {
    std::printf(" %.2f %.4f %.4f %.4f %.4f", row.ns[kFloor].median, row.to_floor.median,
                row.to_floor.low, row.to_floor.high, row.floor_to_base.median);
  } else {
    std::printf(" - - - - -");
  }
  std::printf(" %u\n", t.f.size);
  std::fflush(stdout);
}

void pin(int cpu) {
  if (cpu < 0) cpu = sched_getcpu();
  if (cpu < 0 || cpu >= CPU_SETSIZE) {
    std::fprintf(stderr, "zim_tables_time_bench: no core %d to pin to\n", cpu);
    std::exit(2);
  }
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (sched_setaffinity(0, sizeof set, &set) != 0) {
    std::perror("zim_tables_time_bench: sched_setaffinity");
    std::exit(2);
  }
  std::printf("# cpu %d\n", cpu);
}

struct Wanted {
  const cat::TableType* type;
  long count;  // -1: every count the type takes
};

[[noreturn]] void usage() {
  std::fprintf(stderr, "usage: zim_tables_time_bench [--cpu N] [TYPE | TYPE:COUNT]...\n");
  std::exit(2);
}

long number(const char* text) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < 0 || value > 65535) usage();
  return value;
}

const cat::TableType* known_type(const std::string& name) {
  const cat::TableType* type = cat::find(name.c_str());
  if (type == nullptr) {
    std::fprintf(stderr, "zim_tables_time_bench: no type %s\n", name.c_str());
    std::exit(2);
  }
  return type;
}

std::vector<Wanted> wanted_rows(int argc, char** argv, int& cpu) {
  std::vector<Wanted> rows;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--cpu") {
      if (++i == argc) usage();
      cpu = static_cast<int>(number(argv[i]));
    } else {
      const size_t colon = arg.find(':');
      rows.push_back({known_type(arg.substr(0, colon)),
                      colon == std::string::npos ? -1 : number(arg.c_str() + colon + 1)});
    }
  }
  if (rows.empty()) {
    for (size_t i = 0; i < cat::type_count; ++i) rows.push_back({&cat::types[i], -1});
  }
  return rows;
}

void run_fixture(const char* name, uint32_t count) {
  const zim_bench::Fixture f = zim_bench::make_fixture(name, true, count);
  zim_bench::verify(f);
  // On the heap, away from the stack the calls push to: loads of the
  // operations' pointers next to the return addresses just pushed cost time.
  const auto t = std::make_unique<const Timed>(zim_bench::make_timed(f));
  for (const TimedOperation& op : zim_bench::kTimedOperations) print(*t, op, measure(*t, op));
}

}  // namespace

int main(int argc, char** argv) {
  setenv("ZIM_MAX_NUM_NPUS", "4", 1);
  setenv("ZIM_NPD_SIZE", std::to_string(zim_bench::kNpdSize).c_str(), 1);
  unsetenv("ZIM_NPD_SIZES");
  int cpu = -1;
  const std::vector<Wanted> rows = wanted_rows(argc, argv, cpu);
  pin(cpu);
  for (const Wanted& w : rows) {
    const cat::TableType* type = w.type;
    if (!type->takes_count()) {
      run_fixture(type->name, 0);
    } else if (w.count >= 0) {
      run_fixture(type->name, static_cast<uint32_t>(w.count));
    } else {
      for (const uint32_t count : kCounts) run_fixture(type->name, count);
    }
  }
  return 0;
}
