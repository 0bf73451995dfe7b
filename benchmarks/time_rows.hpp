// SPDX-License-Identifier: Apache-2.0
// What the wall-time benchmarks share around their samples: the rows asked
// for on the command line ([--cpu N] [TYPE | TYPE:COUNT]...) and the pinning
// of the process to one core.
#ifndef ZIM_BENCHMARKS_TIME_ROWS_HPP
#define ZIM_BENCHMARKS_TIME_ROWS_HPP

#include <cstdint>
#include <vector>

#include "zim/tables/catalogue.hpp"

namespace zim_bench {

// One (type, count) to measure: a fixture of its own.
struct Case {
  const zim_tables::catalogue::TableType* type;
  uint32_t count;  // 0 for a type that takes none
};

struct TimeArgs {
  int cpu;  // -1: the core the program starts on
  std::vector<Case> cases;
};

// The cases the arguments name, every type when they name none; a TYPE alone
// stands for each of counts (for a type that takes a count). Ends the program
// with status 2 and a usage line naming program on a bad argument.
TimeArgs time_args(const char* program, int argc, char** argv, const std::vector<uint32_t>& counts);

// Pins the process to cpu (-1: the core it runs on) and prints "# cpu N".
void pin_to_core(const char* program, int cpu);

}  // namespace zim_bench

#endif  // ZIM_BENCHMARKS_TIME_ROWS_HPP
