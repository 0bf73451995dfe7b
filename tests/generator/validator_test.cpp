// SPDX-License-Identifier: Apache-2.0
// The rules of a folder of definitions, in process: each folder of bad_definitions/
// (see copy_defs) breaks one (the validator's, parser's, layout resolution's or the
// naming's) and holds its exact messages, paths as a run in the copy would give.
#include <gtest/gtest.h>

#include "gen/load/catalogue_loader.hpp"
#include "tablegen_runner.hpp"

namespace {

using namespace tablegen_test;

class BrokenRule : public CaseFolder {};

TEST_P(BrokenRule, GivesItsExactMessages) {
  tablegen::Diagnostics diags;
  EXPECT_FALSE(tablegen::load_catalogue(tmp / "defs", diags));
  EXPECT_EQ(relative(printed(diags)), expected());
}

INSTANTIATE_TEST_SUITE_P(Folders, BrokenRule, testing::ValuesIn(case_folders(ZIM_BAD_DEFINITIONS)),
                         folder_name);

}  // namespace
