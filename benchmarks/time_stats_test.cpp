// SPDX-License-Identifier: Apache-2.0
// The wall-time benchmark stops a row once the interval of its median is
// narrow enough: an interval that covers the median less often than it
// claims would stop rows early on noise.
#include "time_stats.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// P(X(low) <= median <= X(high)) for n values of a continuous distribution:
// the chance that between low and high - 1 of them fall below the median.
double coverage(size_t n, zim_bench::Ranks r) {
  double sum = 0;
  for (size_t below = r.low; below < r.high; ++below) {
    sum += std::exp(std::lgamma(n + 1.0) - std::lgamma(below + 1.0) - std::lgamma(n - below + 1.0) -
                    static_cast<double>(n) * std::log(2.0));
  }
  return sum;
}

TEST(MedianRanks, AreTheNarrowestSymmetricPairThatCoversNinetyFivePercent) {
  for (size_t n = 21; n <= 201; ++n) {
    const zim_bench::Ranks r = zim_bench::median_ranks(n);
    EXPECT_EQ(r.low + r.high, n + 1) << "n = " << n;
    EXPECT_GE(coverage(n, r), 0.95) << "n = " << n;
    EXPECT_LT(coverage(n, {r.low + 1, r.high - 1}), 0.95) << "n = " << n;
  }
}

TEST(MedianInterval, TakesTheMedianAndItsRanksFromUnsortedValues) {
  struct Case {
    std::vector<double> values;
    double median, low, high;
  };
  std::vector<double> descending;
  for (int v = 21; v >= 1; --v) descending.push_back(v);
  const Case cases[] = {
      {descending, 11, 6, 16},  // ranks 6 and 16 of 21
      {{4, 1, 3, 2}, 2.5, 1, 4},
      {{7}, 7, 7, 7},
  };
  for (const Case& c : cases) {
    const zim_bench::MedianInterval m = zim_bench::median_interval(c.values);
    EXPECT_EQ(m.median, c.median);
    EXPECT_EQ(m.low, c.low);
    EXPECT_EQ(m.high, c.high);
  }
  EXPECT_NEAR(zim_bench::relative_half_width({10, 9.9, 10.3}), 0.03, 1e-12);
}

}  // namespace
