// SPDX-License-Identifier: Apache-2.0
// The shared library's dynamic symbol table, as the dynamic linker sees it:
// the callers find every operation by name (the soname is in the ABI baseline).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "zim/tables/catalogue.hpp"

namespace cat = zim_tables::catalogue;

namespace {

// Standard output of a shell command; fails the test if it does not succeed.
std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run " << command;
    return out;
  }
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  EXPECT_EQ(pclose(pipe), 0) << command;
  return out;
}

std::string library() { return std::string("'") + ZIM_TABLES_LIBRARY + "'"; }

// Every defined dynamic symbol but the version node, with its version ("" for
// none); "address type name@@node" per line of nm.
const std::string kNode = "ZIM_TABLES_1.0";
std::map<std::string, std::string> defined_symbols() {
  std::map<std::string, std::string> defined;
  std::istringstream nm(run("nm -D --defined-only " + library()));
  for (std::string address, type, symbol; nm >> address >> type >> symbol;) {
    if (type == "A" && symbol == kNode) continue;
    const size_t at = symbol.find("@@");
    defined[symbol.substr(0, at)] = at == std::string::npos ? "" : symbol.substr(at + 2);
  }
  return defined;
}

// Callers bind to the version node, so every operation must carry it. An
// operation that the library reached through a dynamic relocation (GOT or PLT)
// could be replaced by a program's own symbol of the same name, and the copy
// constructors would then run foreign code in the middle of a copy.
TEST(Exports, ExactlyTheThirteenOperationsOfEveryTypeVersionedAndBoundWithin) {
  std::map<std::string, std::string> expected;
  for (size_t i = 0; i < cat::type_count; ++i) {
    for (const std::string pattern : cat::operation_names) {
      const size_t at = pattern.find("$(t)");
      expected[pattern.substr(0, at) + cat::types[i].name + pattern.substr(at + 4)] = kNode;
    }
  }
  ASSERT_EQ(expected.size(), 13 * cat::type_count);
  const std::map<std::string, std::string> defined = defined_symbols();
  std::vector<std::pair<std::string, std::string>> missing, extra;
  std::set_difference(expected.begin(), expected.end(), defined.begin(), defined.end(),
                      std::back_inserter(missing));
  std::set_difference(defined.begin(), defined.end(), expected.begin(), expected.end(),
                      std::back_inserter(extra));
  EXPECT_TRUE(missing.empty()) << missing.size() << " missing, e.g. " << missing.front().first;
  EXPECT_TRUE(extra.empty()) << extra.size() << " unexpected, e.g. " << extra.front().first << "@@"
                             << extra.front().second;

  // "offset info type value name[@version] + addend" per relocation.
  std::istringstream relocations(run("readelf -rW " + library()));
  std::vector<std::string> bound;
  for (std::string line; std::getline(relocations, line);) {
    std::istringstream fields(line);
    std::string offset, info, type, value, name;
    if (!(fields >> offset >> info >> type >> value >> name)) continue;
    if (defined.count(name.substr(0, name.find('@'))) != 0) bound.push_back(name);
  }
  EXPECT_TRUE(bound.empty()) << bound.size() << " relocations name an operation, e.g. "
                             << bound.front();
  // Layout notes belong to the programs that include the type headers.
  EXPECT_EQ(run("readelf -SW " + library()).find(".note.zim_tables.layout"), std::string::npos);
}

// What the library calls outside itself is the five platform operations and
// four C library functions; an optimisation that brings in memmove, memset or
// a helper of the C++ runtime fails here. Weak references of the C runtime's
// start files and, in a sanitized build, the sanitizers' runtime are not calls
// of the library's code.
TEST(Imports, OnlyThePlatformsOperationsAndFourCFunctions) {
  const std::set<std::string> allowed = {"hulcon_config_get_max_num_npus",
                                         "qor_npd_get_table_size",
                                         "qor_getuid",
                                         "zim_shm_table_pool_calloc",
                                         "zim_srv_table_props_get",
                                         "calloc",
                                         "free",
                                         "memcpy",
                                         "__assert_fail"};
  const std::set<std::string> start_files = {"__cxa_finalize", "__gmon_start__",
                                             "_ITM_deregisterTMCloneTable",
                                             "_ITM_registerTMCloneTable"};
  std::set<std::string> called;
  std::istringstream nm(run("nm -D --undefined-only " + library()));
  for (std::string type, symbol; nm >> type >> symbol;) {
    const std::string name = symbol.substr(0, symbol.find('@'));
    if (name.rfind("__asan_", 0) == 0 || name.rfind("__ubsan_", 0) == 0) continue;
    if (type == "w" && start_files.count(name) != 0) continue;
    called.insert(name);
  }
  EXPECT_EQ(called, allowed);
}

}  // namespace
