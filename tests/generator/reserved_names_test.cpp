// SPDX-License-Identifier: Apache-2.0
// The generator's reserved words against the public headers, the library's
// and the simulated platform's: every function and macro of theirs named
// zim_... or ZIM_... begins with one, so the refusal of types and fields whose
// names would (bad_definitions/) keeps every type's header clear of them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "gen/check/validator.hpp"

namespace {

namespace fs = std::filesystem;

// A header's text with its comments blanked out.
std::string code_of(const fs::path& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  std::string code = text.str();
  for (size_t at = 0; (at = code.find('/', at)) != std::string::npos; ++at) {
    const char next = at + 1 < code.size() ? code[at + 1] : '\0';
    if (next != '*' && next != '/') continue;
    size_t end = next == '*' ? code.find("*/", at + 2) : code.find('\n', at);
    end = end == std::string::npos ? code.size() : end + (next == '*' ? 2 : 0);
    code.replace(at, end - at, " ");
  }
  return code;
}

TEST(ReservedWords, CoverEveryFunctionAndMacroOfThePublicHeaders) {
  std::set<std::string> names;
  const std::regex declared(R"(#\s*define\s+(\w+)|\b(\w+)\s*\()");
  for (const char* dir : {ZIM_TABLES_INCLUDE, ZIM_SIM_INCLUDE, ZIM_GENERATED_INCLUDE}) {
    for (const auto& entry : fs::directory_iterator(dir)) {
      const std::string file = entry.path().filename();
      // Of the generated headers, the two that are no type's.
      if (dir == std::string(ZIM_GENERATED_INCLUDE) && file != "all_tables.h" &&
          file != "catalogue_size.h") {
        continue;
      }
      const std::string code = code_of(entry.path());
      for (std::sregex_iterator m(code.begin(), code.end(), declared), end; m != end; ++m) {
        const std::string name = (*m)[1].matched ? (*m)[1] : (*m)[2];
        if (name.rfind("zim_", 0) == 0 || name.rfind("ZIM_", 0) == 0) names.insert(name);
      }
    }
  }
  // One of each header, so that a scan that finds nothing cannot pass.
  for (const char* known :
       {"zim_shm_pool_set_root", "zim_table_props_set_copy_hooks", "zim_srv_table_props_get",
        "ZIM_SIM_DEFAULT_NPD_SIZE", "zim_tables_element", "ZIM_OBJ_TABLE_ID_OFFSET", "ZIM_TRUE",
        "ZIM_NUM_TABLE_TYPES", "ZIM_TABLES_FOR_EACH_TYPE", "ZIM_TABLES_API"}) {
    EXPECT_EQ(names.count(known), 1u) << known;
  }
  for (const std::string& name : names) {
    EXPECT_NE(tablegen::reserved_word(name), nullptr) << name << " begins with no reserved word";
  }
}

}  // namespace
