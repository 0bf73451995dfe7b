// SPDX-License-Identifier: Apache-2.0
// The layout-manifest reader on the committed manifest and on damaged copies
// of it: what the generator writes reads back to itself, and every kind of
// damage is an error at its line, never a crash or a wrong layout.
#include "gen/manifest/manifest.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "case_name.hpp"
#include "codec/decimal.hpp"
#include "codec/item_syntax.hpp"
#include "codec/layout_record.hpp"
#include "codec/record_difference.hpp"
#include "codec/words.hpp"
#include "tablegen_runner.hpp"

namespace {

using tablegen_test::read;

const std::string& manifest() {
  static const std::string text = read(ZIM_MANIFEST);
  return text;
}

struct Read {
  std::optional<std::vector<zim_codec::TypeLayout>> layouts;
  std::string messages;
};

Read read_text(const std::string& text) {
  tablegen::Diagnostics diags;
  auto layouts = tablegen::read_manifest("m", text, diags);
  std::ostringstream out;
  diags.print(out);
  return {std::move(layouts), out.str()};
}

// The text with `from` replaced: its first occurrence from olist's record on,
// else the first; `from` must occur.
std::string edited(const std::string& from, const std::string& to) {
  std::string text = manifest();
  size_t at = text.find(from, text.find("\ntype 268 olist\n"));
  if (at == std::string::npos) at = text.find(from);
  if (at == std::string::npos) throw std::runtime_error("no '" + from + "' in the manifest");
  return text.replace(at, from.size(), to);
}

// The text without its fingerprint lines, for a change of id to reach the
// catalogue's rules.
std::string unfingerprinted(const std::string& text) {
  return std::regex_replace(text, std::regex("\n  fingerprint [0-9a-f]+"), "");
}

// olist's record, which the cases below damage.
const std::string kOlist = [] {
  const size_t at = manifest().find("type 268 olist\n");
  return manifest().substr(at, manifest().find("\n\n", at) + 1 - at);
}();

// The committed manifest, and again between blank lines of other whitespace.
TEST(Manifest, WhatTheGeneratorWroteReadsBackToItself) {
  for (const std::string& text :
       {manifest(), "\f\n\v\n \t\r\n" + edited("\ntype 1 ", "\n\f\v\ntype 1 ")}) {
    const Read r = read_text(text);
    ASSERT_TRUE(r.layouts) << r.messages;
    ASSERT_EQ(r.layouts->size(), 343u);
    EXPECT_EQ(tablegen::manifest_text(*r.layouts), manifest());
    for (size_t id = 0; id < r.layouts->size(); ++id) EXPECT_EQ((*r.layouts)[id].table_id, id);
  }
  // The released catalogue still reads under today's rules.
  EXPECT_TRUE(read_text(read(ZIM_RELEASED_MANIFEST)).layouts);
}

// One damage per row, in olist's record (lines 7286 to 7305) or elsewhere, and the error it must
// give at its line (0: anywhere).
struct Damage {
  std::string what, text;
  int line;
  std::string message;
};
// Listed by what it is, not as the bytes of the struct.
void PrintTo(const Damage& d, std::ostream* out) { *out << d.what; }

// Damage within olist's record: bytes, words and numbers.
std::vector<Damage> damaged_words() {
  const std::string size = "  fixed_size 296\n";
  const std::string arrays =
      "  array 232 counted elem 8 flag_ptr 272\n  array 240 counted elem 8 flag_ptr 280\n";
  return {
      // clang-format off
      {"a fingerprint not the layout's",
       edited("  fingerprint 9a6a385a4c63dda6\n", "  fingerprint 9a6a385a4c63dda7\n"),
       7287, "fingerprint 9a6a385a4c63dda7 is not the layout's, 9a6a385a4c63dda6"},
      {"a NUL byte",
       edited(size, std::string("  fixed_size 296\0\n", 18)),
       7289, "unexpected byte \\x00"},
      {"an escape in a name",
       edited("type 268 olist\n", "type 268 ol\x1b[7mist\n"),
       7286, "unexpected byte \\x1b"},
      {"a word only",
       edited("  class counted\n" + size, "  class counted\n  fixed_size\n"),
       7289, "malformed 'fixed_size' line"},
      {"a leading zero",
       edited(size, "  fixed_size 0296\n"),
       7289, "fixed size '0296' is not a plain decimal number"},
      {"element sizes no object holds",
       edited(arrays, "  array 232 counted elem 4294967295 flag_ptr 272\n"
                      "  array 240 counted elem 4294967295 flag_ptr 280\n"),
       7296, "element size '4294967295' is larger than"},
      {"two arrays past 32 bits",
       edited(arrays, "  array 232 counted elem 2147483647 flag_ptr 272\n"
                      "  array 240 counted elem 2147483647 flag_ptr 280\n"),
       7297, "more than a 32-bit object holds"},
      {"a malformed field name",
       edited("run 1 flag 289\n", "run 1 flag 289 name Bad\n"),
       7299, "field name 'Bad' must be"},
      {"an old name the field's own",
       edited("run 1 flag 289\n", "run 1 flag 289 name a was a\n"),
       7299, "field 'a' was 'a': an old name differs from the field's own"},
      // clang-format on
  };
}

// Damage within olist's record: facts that its fields do not give.
std::vector<Damage> damaged_facts() {
  const std::string size = "  fixed_size 296\n", wisp = "  wisp 785 786 787 785 786 787\n";
  return {
      // clang-format off
      {"a class its fields do not fit",
       edited("  class counted\n", "  class per_npu\n"),
       7288, "class per_npu needs at least one per-NPU array field"},
      {"a fixed size the fields do not give",
       edited(size, "  fixed_size 304\n"),
       7289, "fixed size must be 296"},
      {"a moved presence flag",
       edited("run 1 flag 288\n", "run 1 flag 287\n"),
       7298, "must be at 288, not 287"},
      {"a moved flag pointer",
       edited("elem 8 flag_ptr 280\n", "elem 8 flag_ptr 288\n"),
       7297, "must be at 280, not 288"},
      {"a moved npd_present",
       edited("  npd_present 290\n", "  npd_present 291\n"),
       7300, "npd_present must be at 290"},
      {"arrays out of order in 'dynamic'",
       edited("  dynamic 232 240\n", "  dynamic 240 232\n"),
       7301, "'dynamic' must list the data pointers in field order: 232 240"},
      {"a check line off by one",
       edited("  check alloc 256 ", "  check alloc 255 "),
       7304, "this layout's check is 256"},
      {"another prototype",
       edited("(uint32_t *, uint32_t)\"", "(uint32_t *)\""),
       7303, "this layout's check is 89"},
      {"another type's trace identifiers",
       edited(wisp, "  wisp 1118 1119 1120 1118 1119 1120\n"),
       7305, "trace identifier 1118 already belongs to type 'testglobaldiscard'"},
      // clang-format on
  };
}

// Lines and records missing, added or out of their order.
std::vector<Damage> damaged_order() {
  const std::string size = "  fixed_size 296\n", wisp = "  wisp 785 786 787 785 786 787\n";
  return {
      // clang-format off
      {"a missing check",
       edited("  check fix_ptrs 67 \"void qor_olist_fix_ptrs(uint32_t, qor_olist_obj_st)\"\n", ""),
       7302, "expected 'check fix_ptrs' here, found 'check size_ptr'"},
      {"keys out of order",
       edited("  class counted\n" + size, size + "  class counted\n"),
       7288, "expected 'class' here, found 'fixed_size'"},
      {"an unknown key",
       edited("  npd_present 290\n", "  npd_present 290\n  colour blue\n"),
       7301, "unknown key 'colour'"},
      {"a truncated record", edited(wisp, ""), 7286, "type 'olist' ends before its 'wisp' line"},
      {"a line after the record",
       edited(wisp, wisp + "  wisp 1 2 3 4 5 6\n"),
       7306, "expected the next 'type' record, found 'wisp'"},
      {"an id past the catalogue",
       unfingerprinted(edited("type 342 ", "type 400 ")),
       0, "table id 400 lies outside the catalogue"},
      {"the same record twice",
       edited(kOlist, kOlist + "\n" + kOlist),
       7307, "duplicate table id 268"},
      {"records out of id order",
       unfingerprinted(edited("type 1 testifwithcreatereject\n",
                              "type 7 testifwithcreatereject\n")),
       0, "id 2 follows id 7"},
      // A record moved to the end must not stand in for the one missing from its place.
      {"a record moved to the end",
       edited(kOlist, "") + "\n" + kOlist,
       0, "type records must come in table-id order"},
      {"a field before any type",
       edited("# Layout", "field 1 width 1 run 1 flag 2\n#"),
       1, "expected 'type ID NAME' first"},
      {"nothing", "", 1, "no 'type' records"},
      {"a comment only", "# only a comment\n", 1, "no 'type' records"},
      {"a form feed only", "\f\n", 1, "no 'type' records"},
      // clang-format on
  };
}

class DamagedManifest : public testing::TestWithParam<Damage> {};

TEST_P(DamagedManifest, GivesAnErrorAtItsLine) {
  const Damage& c = GetParam();
  const Read r = read_text(c.text);
  EXPECT_FALSE(r.layouts);
  const std::string where = c.line == 0 ? "m:" : "m:" + std::to_string(c.line) + ": error: ";
  EXPECT_NE(r.messages.find(where), std::string::npos) << r.messages;
  EXPECT_NE(r.messages.find(c.message), std::string::npos) << r.messages;
}

std::string named(const testing::TestParamInfo<Damage>& one) {
  return zim_test::case_name(one.param.what);
}
INSTANTIATE_TEST_SUITE_P(Words, DamagedManifest, testing::ValuesIn(damaged_words()), named);
INSTANTIATE_TEST_SUITE_P(Facts, DamagedManifest, testing::ValuesIn(damaged_facts()), named);
INSTANTIATE_TEST_SUITE_P(Order, DamagedManifest, testing::ValuesIn(damaged_order()), named);

}  // namespace

// A record alone, as a pool keeps it and a layout note carries it, compared
// with another layout of its type.
TEST(LayoutRecord, GivesTheFirstBreakingDifference) {
  const auto layout = zim_codec::read_layout_record(kOlist);
  ASSERT_TRUE(layout);
  EXPECT_EQ(zim_codec::layout_record(*layout), kOlist);
  EXPECT_EQ(zim_codec::first_breaking_difference(kOlist, kOlist), "");
  std::string split = kOlist;
  split.replace(split.find("  field 208 width 8 run 2 flag 264\n"), 35,
                "  field 208 width 8 run 1 flag 264\n  field 216 width 8 run 1 flag 265\n");
  split.erase(split.find("  fingerprint"), 30);
  EXPECT_EQ(zim_codec::first_breaking_difference(kOlist, split), "");
  // Names and old names are no part of the fingerprint, which is read back unchanged.
  std::string renamed = kOlist;
  renamed.replace(renamed.find("flag 289\n"), 9, "flag 289 name b was a\n");
  const auto named = zim_codec::read_layout_record(renamed);
  ASSERT_TRUE(named);
  EXPECT_EQ(named->fields.back().was, "a");
  EXPECT_EQ(zim_codec::layout_record(*named), renamed);
  std::string bit5 = split;
  bit5.replace(bit5.find("obj_flags_bit5 clear"), 20, "obj_flags_bit5 set");
  EXPECT_EQ(
      zim_codec::first_breaking_difference(kOlist, bit5),
      "olist: the pool's objects have bit 5 of obj_flags cleared; this program's have it set");
  EXPECT_EQ(
      zim_codec::first_breaking_difference(kOlist, kOlist.substr(0, 40))
          .rfind("layout record unreadable: newer record:2: error: malformed 'fingerprint'", 0),
      0u);
}

namespace {

// The lexical layer the definition and manifest readers share, at its edges:
// numbers at their bounds, line ends, and items spelled back as read.
using zim_codec::DecimalFault;

TEST(Lexical, DecimalsWithinTheirBound) {
  const struct {
    const char* text;
    uint64_t max;
    DecimalFault fault;
  } cases[] = {
      {"0", 0, DecimalFault::kNone},
      {"65535", 65535, DecimalFault::kNone},
      {"4294967295", UINT32_MAX, DecimalFault::kNone},
      {"65536", 65535, DecimalFault::kTooLarge},
      {"99999999999999999999999", UINT32_MAX, DecimalFault::kTooLarge},
      {"", 9, DecimalFault::kNotDigits},
      {"+1", 9, DecimalFault::kNotDigits},
      {"-1", 9, DecimalFault::kNotDigits},
      {" 1", 9, DecimalFault::kNotDigits},
      {"1x", 9, DecimalFault::kNotDigits},
      {"00", 9, DecimalFault::kLeadingZero},
      {"07", 9, DecimalFault::kLeadingZero},
  };
  for (const auto& c : cases) {
    const auto read = zim_codec::read_decimal(c.text, c.max);
    EXPECT_EQ(read.fault, c.fault) << c.text;
    EXPECT_EQ(std::to_string(read.value), c.fault == DecimalFault::kNone ? c.text : "0");
  }
}

TEST(Lexical, LinesEndAtLineFeeds) {
  const struct {
    std::string text, lines;  // the lines joined by '|'
    std::optional<int> lone_cr;
  } cases[] = {
      {"", "", std::nullopt},
      {"a", "1a", std::nullopt},
      {"a\nb\n", "1a|2b", std::nullopt},
      {"a\r\n\nb", "1a\r|2|3b", std::nullopt},
      {"a\rb\n", "1a\rb", 1},
      {"a\nb\r", "1a|2b\r", 2},
  };
  for (const auto& c : cases) {
    std::string joined;
    zim_codec::Lines lines(c.text);
    for (std::string_view line; lines.next(line);) {
      joined += (joined.empty() ? "" : "|") + std::to_string(lines.number()) + std::string(line);
    }
    EXPECT_EQ(joined, c.lines) << c.text;
    EXPECT_EQ(zim_codec::lone_carriage_return(c.text), c.lone_cr) << c.text;
  }
  EXPECT_EQ(zim_codec::split_words("\fa\vb \t c\r"), (std::vector<std::string>{"a", "b", "c"}));
}

// Each item read into its parts and spelled back from their numbers; "" for
// an item of no item's shape.
TEST(Lexical, ItemsSpellBackAsRead) {
  const auto respelled = [](const std::string& text, bool header) {
    const auto parts =
        header ? zim_codec::split_header_item(text) : zim_codec::split_field_item(text);
    if (!parts) return std::string();
    const auto number = [](std::string_view t) {
      return zim_codec::read_decimal(t, 1u << 20).value;
    };
    return zim_codec::item_spelling(
        parts->offset_given ? std::optional<uint64_t>(number(parts->offset)) : std::nullopt,
        number(parts->size), parts->array(),
        parts->suffix.empty() || parts->array() ? 1 : number(parts->suffix));
  };
  for (const char* item : {"216:32x3", "400:8xN", "8xC", "32x3", "0:4", "17"}) {
    EXPECT_EQ(respelled(item, false), item);
  }
  EXPECT_EQ(respelled("0:4", true), "0:4");
  for (const char* refused : {"x3", "8x", "1:8x", "8y", "N"}) {
    EXPECT_EQ(respelled(refused, false), "") << refused;
  }
  EXPECT_EQ(respelled("04", true), "");
}

}  // namespace
