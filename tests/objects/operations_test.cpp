// SPDX-License-Identifier: Apache-2.0
// Every operation of every type on the objects that one seed of
// tests/fuzz/operations_corpus describes (N, NPD sizes, counts above, below
// and equal to the destination's, hooks, source pointers at their own
// storage, null, outside or elsewhere in it), the seed's table id replaced.
// One case per seed, named by its file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "case_name.hpp"
#include "object_model.hpp"

namespace zim_test {
namespace {

std::vector<std::string> seeds() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(ZIM_OPERATIONS_CORPUS)) {
    names.push_back(entry.path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class OperationsSeed : public testing::TestWithParam<std::string> {};

TEST_P(OperationsSeed, EveryType) {
  std::ifstream in(std::string(ZIM_OPERATIONS_CORPUS "/") + GetParam(), std::ios::binary);
  Bytes seed{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_GE(seed.size(), 2u);
  for (const RefType& t : reference()) {
    seed[0] = static_cast<unsigned char>(t.id);
    seed[1] = static_cast<unsigned char>(t.id >> 8);
    EXPECT_EQ(run_operations(seed.data(), seed.size()), "") << t.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, OperationsSeed, testing::ValuesIn(seeds()),
                         [](const auto& one) { return case_name(one.param); });

}  // namespace
}  // namespace zim_test
