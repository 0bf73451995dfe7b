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
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "time_contenders.hpp"
#include "time_rows.hpp"
#include "time_sampling.hpp"
#include "time_stats.hpp"

namespace {

using zim_bench::Calls;
using zim_bench::Contender;
using zim_bench::MedianInterval;
using zim_bench::Timed;
using zim_bench::TimedOperation;

constexpr int kMinRounds = 21;
constexpr int kMaxRounds = 201;
constexpr double kEnough = 0.02;

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
    reps[c] = zim_bench::calibrate([&, c](uint64_t r) { loops[c](t, *calls[c], r); });
  }
  const bool base = who[kBaseline] != nullptr, floor = who[kFloor] != nullptr;
  std::vector<double> times[kContenders], to_sf, to_base, to_floor, floor_to_base;
  Row row;
  while (row.rounds < kMaxRounds) {
    double now[kContenders] = {};
    for (size_t j = 0; j < present.size(); ++j) {
      const size_t c = present[(static_cast<size_t>(row.rounds) + j) % present.size()];
      now[c] = zim_bench::ns_per_call([&](uint64_t r) { loops[c](t, *calls[c], r); }, reps[c]);
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
  const zim_bench::TimeArgs args =
      zim_bench::time_args("zim_tables_time_bench", argc, argv, {0, 1, 8, 100});
  zim_bench::pin_to_core("zim_tables_time_bench", args.cpu);
  for (const zim_bench::Case& c : args.cases) run_fixture(c.type->name, c.count);
  return 0;
}
