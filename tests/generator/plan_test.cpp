// SPDX-License-Identifier: Apache-2.0
// The planner in process, on a type of each class (per-NPU and counted with arrays):
// its manifest record is the committed one, check lines and operations included.
#include "gen/layout/plan.hpp"

#include <gtest/gtest.h>

#include "case_name.hpp"
#include "gen/load/catalogue_loader.hpp"
#include "gen/manifest/manifest.hpp"
#include "tablegen_runner.hpp"

namespace {

using namespace tablegen_test;

// The record of type `id` in a manifest's text, the last one included.
std::string record(std::string manifest, const std::string& id) {
  manifest += "\n";
  const size_t at = manifest.find("\ntype " + id + " ");
  return at == std::string::npos ? "" : manifest.substr(at, manifest.find("\n\n", at) - at);
}

class Plan : public testing::TestWithParam<std::string> {};

TEST_P(Plan, GivesTheCommittedRecord) {
  tablegen::Diagnostics diags;
  const auto def = tablegen::read_definition_file(kDefs / GetParam(), diags);
  ASSERT_TRUE(def) << printed(diags);
  const std::string id = std::to_string(def->table_id);
  EXPECT_EQ(record(tablegen::manifest_text({tablegen::plan_layout(*def)}), id),
            record(read(ZIM_MANIFEST), id));
}

INSTANTIATE_TEST_SUITE_P(Classes, Plan,
                         testing::Values("003_testglobaldiscard.tdef", "292_ipmcmdtencap.tdef",
                                         "013_testzimstats.tdef", "268_olist.tdef",
                                         "211_pwenhgroup.tdef"),
                         [](const auto& one) { return zim_test::case_name(one.param); });

}  // namespace
