// Every operation of every type on the objects that each seed of
// tests/fuzz/operations_corpus describes (N, NPD sizes, counts above, below
// and equal to the destination's, hooks, source pointers at their own
// storage, null, outside or elsewhere in it), the seed's table id replaced.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "object_model.hpp"

namespace zim_test {
namespace {

TEST(Operations, EveryTypeOnEveryFuzzSeed) {
  std::vector<bytes> seeds;
  for (const auto& entry : std::filesystem::directory_iterator(ZIM_OPERATIONS_CORPUS)) {
    std::ifstream in(entry.path(), std::ios::binary);
    seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  ASSERT_GE(seeds.size(), 20u);
  for (const ref_type& t : reference()) {
    for (bytes& seed : seeds) {
      seed[0] = static_cast<unsigned char>(t.id);
      seed[1] = static_cast<unsigned char>(t.id >> 8);
      EXPECT_EQ(run_operations(seed.data(), seed.size()), "");
    }
  }
}

}  // namespace
}  // namespace zim_test
