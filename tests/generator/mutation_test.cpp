// zim_tablegen on the real definitions with one of them mutated: it either
// accepts a folder that the layout model accepts too, or rejects it cleanly:
// compiler-style messages that name the mutated file, printable and short,
// nothing written, no crash or hang.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "definition_model.hpp"
#include "tablegen_runner.hpp"

using namespace std::string_literals;

namespace {

using namespace tablegen_test;

const std::string kG = "003_testglobaldiscard.tdef";
const std::string kOlist = "268_olist.tdef";
const std::string kFresh = "wisp 2000 2001 2002 2000 2001 2002";
const std::string kWisp = "wisp 1118 1119 1120 1118 1119 1120";

using Edits = std::vector<std::pair<std::string, std::string>>;

// Replaces every occurrence of each `from` in turn.
std::string edited(std::string text, const Edits& edits) {
  for (const auto& [from, to] : edits) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << "nothing to replace: " << from;
    for (; at != std::string::npos; at = text.find(from, at + to.size())) {
      text.replace(at, from.size(), to);
    }
  }
  return text;
}

std::string times(const std::string& s, size_t n) {
  std::string all;
  while (n-- > 0) all += s;
  return all;
}

struct Mutant {
  std::string what;
  std::string base;  // the definition it starts from
  std::string text;
  std::string file;  // where it goes: in place of base, or beside it
  bool beside = false;
};

Mutant edit(const char* what, const std::string& base, const Edits& edits, std::string file = {},
            bool beside = false) {
  return {what, base, edited(read(kDefs / base), edits), file.empty() ? base : file, beside};
}

std::vector<Mutant> targeted() {
  // New types take the next ids: the catalogue's size and one more.
  const size_t size = definitions(kDefs).size();
  const std::string next = std::to_string(size), after = std::to_string(size + 1);
  const std::string id = "\nid 3\n", name = "table testglobaldiscard";
  // clang-format off
  std::vector<Mutant> mutants = {
      edit("id 3 + 2^16", kG, {{id, "\nid 65539\n"}}),
      edit("id 3 + 2^32", kG, {{id, "\nid 4294967299\n"}}),
      edit("fixed_size 224 + 2^64", kG, {{"fixed_size 224", "fixed_size 18446744073709551840"}}),
      edit("fixed_size of 40 digits", kG, {{"fixed_size 224", "fixed_size " + std::string(40, '9')}}),
      edit("flags_at 216 + 2^32", kG, {{"flags_at 216", "flags_at 4294967512"}}),
      edit("header field at 4294967292:4", kG, {{"196:4\n", "196:4 4294967292:4\n"}}),
      edit("header width 4 + 2^32", kG, {{"196:4\n", "196:4294967300\n"}}),
      edit("field offset 204 + 2^32", kG, {{"field 204:1", "field 4294967500:1"}}),
      edit("run bytes 4 + 2^32", kG, {{"field 200:4", "field 200:2x2147483650"}}),
      edit("run bytes 4 + 2^64", kG, {{"field 200:4", "field 200:4x4611686018427387905"}}),
      edit("element size 4294901759", kOlist, {{"232:8xC", "232:4294901759xC"}}),
      edit("element size 4294901758", kOlist, {{"232:8xC", "232:4294901758xC"}}),
      edit("count_field 200 + 2^32", kOlist, {{"count_field 200", "count_field 4294967496"}}),
      edit("wisp value 5000 + 2^32", kG, {{kWisp, "wisp 4294972296 1119 1120 1118 1119 1120"}}),
      edit("misaligned header field", kG, {{"header 192:4", "header 193:2"}}),
      edit("overlapping header fields", kG, {{"header 192:4 196:4", "header 194:2 192:4"}}),
      edit("misaligned array", kOlist, {{"224:4x2", "224:4x3"}, {"232:8xC", "236:8xC"},
                                        {"240:8xC", "244:8xC"}, {"248:4", "252:4"}}),
      edit("overlapping fields", kG, {{"field 204:1", "field 202:1"}}),
      edit("flags_at one late", kG, {{"flags_at 216", "flags_at 217"}}),
      edit("fixed_size 8 more", kG, {{"fixed_size 224", "fixed_size 232"}}),
      edit("class counted without arrays", kG, {{"class fixed", "class counted"}}),
      edit("counted with size_check off", kOlist, {{"size_check on", "size_check off"}}),
      edit("unknown class", kG, {{"class fixed", "class Fixed"}}),
      edit("table twice", kG, {{name, name + "\n" + name}}),
      edit("duplicate id", kG, {{name, "table testzdup"}, {kWisp, kFresh}}, "003_testzdup.tdef", true),
      edit("duplicate name", kG, {{id, "\nid " + next + "\n"}, {kWisp, kFresh}},
           next + "_testglobaldiscard.tdef", true),
      edit("shared wisp", kG, {{id, "\nid " + next + "\n"}, {name, "table testwisp"}},
           next + "_testwisp.tdef", true),
      edit("id gap", kG, {{id, "\nid " + after + "\n"}, {name, "table testgap"}, {kWisp, kFresh}},
           after + "_testgap.tdef", true),
      edit("garbage bytes", kG, {{"# test", "\xff\xfe\x80garbage\x01# test"}}),
      edit("NUL in the name", kG, {{name, "table testglobal\0discard"s}}),
      edit("ESC sequences in a key", kG, {{"obj_flags_bit5", "\x1b[2J\x1b[31mobj_flags_bit5"}}),
      edit("line of NUL bytes", kG, {{"\nflags_at", "\n\0\0\0\nflags_at"s}}),
      edit("UTF-8 byte-order mark", kG, {{"# test", "\xEF\xBB\xBF# test"}}),
      edit("byte-order mark inside", kG, {{"\nid 3", "\n\xEF\xBB\xBFid 3"}}),
      edit("CRLF line ends", kOlist, {{"\n", "\r\n"}}),
      edit("1 MiB comment line", kG, {{"# test", "#" + std::string(1 << 20, 'c') + "\n# test"}}),
      edit("100000-character key", kG, {{"obj_flags_bit5", std::string(100000, 'k') + " 1\nobj_flags_bit5"}}),
      edit("100000-digit number", kG, {{"fixed_size 224", "fixed_size " + std::string(100000, '9')}}),
      edit("1000-character name", kG, {{name, "table " + std::string(1000, 'a')}}),
      edit("1000 misplaced fields", kG, {{"field 208:8", "field 208:8" + times("\nfield 300:1", 1000)}}),
  };
  // clang-format on
  return mutants;
}

// Seeded random edits: bytes, tokens, numbers, lines and truncation.
std::vector<Mutant> random_mutants(size_t count) {
  const std::vector<fs::path> files = definitions(kDefs);
  // clang-format off
  const std::vector<std::string> tokens = {
      "0", "7", "8", "192", "65535", "65536", "4294901758", "4294901759", "4294967295",
      "4294967296", "18446744073709551616", "xN", "xC", "x2", ":", "#", "\n", "\r", " ", "\t",
      "\0"s, "field ", "class counted", "count_field 192\n", "\xEF\xBB\xBF", "\xff"};
  // clang-format on
  const char* const kDigits = "0123456789";
  const char* const kOps[] = {"byte", "insert", "erase", "number", "line", "cut"};
  std::mt19937 rng(20240611);
  std::vector<Mutant> mutants;
  for (size_t i = 0; i < count; ++i) {
    const std::string base = files[rng() % files.size()].filename();
    std::string text = read(kDefs / base), what = "random " + std::to_string(i) + ":";
    for (unsigned ops = 1 + rng() % 2; ops-- > 0;) {
      const size_t at = rng() % (text.size() + 1), line = text.rfind('\n', at) + 1;
      const size_t digits = text.find_first_of(kDigits, at), op = rng() % 6;
      const std::string& token = tokens[rng() % tokens.size()];
      // clang-format off
      switch (op) {
        case 0: if (at < text.size()) text[at] = static_cast<char>(rng()); break;
        case 1: text.insert(at, token); break;
        case 2: text.erase(at, rng() % 16); break;
        case 3: if (digits != std::string::npos)
                  text.replace(digits, text.find_first_not_of(kDigits, digits) - digits, token);
                break;
        case 4: text.insert(line, text.substr(line, text.find('\n', at) - line) + "\n"); break;
        default: text.resize(at);
      }
      // clang-format on
      what += std::string(" ") + kOps[op] + "@" + std::to_string(at);
    }
    mutants.push_back({what + " of " + base, base, text, base});
  }
  return mutants;
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
    // A clash with a later file is that file's error, with a note here.
    named |= line.rfind(mutated, 0) == 0;
  }
  if (r.output.find(": error: ") == std::string::npos) return "no error";
  return named ? "" : "no message names " + file;
}

TEST(Mutation, GeneratorAcceptsWhatTheModelAcceptsAndRejectsCleanly) {
  TempDir tmp;
  const fs::path defs = tmp / "defs", out = tmp / "out";
  fs::copy(kDefs, defs);
  std::vector<Mutant> mutants = targeted();
  for (Mutant& m : random_mutants(300)) mutants.push_back(std::move(m));
  for (const Mutant& m : mutants) {
    const std::string original = read(defs / m.base);
    if (!m.beside) fs::remove(defs / m.base);
    write(defs / m.file, m.text);
    for (const bool check : {true, false}) {
      const Result r =
          tablegen(check ? "--check " + quoted(defs) : quoted(defs) + " " + quoted(out));
      EXPECT_EQ(verdict(r, defs, m.file, check ? fs::path() : out), "")
          << m.what << (check ? " (--check)" : "") << "\n--- mutant:\n"
          << m.text.substr(0, 400) << "\n--- output:\n"
          << r.output.substr(0, 1000);
      fs::remove_all(out);
    }
    fs::remove(defs / m.file);
    write(defs / m.base, original);
  }
}

}  // namespace
