// SPDX-License-Identifier: Apache-2.0
// The parser on edits of a platform definition: the forms it accepts, as the
// items they give, and its syntax errors at their lines.
#include <gtest/gtest.h>

#include "case_name.hpp"
#include "stages.hpp"

namespace {

using namespace tablegen_test;

struct Case {
  std::string what;
  Edits edits;           // of the platform's testglobaldiscard
  std::string expected;  // accepted: its items; rejected: the messages
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.what; }

// The items, each as written (offset or not) and with its name, and the key lines.
std::string items(const tablegen::Definition& def) {
  std::string out;
  for (const auto& f : def.fields) {
    out += tablegen::item_text(f, f.offset_given) + (f.name.empty() ? "" : " " + f.name) + "@" +
           std::to_string(f.line) + ", ";
  }
  return out + "wisp@" + std::to_string(def.lines.wisp);
}

const Case kCases[] = {
    // clang-format off
    {"as the platform writes it", {}, "200:4@11, 204:1@12, 208:8@13, wisp@10"},
    {"names, runs and arrays", {{"field 204:1", "field 204:1x4 flags"},
     {"field 208:8", "field 208:8xN\nfield 216:16xC list"}},
     "200:4@11, 204:1x4 flags@12, 208:8xN@13, 216:16xC list@14, wisp@10"},
    {"offsets left out", {{"204:1", "1x2"}, {"208:8", "8xC"}}, "200:4@11, 1x2@12, 8xC@13, wisp@10"},
    {"CRLF, a byte-order mark, blanks, tabs and comments",
     {{"\n", "\r\n"}, {"# test", "\xEF\xBB\xBF# test"}, {"field 200:4", "\t\r\n field\t200:4 # c"}},
     "200:4@12, 204:1@13, 208:8@14, wisp@10"},
    {"a key without its value", {{"size_check off", "size_check"}},
     "d.tdef:8: error: 'size_check' takes 1 value, found 0\n"},
    {"five trace identifiers", {{kGlobalWisp, "wisp 1 2 3 4 5"}},
     "d.tdef:10: error: 'wisp' takes 6 values, found 5\n"},
    {"a malformed header field", {{"196:4", "196"}},
     "d.tdef:6: error: malformed header field '196': expected off:w\n"},
    {"size_check neither on nor off", {{"size_check off", "size_check no"}},
     "d.tdef:8: error: 'size_check' is 'on' or 'off', not 'no'\n"},
    {"obj_flags_bit5 neither set nor clear", {{"bit5 clear", "bit5 0"}},
     "d.tdef:9: error: 'obj_flags_bit5' is 'set' or 'clear', not '0'\n"},
    {"a word for a number", {{"id 3", "id three"}},
     "d.tdef:3: error: table id 'three' is not a decimal number\n"},
    {"a field with two names", {{"field 208:8", "field 208:8 a b"}},
     "d.tdef:13: error: 'field' takes an item and an optional name, found 3 values\n"},
    {"no fields", {{"field 200:4\nfield 204:1\nfield 208:8\n", ""}},
     "d.tdef:2: error: no 'field' lines: a type has at least one data field\n"},
    // clang-format on
};

class Parser : public testing::TestWithParam<Case> {};

TEST_P(Parser, AcceptsItsFormsAndRejectsAtTheLine) {
  const Staged r = parse(edited(read(kDefs / kGlobal), GetParam().edits));
  EXPECT_EQ(r.def ? items(*r.def) : r.messages, GetParam().expected) << r.messages;
}

INSTANTIATE_TEST_SUITE_P(Edits, Parser, testing::ValuesIn(kCases),
                         [](const auto& one) { return zim_test::case_name(one.param.what); });

}  // namespace
