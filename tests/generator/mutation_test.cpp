// SPDX-License-Identifier: Apache-2.0
// zim_tablegen on the real definitions with one of them mutated, in ways too
// large or too binary for a folder of bad_definitions/ (those run in process,
// read_test.cpp): the tool either accepts a folder that the layout model
// accepts too, or rejects it cleanly: compiler-style messages that name the
// mutated file, printable and short, nothing written, no crash or hang.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "case_name.hpp"
#include "definition_model.hpp"
#include "fingerprint_agreement.hpp"
#include "gen/load/catalogue_loader.hpp"
#include "tablegen_runner.hpp"

using namespace std::string_literals;

namespace {

using namespace tablegen_test;
using zim_test::case_name;

// One definition edited in place.
struct Mutant {
  std::string what, base;
  Edits edits;
};
// Listed by what it is, not as the bytes of the struct.
void PrintTo(const Mutant& m, std::ostream* out) { *out << m.what; }

std::vector<Mutant> mutants() {
  const std::string name = "table testglobaldiscard", kG = kGlobal;
  std::string misplaced;
  for (int i = 0; i < 1000; ++i) misplaced += "\nfield 300:1";
  // clang-format off
  return {
      {"element size 4294901758", kOlist, {{"232:8xC", "232:4294901758xC"}}},  // accepted
      // Bytes and sizes no definition has.
      {"garbage bytes", kG, {{"# test", "\xff\xfe\x80garbage\x01# test"}}},
      {"NUL in the name", kG, {{name, "table testglobal\0discard"s}}},
      {"line of NUL bytes", kG, {{"\nflags_at", "\n\0\0\0\nflags_at"s}}},
      {"1 MiB comment line", kG, {{"# test", "#" + std::string(1 << 20, 'c') + "\n# test"}}},
      {"100000-character key", kG,
       {{"obj_flags_bit5", std::string(100000, 'k') + " 1\nobj_flags_bit5"}}},
      {"100000-digit number", kG, {{"fixed_size 224", "fixed_size " + std::string(100000, '9')}}},
      {"1000 misplaced fields", kG, {{"field 208:8", "field 208:8" + misplaced}}},
  };
  // clang-format on
}

// What the model finds wrong with a folder of definitions; empty if nothing.
std::string model_verdict(const fs::path& defs) {
  std::vector<model::Model> models;
  for (const fs::path& f : definitions(defs)) {
    models.push_back(model::check(read(f), f.filename().string()));
    if (!models.back().error.empty()) return f.filename().string() + ": " + models.back().error;
  }
  return model::check_catalogue(models);
}

// What is wrong with one run on a folder with a mutated file; empty if nothing.
std::string verdict(const Result& r, const fs::path& defs, const std::string& file,
                    const fs::path& out) {
  if (r.status == 0) {
    const std::string why = model_verdict(defs);
    return why.empty() ? "" : "accepted a broken definition (" + why + ")";
  }
  if (r.status != 1) return "exit status " + std::to_string(r.status);
  if (!out.empty() && fs::exists(out)) return "wrote " + out.string() + " after rejecting";
  for (char c : r.output) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\n') || u >= 0x7f) return "control or non-ASCII byte in the output";
  }
  static const std::regex kMessage("(/[^/:]+)?(:[1-9][0-9]*)?: (error|note): .+");
  const std::string prefix = defs.string(), mutated = prefix + "/" + file + ":";
  std::istringstream lines(r.output);
  std::vector<std::string> all;
  bool named = false;
  for (std::string line; std::getline(lines, line);) all.push_back(line);
  // Generation ends with this note; checking has nothing to write.
  const bool closed = !all.empty() && all.back() == "zim_tablegen: note: no files written";
  if (closed) all.pop_back();
  if (!out.empty() && !closed) return "does not end with 'zim_tablegen: note: no files written'";
  for (const std::string& line : all) {
    if (line.size() > 512) return "message line of " + std::to_string(line.size()) + " characters";
    if (line.rfind(prefix, 0) != 0 || !std::regex_match(line.substr(prefix.size()), kMessage))
      return "not a path: error/note message: " + line;
    named |= line.rfind(mutated, 0) == 0;
  }
  if (r.output.find(": error: ") == std::string::npos) return "no error";
  return named ? "" : "no message names " + file;
}

class Mutation : public testing::TestWithParam<Mutant> {};

TEST_P(Mutation, AcceptedAsByTheModelOrRejectedCleanly) {
  const Mutant& m = GetParam();
  TempDir tmp;
  const fs::path defs = copy_defs(tmp), out = tmp / "out";
  const std::string text = edited(read(kDefs / m.base), m.edits);
  write(defs / m.base, text);
  for (const bool check : {true, false}) {
    const Result r = tablegen_test::tablegen(check ? "--check " + quoted(defs)
                                                   : quoted(defs) + " " + quoted(out));
    EXPECT_EQ(verdict(r, defs, m.base, check ? fs::path() : out), "")
        << (check ? "--check" : "generating") << "\n--- mutant:\n"
        << text.substr(0, 400) << "\n--- output:\n"
        << r.output.substr(0, 1000);
    fs::remove_all(out);
    if (check || r.status != 0) continue;
    tablegen::Diagnostics diags;
    const auto older = tablegen::load_layouts(kDefs, diags),
               newer = tablegen::load_layouts(defs, diags);
    ASSERT_TRUE(older && newer);
    EXPECT_EQ(fingerprint_disagreement(*older, *newer), "");
  }
}

INSTANTIATE_TEST_SUITE_P(Mutants, Mutation, testing::ValuesIn(mutants()),
                         [](const auto& one) { return case_name(one.param.what); });

}  // namespace
