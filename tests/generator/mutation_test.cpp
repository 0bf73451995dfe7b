// zim_tablegen on the real definitions with one of them mutated: it either
// accepts a folder that the layout model accepts too, or rejects it cleanly:
// compiler-style messages that name the mutated file, printable and short,
// nothing written, no crash or hang.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "definition_model.hpp"
#include "tablegen_runner.hpp"

using namespace std::string_literals;

namespace {

using namespace tablegen_test;

std::string times(const std::string& s, size_t n) {
  std::string all;
  while (n-- > 0) all += s;
  return all;
}

// One definition edited; the error it must give at its line (none expected when line is 0), and
// the note that points at the first use of a duplicate.
struct Mutant {
  std::string what, base;  // base: the definition it starts from
  Edits edits;
  int line = 0;
  std::string message{}, file{};  // file: where it goes, if not in place of base
  bool beside = false;            // whether base stays
  std::string note{};
};

std::vector<Mutant> targeted() {
  // New types take the next ids: the catalogue's size and one more.
  const size_t size = definitions(kDefs).size();
  const std::string next = std::to_string(size), after = std::to_string(size + 1);
  const std::string id = "\nid 3\n", name = "table testglobaldiscard", kG = kGlobal;
  const std::string kWisp = kGlobalWisp, kFresh = kFreshWisp;
  // clang-format off
  return {
      // Numbers past their bounds, however wide.
      {"id 3 + 2^16", kG, {{id, "\nid 65539\n"}}, 3, "table id '65539' is larger than 65535"},
      {"id 3 + 2^32", kG, {{id, "\nid 4294967299\n"}}},
      {"fixed_size 224 + 2^64", kG, {{"fixed_size 224", "fixed_size 18446744073709551840"}}},
      {"fixed_size of 40 digits", kG, {{"fixed_size 224", "fixed_size " + std::string(40, '9')}}},
      {"leading zero", kG, {{"fixed_size 224", "fixed_size 0224"}}, 5, "leading zero"},
      {"flags_at 216 + 2^32", kG, {{"flags_at 216", "flags_at 4294967512"}}},
      {"header field at 4294967292:4", kG, {{"196:4\n", "196:4 4294967292:4\n"}}, 6,
       "header field offset '4294967292' is larger than 65536"},
      {"header width 4 + 2^32", kG, {{"196:4\n", "196:4294967300\n"}}},
      {"field offset 204 + 2^32", kG, {{"field 204:1", "field 4294967500:1"}}},
      {"run bytes 4 + 2^32", kG, {{"field 200:4", "field 200:2x2147483650"}}, 11,
       "run length '2147483650' is larger than 65536"},
      {"run of 2^32 - 1 one-byte fields", "165_ipaclport.tdef",
       {{"field 244:1", "field 244:1x4294967295"}}, 18, "run length '4294967295'"},
      {"run bytes 4 + 2^64", kG, {{"field 200:4", "field 200:4x4611686018427387905"}}},
      {"width 2^64 + 8", kG, {{"field 208:8", "field 208:18446744073709551624"}}, 13,
       "field width '18446744073709551624' is larger than 65536"},
      {"element size 4294901759", kOlist, {{"232:8xC", "232:4294901759xC"}}, 14,
       "element size '4294901759' is larger than 4294901758"},
      {"element size 4294901758", kOlist, {{"232:8xC", "232:4294901758xC"}}},
      {"arrays past a 32-bit object", kOlist,
       {{"232:8xC", "232:4294901758xC"}, {"240:8xC", "240:65536xC"}}, 15,
       "make 4294967592 bytes, more than a 32-bit object holds"},
      {"count_field 200 + 2^32", kOlist, {{"count_field 200", "count_field 4294967496"}}},
      {"wisp value 5000 + 2^32", kG, {{kWisp, "wisp 4294972296 1119 1120 1118 1119 1120"}}},
      // Layout rules.
      {"misaligned header field", kG, {{"header 192:4", "header 193:2"}}, 6,
       "header field 193:2 must lie at a multiple of its width"},
      {"overlapping header fields", kG, {{"header 192:4 196:4", "header 194:2 192:4"}}},
      {"misaligned array", kOlist, {{"224:4x2", "224:4x3"}, {"232:8xC", "236:8xC"},
                                    {"240:8xC", "244:8xC"}, {"248:4", "252:4"}}},
      {"overlapping fields", kG, {{"field 204:1", "field 202:1"}}, 12,
       "field 202:1 overlaps field 200:4"},
      {"gap over 7", kG, {{"field 208:8", "field 216:8"}}, 13, "leaves a gap of 11 bytes"},
      {"gap no alignment explains", kG, {{"field 204:1", "field 205:1"}}, 12,
       "that no alignment of 2, 4 or 8 bytes explains"},
      {"flags_at one late", kG, {{"flags_at 216", "flags_at 217"}}, 7,
       "presence-flag area must start at 216"},
      {"fixed_size 8 more", kG, {{"fixed_size 224", "fixed_size 232"}}, 5,
       "fixed size must be 224"},
      {"count outside the header", kOlist, {{"count_field 200", "count_field 204"}}, 8,
       "count field 204 must be a 4-byte field of the type header"},
      // Classes and switches.
      {"class counted without arrays", kG, {{"class fixed", "class counted"}}},
      {"per_npu without xN", kG,
       {{"class fixed", "class per_npu"}, {"size_check off", "size_check on"}}, 4,
       "class per_npu needs at least one per-NPU array"},
      {"array in a fixed type", kG, {{"field 208:8", "field 208:8xN"}}, 4,
       "class fixed has no array fields"},
      {"counted without count", kOlist, {{"count_field 200", "#"}}, 4,
       "class counted needs 'count_field'"},
      {"counted with size_check off", kOlist, {{"size_check on", "size_check off"}}},
      {"unknown class", kG, {{"class fixed", "class Fixed"}}},
      // Keys, names and the catalogue.
      {"table twice", kG, {{name, name + "\n" + name}}, 3, "'table' given twice", {}, false,
       kG + ":2: note: first given here"},
      {"missing wisp", kG, {{"\nwisp", "\n# wisp"}}, 2, "missing 'wisp'"},
      {"missing table", kG, {{"\ntable", "\n# table"}}, 1, "missing 'table'"},
      {"unknown key", kG, {{"obj_flags_bit5", "obj_flag_bit5"}}, 9, "unknown key 'obj_flag_bit5'"},
      {"malformed item", kG, {{"field 204:1", "field 204;1"}}, 12, "malformed field '204;1'"},
      {"bad type name", kG, {{name, "table TestGd"}}, 2, "type name 'TestGd' must be"},
      {"bad file name", kG, {{"#", "#"}}, 2, "file name must be '" + kG + "'",
       "004_testglobaldiscard.tdef"},
      {"duplicate id", kG, {{name, "table testzdup"}, {kWisp, kFresh}}, 3, "duplicate table id 3",
       "003_testzdup.tdef", true, kG + ":3: note: first used here"},
      {"duplicate name", kG, {{id, "\nid " + next + "\n"}, {kWisp, kFresh}}, 2,
       "duplicate type name 'testglobaldiscard'", next + "_testglobaldiscard.tdef", true,
       kG + ":2: note: first used here"},
      {"shared wisp", kG, {{id, "\nid " + next + "\n"}, {name, "table testwisp"}}, 10,
       "trace identifier 1118 already belongs to type 'testglobaldiscard'", next + "_testwisp.tdef",
       true, kG + ":10: note: used here"},
      {"id past the catalogue", kG,
       {{id, "\nid " + after + "\n"}, {name, "table testgap"}, {kWisp, kFresh}}, 3,
       "table id " + after + " lies outside the catalogue: " + after +
           " definitions take the ids 0 to " + next + ", and no definition has id " + next,
       after + "_testgap.tdef", true},
      // Field names become parts of the header's constants.
      {"named fields", kOlist, {{"232:8xC", "232:8xC members"}, {"248:4", "248:4 mtu"}}},
      {"bad field name", kG, {{"field 204:1", "field 204:1 Bad"}}, 12,
       "field name 'Bad' must be 1 to 48 characters"},
      {"field name twice", kG, {{"field 200:4", "field 200:4 x"}, {"field 204:1", "field 204:1 x"}},
       12, "field name 'x' is already used at line 11"},
      {"field constants clash", kOlist, {{"232:8xC", "232:8xC a"}, {"240:8xC", "240:8xC a_flags"}},
       15, "the field names make the header define ZIM_OLIST_FIELD_A_FLAGS_PTR twice", {}, false,
       kOlist + ":14: note: first defined for this field"},
      {"constants clash with another type's", kG,
       {{id, "\nid " + next + "\n"}, {name, "table testglobaldiscard_num"}, {kWisp, kFresh}}, 2,
       "would define ZIM_TESTGLOBALDISCARD_NUM_HEADER_FIELDS, which the header of "
       "'testglobaldiscard' defines too",
       next + "_testglobaldiscard_num.tdef", true, kG + ":2: note: defined here"},
      {"a library header's name", kG, {{name, "table platform"}}, 2,
       "type name 'platform' is reserved for a header of the library", "003_platform.tdef"},
      // Bytes and sizes no definition has.
      {"garbage bytes", kG, {{"# test", "\xff\xfe\x80garbage\x01# test"}}},
      {"NUL in the name", kG, {{name, "table testglobal\0discard"s}}},
      {"ESC sequences in a key", kG, {{"obj_flags_bit5", "\x1b[2J\x1b[31mobj_flags_bit5"}}, 9,
       "unknown key '\\x1b[2J\\x1b[31mobj_flags_bit5'"},
      {"line of NUL bytes", kG, {{"\nflags_at", "\n\0\0\0\nflags_at"s}}},
      {"UTF-8 byte-order mark", kG, {{"# test", "\xEF\xBB\xBF# test"}}},
      {"byte-order mark inside", kG, {{"\nid 3", "\n\xEF\xBB\xBFid 3"}}},
      {"CRLF line ends", kOlist, {{"\n", "\r\n"}}},
      {"1 MiB comment line", kG, {{"# test", "#" + std::string(1 << 20, 'c') + "\n# test"}}},
      {"100000-character key", kG,
       {{"obj_flags_bit5", std::string(100000, 'k') + " 1\nobj_flags_bit5"}}},
      {"100000-digit number", kG, {{"fixed_size 224", "fixed_size " + std::string(100000, '9')}}},
      {"1000-character name", kG, {{name, "table " + std::string(1000, 'a')}}},
      {"1000 misplaced fields", kG,
       {{"field 208:8", "field 208:8" + times("\nfield 300:1", 1000)}}},
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
std::string verdict(const Result& r, const fs::path& defs, const Mutant& m, const fs::path& out) {
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
  const std::string prefix = defs.string(), mutated = prefix + "/" + m.file + ":";
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
  if (m.line == 0) return named ? "" : "no message names " + m.file;
  // A targeted case: its error, at its line, and no error blamed elsewhere.
  const std::string where = mutated + std::to_string(m.line) + ": error: ";
  bool expected = false;
  for (const std::string& line : all) {
    expected |= line.rfind(where, 0) == 0 && line.find(m.message) != std::string::npos;
    if (line.find(": error: ") != std::string::npos && line.rfind(mutated, 0) != 0)
      return "error blamed on another file: " + line;
  }
  if (!expected) return "expected " + where + m.message;
  if (!m.note.empty() && r.output.find(prefix + "/" + m.note) == std::string::npos)
    return "expected the note " + m.note;
  return "";
}

TEST(Mutation, GeneratorAcceptsWhatTheModelAcceptsAndRejectsCleanly) {
  TempDir tmp;
  const fs::path defs = copy_defs(tmp), out = tmp / "out";
  for (Mutant m : targeted()) {
    if (m.file.empty()) m.file = m.base;
    const std::string text = edited(read(kDefs / m.base), m.edits);
    if (!m.beside) fs::remove(defs / m.base);
    write(defs / m.file, text);
    for (const bool check : {true, false}) {
      const Result r =
          tablegen(check ? "--check " + quoted(defs) : quoted(defs) + " " + quoted(out));
      EXPECT_EQ(verdict(r, defs, m, check ? fs::path() : out), "")
          << m.what << (check ? " (--check)" : "") << "\n--- mutant:\n"
          << text.substr(0, 400) << "\n--- output:\n"
          << r.output.substr(0, 1000);
      fs::remove_all(out);
    }
    fs::remove(defs / m.file);
    fs::copy_file(kDefs / m.base, defs / m.base, fs::copy_options::overwrite_existing);
  }
}

}  // namespace
