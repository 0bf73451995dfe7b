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

// Ranks j and k (1-based) with P(X(j) <= median <= X(k)) >= 95% for n values,
// by the normal approximation of the binomial: n/2 -+ 1.96 sqrt(n)/2.
inline MedianInterval median_interval(std::vector<double> values) {
  const size_t n = values.size();
  if (n == 0) return {0, 0, 0};
  std::sort(values.begin(), values.end());
  const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  const double spread = 1.96 * std::sqrt(static_cast<double>(n)) / 2;
  const auto low_rank = static_cast<long>(std::floor(n / 2.0 - spread));
  const auto high_rank = static_cast<long>(std::ceil(n / 2.0 + 1 + spread));
  const size_t low = static_cast<size_t>(std::clamp(low_rank, 1L, static_cast<long>(n))) - 1;
  const size_t high = static_cast<size_t>(std::clamp(high_rank, 1L, static_cast<long>(n))) - 1;
  return {median, values[low], values[high]};
}

// How far the interval reaches from the median, as a fraction of it (0.02:
// within +-2%).
inline double relative_half_width(const MedianInterval& m) {
  if (m.median <= 0) return INFINITY;
  return std::max(m.high / m.median - 1, 1 - m.low / m.median);
}

}  // namespace zim_bench

#endif  // ZIM_BENCHMARKS_TIME_STATS_HPP
