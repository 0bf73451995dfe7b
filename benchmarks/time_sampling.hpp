// SPDX-License-Identifier: Apache-2.0
// How the wall-time benchmarks take a sample: a loop of as many calls as make
// about kSampleNs, its time divided by the calls. run(reps) makes reps calls.
#ifndef ZIM_BENCHMARKS_TIME_SAMPLING_HPP
#define ZIM_BENCHMARKS_TIME_SAMPLING_HPP

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace zim_bench {

constexpr double kSampleNs = 30000;

template <typename Run>
double ns_per_call(const Run& run, uint64_t reps) {
  const auto start = std::chrono::steady_clock::now();
  run(reps);
  const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
  return took.count() / static_cast<double>(reps);
}

// The fastest of a few loops: a loop cut by another task's time slice only
// reads slower, so the least time is the one nearest the calls' own.
template <typename Run>
double fastest_ns_per_call(const Run& run, uint64_t reps) {
  double fastest = ns_per_call(run, reps);
  for (int i = 1; i < 5; ++i) fastest = std::min(fastest, ns_per_call(run, reps));
  return fastest;
}

// The calls that make a sample of about kSampleNs. A loop slowed by another
// task while calibrating would leave too few calls a sample, and the clock's
// own cost (some 25 ns a reading) in every call's time: the growth stops at
// a loop long enough for the clock, and the count comes from the fastest of
// a few such loops.
template <typename Run>
uint64_t calibrate(const Run& run) {
  run(1);  // first touches stay out
  uint64_t reps = 1;
  while (reps < (uint64_t{1} << 24) &&
         fastest_ns_per_call(run, reps) * static_cast<double>(reps) < kSampleNs / 10)
    reps *= 4;
  const double per_call = fastest_ns_per_call(run, reps);
  return std::max<uint64_t>(1, static_cast<uint64_t>(kSampleNs / std::max(per_call, 0.01)));
}

}  // namespace zim_bench

#endif  // ZIM_BENCHMARKS_TIME_SAMPLING_HPP
