// SPDX-License-Identifier: Apache-2.0
// The naming module: how it tells definition files apart (the names it
// derives are the goldens'), and its lists against the public headers, the
// library's and the simulated platform's: the reserved words, the library's
// header names, and the constants each type's header defines.
#include "gen/names/names.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

#include "gen/load/catalogue_loader.hpp"
#include "gen/names/constant_names.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tablegen;

TEST(Names, DefinitionFiles) {
  EXPECT_EQ(definition_file_name(3, "olist"), "003_olist.tdef");
  EXPECT_EQ(definition_file_name(1000, "olist"), "1000_olist.tdef");
  const std::pair<const char*, DefinitionEntry> cases[] = {
      {"003_x.tdef", DefinitionEntry::kDefinition}, {"x.tdef", DefinitionEntry::kDefinition},
      {"003_x.def", DefinitionEntry::kMisnamed},    {"003_x.tdef~", DefinitionEntry::kOther},
      {"003_x.tdef.orig", DefinitionEntry::kOther}, {"README.md", DefinitionEntry::kOther},
      {"003x.def", DefinitionEntry::kOther}};
  for (const auto& [name, entry] : cases) EXPECT_EQ(definition_entry(name), entry) << name;
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
    const char* word = reserved_word(name);
    EXPECT_NE(word, nullptr) << name << " begins with no reserved word";
    if (word != nullptr) words.insert(word);
  }
  // Every word and header in use, so that a scan that finds nothing cannot pass.
  EXPECT_EQ(words, std::set<std::string>(std::begin(kReservedWords), std::end(kReservedWords)));
  EXPECT_EQ(headers, std::set<std::string>(std::begin(kLibraryHeaders), std::end(kLibraryHeaders)));
}

// The validator judges clashes by header_names: each type's header defines
// exactly those macros.
TEST(Names, ConstantsAreThoseTheHeadersDefine) {
  Diagnostics diags;
  const auto defs = read_definitions(*definition_files(ZIM_DEFS_DIR, diags), diags);
  ASSERT_TRUE(defs && !diags.has_errors());
  for (const Definition& def : *defs) {
    std::set<std::string> names;
    for (const auto& name : header_names(def)) names.insert(name.id);
    EXPECT_EQ(declared(fs::path(ZIM_GENERATED_INCLUDE) / (def.name + ".h"), true), names)
        << def.name;
  }
}

}  // namespace
