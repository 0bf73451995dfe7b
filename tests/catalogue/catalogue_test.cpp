// SPDX-License-Identifier: Apache-2.0
// The generated catalogue, trace identifiers and sizing of every type against
// the reference data: bytes per NPU and per element, the platform queries the
// sizing makes, and the report of a null size pointer. And the shared
// library's dynamic symbol table, as the dynamic linker sees it: the callers
// find every operation by name (the soname is in the ABI baseline).
#include "zim/tables/catalogue.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "reference.hpp"
#include "test_platform.hpp"

namespace zim_test {
// Readable failure output for call lists.
void PrintTo(const PlatformCall& c, std::ostream* out) {
  *out << "{kind " << c.what << ", table " << c.table_id << ", size " << c.size << "}";
}

namespace {

namespace cat = zim_tables::catalogue;

TEST(Catalogue, AgreesWithTheReference) {
  ASSERT_EQ(cat::type_count, reference().size());
  for (const auto& r : reference()) {
    SCOPED_TRACE(r.name);
    const cat::TableType& t = cat::types[r.id];
    EXPECT_EQ(t.table_id, r.id);
    EXPECT_EQ(t.name, r.name);
    EXPECT_EQ(cat::find(r.name), &t);
    EXPECT_EQ(t.fixed_size, r.fixed_size);
    // The class by its letter; the arrays below give the counts in the mark.
    EXPECT_EQ("FSNCK"[static_cast<int>(t.type_class)], r.mark[0]);
    EXPECT_EQ(t.count_field, r.count_field);
    // The lines the reports name, which the object tests expect by these rules.
    EXPECT_EQ(t.check_lines.fix_ptrs, r.fix_ptrs_line());
    EXPECT_EQ(t.check_lines.size_ptr, r.size_ptr_line());
    EXPECT_EQ(t.check_lines.alloc, r.alloc_line);

    std::vector<RefArray> arrays;
    uint32_t p = 0, q = 0;
    for (uint32_t i = 0; i < t.field_count; ++i) {
      const cat::FieldItem& f = t.fields[i];
      if (f.kind == cat::ItemKind::kInline) continue;
      const bool per_npu = f.kind == cat::ItemKind::kPerNpuArray;
      arrays.push_back({per_npu, f.offset, f.flag_at, f.width});
      (per_npu ? p : q) += f.width + 1;
    }
    EXPECT_EQ(arrays, r.arrays);
    EXPECT_EQ(p, r.per_npu_bytes);
    EXPECT_EQ(q, r.per_elem_bytes);
    for (int call = 0; call < 2; ++call) {
      const zim_wisp_enums_t w = t.ops.get_wisp_enums();
      EXPECT_EQ(std::vector<uint32_t>(w.ids, w.ids + 6), r.wisp()) << "call " << call;
    }
  }
}

// Sizes are 32-bit: an N or a count whose bytes pass 2^32 wraps, unchecked
// (the last N and count of each type). Every type, also those that add
// nothing, rejects a null size pointer before it asks the platform anything.
TEST(Sizing, EveryTypeByTheReference) {
  constexpr uint64_t k2To32 = uint64_t{1} << 32;
  size_t count_types = 0;
  for (const auto& r : reference()) {
    const cat::Operations& ops = cat::types[r.id].ops;
    const uint32_t p = r.per_npu_bytes, q = r.per_elem_bytes;
    const uint32_t wrap_n = p ? static_cast<uint32_t>(k2To32 / p + 1) : 4;
    const uint32_t wrap_count = q ? static_cast<uint32_t>(k2To32 / q + 1) : 0;
    // N is asked once per per-NPU array.
    const PlatformCall n_query{PlatformCall::kMaxNpus};
    for (uint32_t n : {0u, 4u, 13u, wrap_n}) {
      for (uint32_t npd : {0u, 16u}) {
        reset_platform(n, npd);
        for (uint32_t count : {0u, 1u, 1000u, wrap_count}) {
          SCOPED_TRACE(r.name + " N=" + std::to_string(n) + " npd=" + std::to_string(npd) +
                       " count=" + std::to_string(count));
          const uint32_t size = static_cast<uint32_t>(uint64_t{npd} + r.fixed_size +
                                                      uint64_t{n} * p + uint64_t{count} * q);
          std::vector<PlatformCall> expected(1 + r.per_npu_arrays(), n_query);
          expected[0] = {PlatformCall::kNpdSize, r.id};
          calls().clear();
          EXPECT_EQ(ops.get_obj_size(count), size);
          EXPECT_EQ(calls(), expected);

          // Accumulates onto the caller's value.
          uint32_t total = 100;
          calls().clear();
          ops.add_dynamic_to_obj_size(&total, count);
          ops.add_dynamic_to_obj_size(&total, count);
          EXPECT_EQ(total, static_cast<uint32_t>(100 + 2 * (size - npd - r.fixed_size)));
          EXPECT_EQ(calls(), std::vector<PlatformCall>(2 * r.per_npu_arrays(), n_query));
        }
      }
    }

    reset_platform(4, 16);
    const auto report = capture_assert([&ops] { ops.add_dynamic_to_obj_size(nullptr, 3); });
    const std::string args = r.count_field ? "uint32_t *, uint32_t" : "uint32_t *";
    EXPECT_EQ(
        report_text(report),
        report_text(AssertReport{"obj_size_ptr", r.unit_path(), r.size_ptr_line(),
                                 "void qor_" + r.name + "_add_dynamic_to_obj_size(" + args + ")"}))
        << r.name;
    EXPECT_TRUE(calls().empty()) << r.name;
    count_types += r.count_field != 0;
  }
  EXPECT_EQ(count_types, 34u);
}

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
}  // namespace zim_test
