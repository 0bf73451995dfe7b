// zim_tablegen on folders of definitions: what it rejects and where it says
// so, that it then writes nothing, and that its output is stable.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tablegen_runner.hpp"

namespace {

using namespace tablegen_test;

constexpr char kGlobal[] = "003_testglobaldiscard.tdef";
constexpr char kOlist[] = "268_olist.tdef";
constexpr char kIpaclport[] = "165_ipaclport.tdef";
constexpr char kGlobalWisp[] = "wisp 1118 1119 1120 1118 1119 1120";
constexpr char kFreshWisp[] = "wisp 2000 2001 2002 2000 2001 2002";

// The real definitions' file names, in table-id order.
std::vector<std::string> definition_files() {
  std::vector<std::string> names;
  for (const fs::path& file : definitions(kDefs)) names.push_back(file.filename());
  return names;
}

// Cases name the ids around the end of the catalogue as {last} (its last id),
// {next} and {after}, so that they hold however many types it has.
std::string expand(std::string text) {
  const size_t count = definition_files().size();
  for (const auto& [token, id] : {std::pair<std::string, size_t>{"{last}", count - 1},
                                  {"{next}", count},
                                  {"{after}", count + 1}}) {
    for (size_t at; (at = text.find(token)) != std::string::npos;) {
      text.replace(at, token.size(), std::to_string(id));
    }
  }
  return text;
}

using Edits = std::vector<std::pair<std::string, std::string>>;

// Replaces the first occurrence of each `from` in turn.
std::string edited(std::string text, const Edits& edits) {
  for (const auto& [from, to] : edits) {
    const size_t at = text.find(from);
    if (at == std::string::npos) {
      ADD_FAILURE() << "nothing to replace: " << from;
      continue;
    }
    text.replace(at, from.size(), to);
  }
  return text;
}

// A private copy of the real definitions, to break.
fs::path copy_defs(const TempDir& tmp) {
  const fs::path defs = tmp / "defs";
  fs::copy(kDefs, defs);
  return defs;
}

// Every file below dir, by relative path, with its content.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) {
      files[fs::relative(entry.path(), dir).generic_string()] = read(entry.path());
    }
  }
  return files;
}

// Paths whose content differs between two snapshots, or that only one has.
std::vector<std::string> differing(const std::map<std::string, std::string>& a,
                                   const std::map<std::string, std::string>& b) {
  std::vector<std::string> paths;
  for (const auto& [path, content] : a) {
    const auto it = b.find(path);
    if (it == b.end() || it->second != content) paths.push_back(path);
  }
  for (const auto& [path, content] : b) {
    if (a.count(path) == 0) paths.push_back(path);
  }
  return paths;
}

// One broken definition per row. The broken file replaces its base, or sits
// beside it when the row makes it a type of its own (catalogue-wide checks).
enum Place { kReplace, kBeside };
struct Rejection {
  const char* what;
  const char* base;
  const char* file;
  Place place;
  Edits edits;
  int line;  // 0: the message carries no line
  const char* message;
  const char* note = nullptr;  // "file:line: note: text" pointing at the first use
};

// One case per row.
// clang-format off
const Rejection kRejections[] = {
    {"overlap", kGlobal, kGlobal, kReplace, {{"field 204:1", "field 202:1"}}, 12,
     "field 202:1 overlaps field 200:4"},
    {"gap over 7", kGlobal, kGlobal, kReplace, {{"field 208:8", "field 216:8"}}, 13,
     "leaves a gap of 11 bytes"},
    {"flags_at", kGlobal, kGlobal, kReplace, {{"flags_at 216", "flags_at 217"}}, 7,
     "presence-flag area must start at 216"},
    {"fixed_size", kGlobal, kGlobal, kReplace, {{"fixed_size 224", "fixed_size 232"}}, 5,
     "fixed size must be 224"},
    {"per_npu without xN", kGlobal, kGlobal, kReplace,
     {{"class fixed", "class per_npu"}, {"size_check off", "size_check on"}}, 4,
     "class per_npu needs at least one per-NPU array field"},
    {"array in fixed", kGlobal, kGlobal, kReplace, {{"field 208:8", "field 208:8xN"}}, 4,
     "class fixed has no array fields"},
    {"counted without count", kOlist, kOlist, kReplace, {{"count_field 200", "#"}}, 4,
     "class counted needs 'count_field'"},
    {"count outside header", kOlist, kOlist, kReplace, {{"count_field 200", "count_field 204"}}, 8,
     "count field 204 must be a 4-byte field of the type header"},
    {"unknown key", kGlobal, kGlobal, kReplace, {{"obj_flags_bit5", "obj_flag_bit5"}}, 9,
     "unknown key 'obj_flag_bit5'"},
    {"malformed item", kGlobal, kGlobal, kReplace, {{"field 204:1", "field 204;1"}}, 12,
     "malformed field '204;1'"},
    {"missing key", kGlobal, kGlobal, kReplace, {{"\nwisp", "\n# wisp"}}, 2, "missing 'wisp'"},
    {"missing table", kGlobal, kGlobal, kReplace, {{"\ntable", "\n# table"}}, 1,
     "missing 'table'"},
    {"run past 32 bits", kIpaclport, kIpaclport, kReplace, {{"field 244:1", "field 244:1x4294967295"}},
     18, "run length '4294967295' is larger than 65536"},
    {"header past 32 bits", kOlist, kOlist, kReplace, {{"192:4 196:4", "192:4 4294967292:4"}}, 6,
     "header field offset '4294967292' is larger than 65536"},
    {"huge number", kGlobal, kGlobal, kReplace, {{"field 208:8", "field 208:18446744073709551624"}},
     13, "field width '18446744073709551624' is larger than 65536"},
    {"element size", kOlist, kOlist, kReplace, {{"field 232:8xC", "field 232:4294967295xC"}}, 14,
     "element size '4294967295' is larger than 4294901758"},
    {"leading zero", kGlobal, kGlobal, kReplace, {{"fixed_size 224", "fixed_size 0224"}}, 5,
     "leading zero"},
    {"header alignment", kGlobal, kGlobal, kReplace, {{"196:4", "194:4"}}, 6,
     "header field 194:4 must lie at a multiple of its width"},
    {"gap not alignment", kGlobal, kGlobal, kReplace,
     {{"field 204:1", "field 205:1"}}, 12,
     "that no alignment of 2, 4 or 8 bytes explains"},
    {"control bytes escaped", kGlobal, kGlobal, kReplace, {{"obj_flags_bit5 clear", "obj_flags_bit5 \x1b[2J\x01"}},
     9, "not '\\x1b[2J\\x01'"},
    {"key twice", kGlobal, kGlobal, kReplace, {{"\nid 3\n", "\nid 3\nid 3\n"}}, 4,
     "'id' given twice", "003_testglobaldiscard.tdef:3: note: first given here"},
    {"bad type name", kGlobal, kGlobal, kReplace, {{"table testglobaldiscard", "table TestGd"}}, 2,
     "type name 'TestGd' must be"},
    {"bad file name", kGlobal, "004_testglobaldiscard.tdef", kReplace, {}, 2,
     "file name must be '003_testglobaldiscard.tdef'"},
    {"duplicate id", kGlobal, "003_testzdup.tdef", kBeside,
     {{"table testglobaldiscard", "table testzdup"}, {kGlobalWisp, kFreshWisp}}, 3,
     "duplicate table id 3", "003_testglobaldiscard.tdef:3: note: first used here"},
    {"duplicate name", kGlobal, "{next}_testglobaldiscard.tdef", kBeside,
     {{"\nid 3\n", "\nid {next}\n"}, {kGlobalWisp, kFreshWisp}}, 2,
     "duplicate type name 'testglobaldiscard'",
     "003_testglobaldiscard.tdef:2: note: first used here"},
    {"shared wisp", kGlobal, "{next}_testwisp.tdef", kBeside,
     {{"\nid 3\n", "\nid {next}\n"}, {"table testglobaldiscard", "table testwisp"}}, 10,
     "trace identifier 1118 already belongs to type 'testglobaldiscard'",
     "003_testglobaldiscard.tdef:10: note: used here"},
    {"id gap", kGlobal, "{after}_testgap.tdef", kBeside,
     {{"\nid 3\n", "\nid {after}\n"}, {"table testglobaldiscard", "table testgap"},
      {kGlobalWisp, kFreshWisp}}, 3,
     "table id {after} lies outside the catalogue: {after} definitions take the ids 0 to {next}, "
     "and no definition has id {next}"},
};
// clang-format on

TEST(Tablegen, RejectsBrokenDefinitionsAtTheirLine) {
  for (const Rejection& c : kRejections) {
    SCOPED_TRACE(c.what);
    TempDir tmp;
    const fs::path defs = copy_defs(tmp);
    const std::string text = read(defs / c.base);
    if (c.place == kReplace) fs::remove(defs / c.base);
    Edits edits = c.edits;
    for (auto& edit : edits) edit.second = expand(edit.second);
    const std::string file_name = expand(c.file), message = expand(c.message);
    write(defs / file_name, edited(text, edits));

    const Result r = tablegen("--check " + quoted(defs));
    EXPECT_EQ(r.status, 1) << r.output;
    const std::string file = (defs / file_name).string();
    const std::string where = file + (c.line ? ":" + std::to_string(c.line) : "") + ": error: ";
    bool found = false;
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);) {
      found |= line.rfind(where, 0) == 0 && line.find(message) != std::string::npos;
      // No error may be blamed on a file that was left intact.
      if (line.find(": error: ") != std::string::npos) {
        EXPECT_EQ(line.rfind(file + ":", 0), 0u) << line;
      }
    }
    EXPECT_TRUE(found) << "expected " << where << message << "\n" << r.output;
    if (c.note) {
      EXPECT_NE(r.output.find((defs / c.note).string()), std::string::npos) << r.output;
    }
  }
}

TEST(Tablegen, WritesNothingWhenADefinitionIsBroken) {
  TempDir tmp;
  const fs::path defs = copy_defs(tmp);
  write(defs / kGlobal, edited(read(defs / kGlobal), {{"field 204:1", "field 202:1"}}));
  const fs::path absent = tmp / "absent", empty = tmp / "empty";
  fs::create_directory(empty);
  for (const fs::path& out : {absent, empty}) {
    const Result r = tablegen(quoted(defs) + " " + quoted(out));
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("no files written"), std::string::npos) << r.output;
  }
  EXPECT_FALSE(fs::exists(absent));
  EXPECT_TRUE(fs::is_empty(empty));
}

TEST(Tablegen, RerunsAreByteIdenticalAndRewriteOnlyWhatChanged) {
  TempDir tmp;
  const fs::path defs = copy_defs(tmp), out = tmp / "out";
  const std::string generate = quoted(defs) + " " + quoted(out);
  ASSERT_EQ(tablegen(generate).status, 0);
  const auto first = snapshot(out);
  // Per type a unit and a header; the umbrella and catalogue-size headers, the
  // export map, the catalogue, the manifest and the marker of the folder.
  EXPECT_EQ(first.size(), 2 * definition_files().size() + 6);
  ASSERT_EQ(first.count("src/vesk-autogensrc/testglobaldiscard_common_utils.cpp"), 1u);

  // Back-dated files show a rewrite as a new mtime, with no waiting.
  const auto stamp = fs::last_write_time(out / first.begin()->first) - std::chrono::hours(24);
  auto rewritten = [&] {
    std::vector<std::string> paths;
    for (const auto& [path, content] : snapshot(out)) {
      if (fs::last_write_time(out / path) != stamp) paths.push_back(path);
    }
    return paths;
  };
  auto back_date = [&] {
    for (const auto& [path, content] : snapshot(out)) fs::last_write_time(out / path, stamp);
  };

  back_date();
  ASSERT_EQ(tablegen(generate).status, 0);
  EXPECT_EQ(differing(first, snapshot(out)), std::vector<std::string>{});
  EXPECT_EQ(rewritten(), std::vector<std::string>{});

  // One changed definition rewrites exactly the files whose content changed.
  write(defs / kGlobal, edited(read(defs / kGlobal), {{kGlobalWisp, kFreshWisp}}));
  back_date();
  ASSERT_EQ(tablegen(generate).status, 0);
  const auto changed = differing(first, snapshot(out));
  EXPECT_NE(std::find(changed.begin(), changed.end(),
                      "src/vesk-autogensrc/testglobaldiscard_common_utils.cpp"),
            changed.end());
  EXPECT_EQ(rewritten(), changed);
}

// Entries of a folder, to see that a failed run leaves no staging folder.
std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Tablegen, FilesystemFailuresAreErrorsThatWriteNothing) {
  TempDir tmp;
  const fs::path defs = copy_defs(tmp);
  write(tmp / "file", "x");
  fs::create_directory(tmp / "foreign");
  write(tmp / "foreign" / "notes.txt", "mine");
  fs::create_symlink("loop.tdef", defs / "loop.tdef");
  const struct {
    std::string args, where;
  } kCases[] = {
      {quoted(kDefs) + " " + quoted(tmp / "file"), (tmp / "file").string()},
      {quoted(kDefs) + " " + quoted(tmp / "file" / "out"), (tmp / "file").string()},
      {quoted(kDefs) + " " + quoted(tmp / "foreign"), (tmp / "foreign").string()},
      {"--check " + quoted(defs), (defs / "loop.tdef").string()},
      {"--check " + quoted(tmp / "absent"), (tmp / "absent").string()},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.args);
    const Result r = tablegen(c.args);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_EQ(r.output.rfind(c.where, 0), 0u) << r.output;
    EXPECT_NE(r.output.find(": error: "), std::string::npos) << r.output;
  }
  EXPECT_EQ(read(tmp / "foreign" / "notes.txt"), "mine");
  EXPECT_EQ(entries(tmp.path()), (std::vector<std::string>{"defs", "file", "foreign"}));
}

TEST(Tablegen, AWriteThatFailsPartWayLeavesTheOldSet) {
  TempDir tmp;
  const fs::path defs = copy_defs(tmp), out = tmp / "out";
  ASSERT_EQ(tablegen(quoted(defs) + " " + quoted(out)).status, 0);
  const auto before = snapshot(out);
  // A new trace identifier changes a unit and the large catalogue source;
  // a file-size limit lets the units through and stops the catalogue.
  write(defs / kGlobal, edited(read(defs / kGlobal), {{kGlobalWisp, kFreshWisp}}));
  const Result r = tablegen("--version >/dev/null && ulimit -f 128 && " +
                            std::string(ZIM_TABLEGEN) + " " + quoted(defs) + " " + quoted(out));
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("cannot write"), std::string::npos) << r.output;
  EXPECT_EQ(differing(before, snapshot(out)), std::vector<std::string>{});
  EXPECT_EQ(entries(tmp.path()), (std::vector<std::string>{"defs", "out"}));
}

TEST(Tablegen, CommandLineConventions) {
  const struct {
    std::string args;
    int status;
    std::string output;
  } kCases[] = {
      {"--help", 0, "Exit status:"},
      {"--version", 0, "zim_tablegen 1.0.0"},
      {quoted(kDefs) + " --check", 0, ""},
      {"--check", 2, "expected DEFS_DIR"},
      {"--frobnicate " + quoted(kDefs), 2, "--frobnicate"},
      {"--check --manifest " + quoted(kDefs), 2, "zim_tablegen: error: "},
      {"--compat " + quoted(kDefs), 2, "--compat takes OLD and NEW"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.args);
    const Result r = tablegen(c.args);
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_NE(r.output.find(c.output), std::string::npos) << r.output;
  }
  // Help goes to standard output, so that it can be paged.
  EXPECT_EQ(tablegen("--help 2>/dev/null").output, tablegen("--help").output);
}

// One change to a copy of the catalogue per row, and how --compat judges it.
struct CompatCase {
  const char* what;
  const char* file;
  Edits edits;
  int status;
  std::vector<std::string> lines;  // each expected as a substring of one output line
};

TEST(Tablegen, CompatClassifiesLayoutChanges) {
  // clang-format off
  const CompatCase kCases[] = {
      {"comment only", kGlobal, {{"\nid 3\n", "\nid 3  # unchanged\n"}}, 0,
       {":2: compatible: testglobaldiscard: the definition's text changed"}},
      {"trace identifiers", kGlobal, {{kGlobalWisp, "wisp 2000 2001 2002 2003 2004 2005"}}, 0,
       {":10: compatible: testglobaldiscard: trace identifiers 1118 1119 1120 1118 1119 1120 are "
        "now 2000 2001 2002 2003 2004 2005",
        ":2: compatible: testglobaldiscard: the allocation check now reports line 185 instead of 186"}},
      {"narrower field", kGlobal,
       {{"field 208:8", "field 208:4"}, {"flags_at 216", "flags_at 212"},
        {"fixed_size 224", "fixed_size 216"}}, 1,
       {":5: breaking: testglobaldiscard: fixed size 224 is now 216",
        ":13: breaking: testglobaldiscard: data field 208:8 with flags at 218 is now 208:4 with "
        "flags at 214",
        ":11: breaking: testglobaldiscard: data field 200:4 with flags at 216 is now 200:4 with "
        "flags at 212",
        ":7: breaking: testglobaldiscard: npd_present at 219 is now at 215"}},
      {"header copy order", kOlist, {{"192:4 196:4 200:4", "196:4 192:4 200:4"}}, 1,
       {":6: breaking: olist: type header 192:4 196:4 200:4 is now 196:4 192:4 200:4"}},
      {"switch", kGlobal, {{"obj_flags_bit5 clear", "obj_flags_bit5 set"}}, 1,
       {":9: breaking: testglobaldiscard: bit 5 of obj_flags is now set"}},
      {"id to another type", kGlobal, {{"table testglobaldiscard", "table testrenamed"}}, 1,
       {":3: breaking: table id 3 belonged to type 'testglobaldiscard' and now names "
        "'testrenamed'"}},
  };
  // clang-format on
  for (const CompatCase& c : kCases) {
    SCOPED_TRACE(c.what);
    TempDir tmp;
    const fs::path defs = copy_defs(tmp);
    std::string file = c.file;
    const std::string text = edited(read(defs / file), c.edits);
    fs::remove(defs / file);
    if (std::string(c.what) == "id to another type") file = "003_testrenamed.tdef";
    write(defs / file, text);
    const Result r = tablegen("--compat " + quoted(kDefs) + " " + quoted(defs));
    EXPECT_EQ(r.status, c.status) << r.output;
    for (const auto& line : c.lines) {
      EXPECT_NE(r.output.find((defs / file).string() + line), std::string::npos) << line << "\n"
                                                                                 << r.output;
    }
  }
}

TEST(Tablegen, CompatAgainstAManifestSeesRemovedAndNewTypes) {
  TempDir tmp;
  const fs::path defs = copy_defs(tmp), manifest = tmp / "released.manifest";
  ASSERT_EQ(tablegen("--manifest " + quoted(kDefs) + " > " + quoted(manifest)).status, 0);
  EXPECT_EQ(tablegen("--compat " + quoted(manifest) + " " + quoted(kDefs)).output, "");

  // The next id is a compatible addition.
  const std::string added =
      edited(read(defs / kGlobal), {{"\nid 3\n", expand("\nid {next}\n")},
                                    {"table testglobaldiscard", "table testnew"},
                                    {kGlobalWisp, kFreshWisp}});
  const std::string added_file = expand("{next}_testnew.tdef");
  write(defs / added_file, added);
  Result r = tablegen("--compat " + quoted(manifest) + " " + quoted(defs));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(
      r.output.find(added_file + expand(":3: compatible: new type 'testnew' with table id {next}")),
      std::string::npos)
      << r.output;

  // Removing the last type breaks the processes that still use it.
  fs::remove(defs / added_file);
  const std::string last = definition_files().back();
  const std::string last_name = last.substr(4, last.size() - 9);
  fs::remove(defs / last);
  r = tablegen("--compat " + quoted(manifest) + " " + quoted(defs));
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find(manifest.string() + ":"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find(expand(": breaking: type '" + last_name + "' (table id {last}) removed")),
            std::string::npos)
      << r.output;

  // An invalid side is a usage failure with its errors.
  write(manifest, "type x\n");
  r = tablegen("--compat " + quoted(manifest) + " " + quoted(kDefs));
  EXPECT_EQ(r.status, 2) << r.output;
  EXPECT_NE(r.output.find(manifest.string() + ":1: error: "), std::string::npos) << r.output;
}

TEST(Tablegen, CheckModeAcceptsTheRealDefinitions) {
  const Result r = tablegen("--check " + quoted(kDefs));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "");
}

}  // namespace
