// SPDX-License-Identifier: Apache-2.0
// The compatibility rules, in process: each folder of compat_changes/ (see
// copy_defs) makes a rule or a few fire, and holds the exact report of
// comparing the real catalogue (with the definitions of its folder old/ in
// place of theirs), as "old", with that copy, as "defs"; and in its file
// `migration`, what migrating the objects of each table id would refuse and
// drop (no file: nothing). Optional files: `expected_both_ways`, the report
// with the rollback's verdicts; `old_client`, what a program of either
// layout is told when it meets a pool of the other.
#include "gen/manifest/compat.hpp"

#include <gtest/gtest.h>

#include <map>

#include "codec/fingerprint.hpp"
#include "codec/layout_record.hpp"
#include "codec/migration_plan.hpp"
#include "codec/record_difference.hpp"
#include "fingerprint_agreement.hpp"
#include "gen/load/catalogue_loader.hpp"
#include "tablegen_runner.hpp"

namespace {

using namespace tablegen_test;
using zim_codec::TypeLayout;

std::string migration(const std::vector<TypeLayout>& older, const std::vector<TypeLayout>& newer) {
  std::string out;
  for (const TypeLayout& was : older) {
    for (const TypeLayout& is : newer) {
      if (is.table_id != was.table_id) continue;
      const zim_codec::MigrationPlan plan = zim_codec::plan_migration(was, is);
      for (const auto& line : plan.refusals) out += "refused: " + line + "\n";
      for (const auto& line : plan.dropped) out += "dropped: " + line + "\n";
    }
  }
  return out;
}

// The pool's handshake refusal of each type whose layout changed, for an old
// program meeting a pool the new layout wrote, then the reverse.
std::string client_refusals(const std::vector<TypeLayout>& older,
                            const std::vector<TypeLayout>& newer) {
  std::string out;
  for (const TypeLayout& was : older) {
    for (const TypeLayout& is : newer) {
      if (is.table_id != was.table_id || is.name != was.name ||
          zim_codec::layout_fingerprint(is) == zim_codec::layout_fingerprint(was))
        continue;
      const std::string old_record = zim_codec::layout_record(was),
                        new_record = zim_codec::layout_record(is);
      out += "old program: " + zim_codec::first_breaking_difference(new_record, old_record) + "\n";
      out += "new program: " + zim_codec::first_breaking_difference(old_record, new_record) + "\n";
    }
  }
  return out;
}

std::string verdicts_seen(const std::string& report) {
  return report.find(": breaking, not migrated") != std::string::npos ? "not migrated"
         : report.find(": breaking, migrated") != std::string::npos   ? "migrated"
                                                                      : "compatible";
}

class CompatRule : public CaseFolder {};

TEST_P(CompatRule, FindsItsChangesAtTheirLines) {
  const fs::path case_dir = GetParam(), old = tmp / "old";
  if (fs::exists(case_dir / "old")) {
    fs::copy(kDefs, old);
    fs::copy(case_dir / "old", old,
             fs::copy_options::overwrite_existing | fs::copy_options::recursive);
  } else {
    fs::create_directory_symlink(kDefs, old);
  }
  tablegen::Diagnostics diags;
  std::ostringstream report, both_ways;
  const auto older = tablegen::load_layouts(old, diags);
  const auto newer = tablegen::load_layouts(tmp / "defs", diags);
  ASSERT_TRUE(older && newer) << printed(diags);
  using V = tablegen::CompatVerdict;
  const V verdict = tablegen::compare_catalogues(*older, *newer, report);
  EXPECT_EQ(relative(report.str()), expected());  // as in tmp
  // The worst line decides, and --both-ways changes no forward verdict.
  const std::map<std::string, V> kVerdicts{{"compatible", V::kCompatible},
                                           {"migrated", V::kBreakingMigrated},
                                           {"not migrated", V::kBreakingNotMigrated}};
  EXPECT_EQ(verdict, kVerdicts.at(verdicts_seen(expected())));
  EXPECT_EQ(tablegen::compare_catalogues(*older, *newer, both_ways, true), verdict);
  if (fs::exists(case_dir / "expected_both_ways")) {
    EXPECT_EQ(relative(both_ways.str()), read(case_dir / "expected_both_ways"));
  }
  EXPECT_EQ(tablegen_test::fingerprint_disagreement(*older, *newer), "");
  EXPECT_EQ(migration(*older, *newer), read(case_dir / "migration"));
  if (fs::exists(case_dir / "old_client")) {
    EXPECT_EQ(client_refusals(*older, *newer), read(case_dir / "old_client"));
  }
}

// One change of a pair of fields a row: what migrating objects makes of it.
TEST(MigrationRule, CarriesWhatEveryObjectKeeps) {
  using zim_codec::FieldLayout;
  using zim_codec::ItemKind;
  using U = zim_codec::Uncarried;
  const auto field = [](ItemKind kind, uint32_t offset, uint32_t width, uint32_t run = 1,
                        const char* name = "x", uint32_t flag_at = 300) {
    FieldLayout f;
    static_cast<zim_codec::FieldShape&>(f) = {kind, offset, width, run};
    f.name = name;
    f.flag_at = flag_at;
    return f;
  };
  const auto in = ItemKind::kInline, counted = ItemKind::kCountedArray;
  const FieldLayout x = field(in, 208, 8), run = field(in, 208, 8, 2),
                    array = field(counted, 232, 8);
  const struct {
    std::optional<FieldLayout> was, is;
    bool by_number;
    std::optional<U> rule;
  } kRows[] = {
      {x, field(in, 216, 8, 1, "x", 310), false, std::nullopt},
      {x, field(in, 208, 8, 1, "", 301), true, std::nullopt},
      {x, field(in, 216, 8, 1, ""), true, U::kUnnamedChanged},
      {x, field(in, 208, 16), false, std::nullopt},
      {x, field(in, 208, 4), false, U::kNarrowed},
      {x, run, false, std::nullopt},
      {run, x, false, U::kRunShortened},
      {array, field(counted, 232, 16), false, std::nullopt},
      {array, field(counted, 232, 4), false, U::kNarrowed},
      {array, field(ItemKind::kPerNpuArray, 232, 8), false, U::kArrayKind},
      {x, field(counted, 208, 8), false, U::kInlineArray},
      {x, std::nullopt, false, std::nullopt},
      {field(in, 208, 8, 1, ""), std::nullopt, false, U::kUnnamedChanged},
      {std::nullopt, field(in, 208, 8, 1, ""), false, std::nullopt},
  };
  for (const auto& row : kRows) {
    const zim_codec::FieldPair pair{row.was ? &*row.was : nullptr, row.is ? &*row.is : nullptr, 1,
                                    1, row.by_number};
    EXPECT_EQ(zim_codec::uncarried_change(pair), row.rule)
        << (row.was ? item_text(*row.was) : "") << " -> " << (row.is ? item_text(*row.is) : "");
  }
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
  ASSERT_TRUE(older && newer);
  EXPECT_EQ(tablegen::compare_catalogues(*older, *newer, report),
            tablegen::CompatVerdict::kBreakingNotMigrated);
  EXPECT_EQ(report.str(),
            "fhrp (table id 342): breaking, not migrated\n\n" ZIM_MANIFEST
            ":8903: breaking, not migrated: type 'fhrp' (table id 342) removed: processes on the "
            "old catalogue still create and read its objects; a removed type's objects cannot be "
            "converted, only retired\n");
}

}  // namespace
