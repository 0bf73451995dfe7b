// SPDX-License-Identifier: Apache-2.0
// Layout resolution on fields written without offsets, flags_at or
// fixed_size: where it places them, what it derives, and the values past the
// largest fixed part it refuses.
#include <gtest/gtest.h>

#include "case_name.hpp"
#include "stages.hpp"

namespace {

using namespace tablegen_test;

struct Case {
  std::string what, fields;  // the field lines, after kKeys
  std::string expected;      // the offsets and what is derived, or the messages
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.what; }

std::string placed(const tablegen::Definition& def) {
  std::string out;
  for (const auto& f : def.fields) out += std::to_string(f.offset) + " ";
  return out + "flags_at " + std::to_string(def.flags_at) + " fixed_size " +
         std::to_string(def.fixed_size);
}

const std::string kKeys =
    "table t\nid 3\nclass fixed\nheader 192:4 196:4\nsize_check off\nobj_flags_bit5 clear\n"
    "wisp 1 2 3 4 5 6\n";

const Case kCases[] = {
    // clang-format off
    {"the platform's own", "field 4\nfield 1\nfield 8", "200 204 208 flags_at 216 fixed_size 224"},
    {"a 16-byte field at 8", "field 1\nfield 16", "200 208 flags_at 224 fixed_size 232"},
    {"runs at their elements' width", "field 1\nfield 2x3\nfield 4x2\nfield 8x1",
     "200 202 208 216 flags_at 224 fixed_size 232"},
    {"array pointers at 8", "field 1\nfield 2xN\nfield 1\nfield 4xC",
     "200 208 216 224 flags_at 232 fixed_size 272"},
    {"given offsets kept, the rest after them", "field 1\nfield 212:1\nfield 2",
     "200 212 214 flags_at 216 fixed_size 224"},
    {"flags_at and fixed_size written", "field 1\nfield 1\nflags_at 240\nfixed_size 248",
     "200 201 flags_at 240 fixed_size 248"},
    {"a field past the largest fixed part", "field 65532:4\nfield 4",
     "d.tdef:9: error: field 4 would be placed at 65536 and end at 65540, beyond the largest fixed "
     "part of 65536 bytes\n"},
    {"a run ending past it", "field 65532:1\nfield 4x2",
     "d.tdef:9: error: field 4x2 would be placed at 65536 and end at 65544, beyond the largest "
     "fixed part of 65536 bytes\n"},
    {"flags past it", "field 65528:8",
     "d.tdef:8: error: the presence flags need a fixed size of 65544, beyond the largest fixed "
     "part of 65536 bytes\n"},
    // clang-format on
};

class LayoutResolution : public testing::TestWithParam<Case> {};

TEST_P(LayoutResolution, PlacesAndDerivesOrRefuses) {
  const Staged r = parse(kKeys + GetParam().fields + "\n", true);
  EXPECT_EQ(r.def ? placed(*r.def) : r.messages, GetParam().expected) << r.messages;
}

INSTANTIATE_TEST_SUITE_P(Fields, LayoutResolution, testing::ValuesIn(kCases),
                         [](const auto& one) { return zim_test::case_name(one.param.what); });

}  // namespace
