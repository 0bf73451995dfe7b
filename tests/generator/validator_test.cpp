// SPDX-License-Identifier: Apache-2.0
// The rules a folder of definitions must keep, in process. Each folder of
// bad_definitions/ breaks one (of the validator's, the parser's, layout
// resolution's or the naming's) in a copy of the real definitions: its
// definitions replace the real ones of the same name or join them, the real
// ones its file `removes` names are left out, and `expected` holds the exact
// messages of loading the copy as the folder "defs".
#include <gtest/gtest.h>

#include "gen/load/catalogue_loader.hpp"
#include "stages.hpp"

namespace {

using namespace tablegen_test;

class BrokenRule : public testing::TestWithParam<std::string> {};

TEST_P(BrokenRule, GivesItsExactMessages) {
  const fs::path dir = fs::path(ZIM_BAD_DEFINITIONS) / GetParam();
  TempDir tmp;
  copy_defs(tmp, dir);
  tablegen::Diagnostics diags;
  EXPECT_FALSE(in_folder(tmp.path, [&] { return tablegen::load_catalogue("defs", diags); }));
  EXPECT_EQ(printed(diags), read(dir / "expected"));
}

INSTANTIATE_TEST_SUITE_P(Folders, BrokenRule, testing::ValuesIn(entries(ZIM_BAD_DEFINITIONS)),
                         [](const auto& one) { return one.param; });

}  // namespace
