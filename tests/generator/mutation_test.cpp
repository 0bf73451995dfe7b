// SPDX-License-Identifier: Apache-2.0
// zim_tablegen on the real definitions with some of them broken. A few
// folders of bad_definitions/ (all of them run in process, validator_test.cpp)
// show that every mode that reads a folder fails with their messages and
// writes nothing. Mutants too large or too binary for a file are built here:
// the tool either accepts a folder that the layout model accepts too, or
// rejects it cleanly: compiler-style messages that name the mutated file,
// printable and short, nothing written, no crash or hang.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "case_name.hpp"
#include "definition_model.hpp"
#include "tablegen_runner.hpp"

using namespace std::string_literals;

namespace {

using namespace tablegen_test;
using zim_test::case_name;

class BadDefinition : public testing::TestWithParam<std::string> {};

TEST_P(BadDefinition, GivesItsMessagesAndWritesNothing) {
  const fs::path dir = fs::path(ZIM_BAD_DEFINITIONS) / GetParam();
  TempDir tmp;
  copy_defs(tmp, dir);
  const std::string expected = read(dir / "expected");
  Result r = tablegen("--check defs", tmp.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, expected);
  r = tablegen("defs out", tmp.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, expected + "zim_tablegen: note: no files written\n");
  EXPECT_EQ(entries(tmp.path), std::vector<std::string>{"defs"});
  // The formatter reads a folder as a catalogue too, and rewrites nothing of it.
  const auto before = snapshot(tmp / "defs");
  r = tablegen("--format --write defs", tmp.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, expected);
  EXPECT_TRUE(snapshot(tmp / "defs") == before);
}

// A file's syntax, a catalogue's rule, a folder's entry.
INSTANTIATE_TEST_SUITE_P(Files, BadDefinition,
                         testing::Values("malformed_item", "duplicate_id",
                                         "definition_under_another_extension"),
                         [](const auto& one) { return std::string(one.param); });

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
      // Accepted, as the layout model accepts them.
      {"element size 4294901758", kOlist, {{"232:8xC", "232:4294901758xC"}}},
      {"named fields", kOlist, {{"232:8xC", "232:8xC members"}, {"248:4", "248:4 mtu"}}},
      {"offsets and sizes left out", kOlist, {{"fixed_size 296\n", ""}, {"flags_at 264\n", ""},
       {"208:", ""}, {"224:", ""}, {"240:", ""}, {"256:", ""}}},
      {"offset left out after a 16-byte field", kG, {{"field 200:4", "field 200:16"}, {"204:1", "1"},
       {"208:8", "8"}, {"fixed_size 224\n", ""}, {"flags_at 216\n", ""}}},
      {"UTF-8 byte-order mark", kG, {{"# test", "\xEF\xBB\xBF# test"}}},
      {"CRLF line ends", kOlist, {{"\n", "\r\n"}}},
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
    const Result r = tablegen(check ? "--check " + quoted(defs) : quoted(defs) + " " + quoted(out));
    EXPECT_EQ(verdict(r, defs, m.base, check ? fs::path() : out), "")
        << (check ? "--check" : "generating") << "\n--- mutant:\n"
        << text.substr(0, 400) << "\n--- output:\n"
        << r.output.substr(0, 1000);
    fs::remove_all(out);
  }
}

INSTANTIATE_TEST_SUITE_P(Mutants, Mutation, testing::ValuesIn(mutants()),
                         [](const auto& one) { return case_name(one.param.what); });

}  // namespace
