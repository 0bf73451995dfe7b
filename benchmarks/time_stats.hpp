// SPDX-License-Identifier: Apache-2.0
// The median of a row's per-round ratios and its 95% interval, from order
// statistics alone: times on a loaded machine have long tails that no
// normal model fits, and the interval needs no model.
#ifndef ZIM_BENCHMARKS_TIME_STATS_HPP
#define ZIM_BENCHMARKS_TIME_STATS_HPP

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace zim_bench {

struct MedianInterval {
  double median;
  double low;   // the interval's bounds: the median lies between them with
  double high;  // 95% confidence, whatever the distribution
};

// The ranks (1-based) of the order statistics that hold the median of n
// values between them with 95% confidence: the symmetric pair j, n + 1 - j
// with the largest j for which fewer than j values fall below the median
// with a chance of 2.5% at most (a binomial tail with p = 1/2, summed exactly).
struct Ranks {
  size_t low, high;
};
inline Ranks median_ranks(size_t n) {
  const double all = std::lgamma(n + 1.0) - static_cast<double>(n) * std::log(2.0);
  double tail = 0;
  size_t low = 1;
  for (size_t below = 0; below < n; ++below) {
    tail += std::exp(all - std::lgamma(below + 1.0) - std::lgamma(n - below + 1.0));
    if (tail > 0.025) break;
    low = below + 1;
  }
  return {low, n + 1 - low};
}

inline MedianInterval median_interval(std::vector<double> values) {
  const size_t n = values.size();
  if (n == 0) return {0, 0, 0};
  std::sort(values.begin(), values.end());
  const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  const Ranks ranks = median_ranks(n);
  return {median, values[ranks.low - 1], values[ranks.high - 1]};
}

// How far the interval reaches from the median, as a fraction of it (0.02:
// within +-2%).
inline double relative_half_width(const MedianInterval& m) {
  if (m.median <= 0) return INFINITY;
  return std::max(m.high / m.median - 1, 1 - m.low / m.median);
}

}  // namespace zim_bench

#endif  // ZIM_BENCHMARKS_TIME_STATS_HPP
