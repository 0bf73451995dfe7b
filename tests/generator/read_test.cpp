// SPDX-License-Identifier: Apache-2.0
// Reading a definition in process: the forms the parser accepts, at their lines;
// where layout resolution places items without offsets; what it derives. And
// the rules of a folder of definitions: each folder of bad_definitions/ (see
// copy_defs) breaks one (the validator's, parser's, layout resolution's or the
// naming's) and holds its exact messages, paths as a run in the copy would give.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

#include "case_name.hpp"
#include "gen/load/catalogue_loader.hpp"
#include "gen/names/constant_names.hpp"
#include "gen/names/names.hpp"
#include "tablegen_runner.hpp"

namespace {

using namespace tablegen_test;

struct Case {
  std::string what;
  Edits edits;           // of the platform's testglobaldiscard
  std::string expected;  // each item as written (line) at its offset; flags_at, fixed_size
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.what; }

std::string read_back(const tablegen::Definition& def) {
  std::string out;
  for (const auto& f : def.fields) {
    out += zim_codec::item_text(f, f.offset_given) + (f.name.empty() ? "" : " " + f.name) +
           (f.was.empty() ? "" : " was " + f.was) + " (" + std::to_string(f.line) + ") at " +
           std::to_string(f.offset) + ", ";
  }
  return out + std::to_string(def.flags_at) + ", " + std::to_string(def.fixed_size);
}

// Other fields; flags_at and fixed_size derived.
Edits derived(const std::string& fields) {
  return {{"fixed_size 224\n", ""},
          {"flags_at 216\n", ""},
          {"field 200:4\nfield 204:1\nfield 208:8", fields}};
}

const Case kCases[] = {
    // clang-format off
    {"names, old names, runs and arrays", {{"field 204:1", "field 204:1x4 flags was bits"},
     {"field 208:8", "field 208:8xN\nfield 216:16xC list"}},
     "200:4 (11) at 200, 204:1x4 flags was bits (12) at 204, 208:8xN (13) at 208, "
     "216:16xC list (14) at 216, 216, 224"},
    {"CRLF, a byte-order mark, blanks, tabs and comments",
     {{"\n", "\r\n"}, {"# test", "\xEF\xBB\xBF# test"}, {"field 200:4", "\t\r\n field\t200:4 # c"}},
     "200:4 (12) at 200, 204:1 (13) at 204, 208:8 (14) at 208, 216, 224"},
    {"the platform's own left out", derived("field 4\nfield 1\nfield 8"),
     "4 (9) at 200, 1 (10) at 204, 8 (11) at 208, 216, 224"},
    {"a 16-byte field at 8", derived("field 1\nfield 16"),
     "1 (9) at 200, 16 (10) at 208, 224, 232"},
    {"runs at their elements' width", derived("field 1\nfield 2x3\nfield 4x2"),
     "1 (9) at 200, 2x3 (10) at 202, 4x2 (11) at 208, 216, 224"},
    {"array pointers at 8", derived("field 1\nfield 2xN\nfield 1\nfield 4xC"),
     "1 (9) at 200, 2xN (10) at 208, 1 (11) at 216, 4xC (12) at 224, 232, 272"},
    {"given offsets kept, the rest after them", derived("field 1\nfield 212:1\nfield 2"),
     "1 (9) at 200, 212:1 (10) at 212, 2 (11) at 214, 216, 224"},
    // clang-format on
};

class Read : public testing::TestWithParam<Case> {};

TEST_P(Read, GivesTheItemsPlaced) {
  TempDir tmp;  // read as the loader reads a file; the rules are BrokenRule's
  write(tmp / kGlobal, edited(read(kDefs / kGlobal), GetParam().edits));
  tablegen::Diagnostics diags;
  const auto def = tablegen::read_definition_file(tmp / kGlobal, diags);
  ASSERT_TRUE(def) << printed(diags);
  EXPECT_EQ(read_back(*def), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Edits, Read, testing::ValuesIn(kCases),
                         [](const auto& one) { return zim_test::case_name(one.param.what); });

class BrokenRule : public CaseFolder {};

TEST_P(BrokenRule, GivesItsExactMessages) {
  tablegen::Diagnostics diags;
  EXPECT_FALSE(tablegen::load_catalogue(tmp / "defs", diags));
  EXPECT_EQ(relative(printed(diags)), expected());
}

INSTANTIATE_TEST_SUITE_P(Folders, BrokenRule, testing::ValuesIn(case_folders(ZIM_BAD_DEFINITIONS)),
                         folder_name);

// The naming module: how it tells definition files apart (the names it
// derives are the goldens'), and its lists against the public headers, the
// library's and the simulated platform's: the reserved words, the library's
// header names, and the constants each type's header defines.
TEST(Names, DefinitionFiles) {
  using tablegen::DefinitionEntry;
  EXPECT_EQ(tablegen::definition_file_name(3, "olist"), "003_olist.tdef");
  EXPECT_EQ(tablegen::definition_file_name(1000, "olist"), "1000_olist.tdef");
  const std::pair<const char*, DefinitionEntry> cases[] = {
      {"003_x.tdef", DefinitionEntry::kDefinition}, {"x.tdef", DefinitionEntry::kDefinition},
      {"003_x.def", DefinitionEntry::kMisnamed},    {"003_x.tdef~", DefinitionEntry::kOther},
      {"003_x.tdef.orig", DefinitionEntry::kOther}, {"README.md", DefinitionEntry::kOther},
      {"003x.def", DefinitionEntry::kOther}};
  for (const auto& [name, entry] : cases)
    EXPECT_EQ(tablegen::definition_entry(name), entry) << name;
}

// The functions and macros that a header declares, or (macros) only its macros.
std::set<std::string> declared(const fs::path& header, bool macros) {
  const std::regex name(macros ? R"(#\s*define\s+(\w+)())" : R"(#\s*define\s+(\w+)|\b(\w+)\s*\()");
  std::ifstream in(header);
  std::string code{std::istreambuf_iterator<char>(in), {}};
  code = std::regex_replace(code, std::regex(R"(/\*[\s\S]*?\*/|//[^\n]*)"), " ");
  std::set<std::string> names;
  for (std::sregex_iterator m(code.begin(), code.end(), name), end; m != end; ++m) {
    names.insert((*m)[1].matched ? (*m)[1] : (*m)[2]);
  }
  return names;
}

TEST(Names, ReservedOnesAreThoseOfThePublicHeaders) {
  std::set<std::string> names, headers, words;
  for (const char* dir : {ZIM_TABLES_INCLUDE, ZIM_SIM_INCLUDE, ZIM_GENERATED_INCLUDE}) {
    for (const auto& entry : fs::directory_iterator(dir)) {
      const fs::path file = entry.path().filename();
      // Of the generated headers, the two that are no type's.
      if (dir == std::string(ZIM_GENERATED_INCLUDE) && file != "all_tables.h" &&
          file != "catalogue_size.h") {
        continue;
      }
      if (dir != std::string(ZIM_SIM_INCLUDE) && file.extension() == ".h") {
        headers.insert(file.stem());
      }
      for (const std::string& name : declared(entry.path(), false)) {
        if (name.rfind("zim_", 0) == 0 || name.rfind("ZIM_", 0) == 0) names.insert(name);
      }
    }
  }
  for (const std::string& name : names) {
    const char* word = tablegen::reserved_word(name);
    EXPECT_NE(word, nullptr) << name << " begins with no reserved word";
    if (word != nullptr) words.insert(word);
  }
  // Every word and header in use, so that a scan that finds nothing cannot pass.
  EXPECT_EQ(words, std::set<std::string>(std::begin(tablegen::kReservedWords),
                                         std::end(tablegen::kReservedWords)));
  EXPECT_EQ(headers, std::set<std::string>(std::begin(tablegen::kLibraryHeaders),
                                           std::end(tablegen::kLibraryHeaders)));
}

// The validator judges clashes by header_names: each type's header defines
// exactly those macros.
TEST(Names, ConstantsAreThoseTheHeadersDefine) {
  tablegen::Diagnostics diags;
  const auto defs =
      tablegen::read_definitions(*tablegen::definition_files(ZIM_DEFS_DIR, diags), diags);
  ASSERT_TRUE(defs && !diags.has_errors());
  for (const tablegen::Definition& def : *defs) {
    std::set<std::string> names;
    for (const auto& name : tablegen::header_names(def)) names.insert(name.id);
    EXPECT_EQ(declared(fs::path(ZIM_GENERATED_INCLUDE) / (def.name + ".h"), true), names)
        << def.name;
  }
}

}  // namespace
