// SPDX-License-Identifier: Apache-2.0
// Definitions without offsets, flags_at and fixed_size, and their canonical
// form: the same layout as the platform's explicit ones, which --format gives
// back to the byte.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>

#include "tablegen_runner.hpp"

namespace {

using namespace tablegen_test;

// The platform's counted olist with every derivable number left out.
std::string offset_less_olist() {
  const std::string text =
      edited(read(kDefs / kOlist), {{"fixed_size 296\n", ""}, {"flags_at 264\n", ""}});
  return std::regex_replace(text, std::regex("field [0-9]+:"), "field ");
}

TEST(TablegenFormat, EveryPlatformDefinitionIsInCanonicalForm) {
  for (const fs::path& file : definitions(kDefs)) {
    const Result r = tablegen("--format " + quoted(file));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, read(file)) << file;
  }
}

TEST(TablegenFormat, LeftOutOffsetsAreTheRulesOnesInEveryOutput) {
  TempDir tmp;
  const fs::path defs = copy_defs(tmp), olist = defs / kOlist;
  write(olist, offset_less_olist());
  EXPECT_EQ(tablegen("--format " + quoted(olist)).output, read(kDefs / kOlist));
  const Result compat = tablegen("--compat " + quoted(kDefs) + " " + quoted(defs));
  EXPECT_EQ(compat.status, 0);
  EXPECT_EQ(compat.output, "");
  ASSERT_EQ(tablegen(quoted(defs) + " " + quoted(tmp / "out")).status, 0);
  EXPECT_EQ(read(tmp / "out/zim_tables.manifest"), tablegen("--manifest " + quoted(kDefs)).output);
}

// Only a file whose text changes is replaced, keeping its mode; an unchanged
// one keeps its bytes and modification time, and a bad definition stops all.
TEST(TablegenFormat, WriteRewritesOnlyWhatChanges) {
  TempDir tmp;
  const fs::path defs = copy_defs(tmp), olist = defs / kOlist, global = defs / kGlobal;
  write(olist, offset_less_olist());
  fs::permissions(olist, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const auto past = fs::file_time_type::clock::now() - std::chrono::hours(1);
  for (const fs::path& file : definitions(defs)) fs::last_write_time(file, past);
  const std::string bad = edited(read(global), {{"field 208:8", "field 207:8"}});
  write(global, bad);
  EXPECT_EQ(tablegen("--format --write " + quoted(defs)).status, 1);
  EXPECT_EQ(read(olist), offset_less_olist());
  write(global, read(kDefs / kGlobal));
  fs::last_write_time(global, past);
  const Result r = tablegen("--format --write " + quoted(olist) + " " + quoted(defs));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(read(olist), read(kDefs / kOlist));
  EXPECT_EQ(fs::status(olist).permissions(), fs::perms(0640));
  for (const fs::path& file : definitions(defs)) {
    EXPECT_TRUE(file == olist || fs::last_write_time(file) == past) << file;
  }
  EXPECT_EQ(entries(defs), entries(kDefs)) << "a temporary file was left";
}

}  // namespace
