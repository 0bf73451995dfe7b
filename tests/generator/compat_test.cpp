// SPDX-License-Identifier: Apache-2.0
// The compatibility rules, in process: each folder of compat_changes/ (see
// copy_defs) makes a rule or a few fire, and holds the exact report of
// comparing the real catalogue, as "old", with that copy, as "defs".
#include "gen/manifest/compat.hpp"

#include <gtest/gtest.h>

#include "fingerprint_agreement.hpp"
#include "gen/load/catalogue_loader.hpp"
#include "tablegen_runner.hpp"

namespace {

using namespace tablegen_test;

class CompatRule : public CaseFolder {};

TEST_P(CompatRule, FindsItsChangesAtTheirLines) {
  fs::create_directory_symlink(kDefs, tmp / "old");
  tablegen::Diagnostics diags;
  std::ostringstream report;
  const auto older = tablegen::load_layouts(tmp / "old", diags);
  const auto newer = tablegen::load_layouts(tmp / "defs", diags);
  const bool breaking = older && newer && tablegen::compare_catalogues(*older, *newer, report);
  ASSERT_TRUE(older && newer) << printed(diags);
  EXPECT_EQ(relative(report.str()), expected());  // as in tmp
  EXPECT_EQ(breaking, expected().find(": breaking: ") != std::string::npos);
  EXPECT_EQ(tablegen_test::fingerprint_disagreement(*older, *newer), "");
}

INSTANTIATE_TEST_SUITE_P(Folders, CompatRule, testing::ValuesIn(case_folders(ZIM_COMPAT_CHANGES)),
                         folder_name);

// Against a manifest, a type gone is reported at its record there.
TEST(CompatRule, AgainstAManifestATypeGoneIsAtItsRecord) {
  TempDir tmp;
  tablegen::Diagnostics diags;
  const auto older = tablegen::load_layouts(ZIM_MANIFEST, diags);
  const auto newer =
      tablegen::load_layouts(copy_defs(tmp, fs::path(ZIM_COMPAT_CHANGES) / "type_removed"), diags);
  std::ostringstream report;
  EXPECT_TRUE(older && newer && tablegen::compare_catalogues(*older, *newer, report));
  EXPECT_EQ(report.str(), ZIM_MANIFEST
            ":8903: breaking: type 'fhrp' (table id 342) removed: "
            "processes on the old catalogue still create and read its objects\n");
}

}  // namespace
