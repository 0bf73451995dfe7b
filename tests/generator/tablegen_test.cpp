// zim_tablegen on folders of definitions: what it rejects and where it says
// so, that it then writes nothing, and that its output is stable.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path kDefs = ZIM_DEFS_DIR;
constexpr char kGlobal[] = "003_testglobaldiscard.tdef";
constexpr char kOlist[] = "268_olist.tdef";
constexpr char kGlobalWisp[] = "wisp 1118 1119 1120 1118 1119 1120";
constexpr char kFreshWisp[] = "wisp 2000 2001 2002 2000 2001 2002";

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tablegen_test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

struct Result {
  int status = -1;
  std::string output;  // standard output and standard error
};

Result tablegen(const std::string& args) {
  Result r;
  FILE* pipe = popen((std::string(ZIM_TABLEGEN) + " " + args + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return r;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) r.output.append(buffer, n);
  const int status = pclose(pipe);
  if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
  return r;
}

std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
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
    {"missing key", kGlobal, kGlobal, kReplace, {{"\nwisp", "\n# wisp"}}, 0, "missing 'wisp'"},
    {"key twice", kGlobal, kGlobal, kReplace, {{"\nid 3\n", "\nid 3\nid 3\n"}}, 4,
     "'id' given twice", "003_testglobaldiscard.tdef:3: note: first given here"},
    {"bad type name", kGlobal, kGlobal, kReplace, {{"table testglobaldiscard", "table TestGd"}}, 2,
     "type name 'TestGd' must be"},
    {"bad file name", kGlobal, "004_testglobaldiscard.tdef", kReplace, {}, 2,
     "file name must be '003_testglobaldiscard.tdef'"},
    {"duplicate id", kGlobal, "003_testzdup.tdef", kBeside,
     {{"table testglobaldiscard", "table testzdup"}, {kGlobalWisp, kFreshWisp}}, 3,
     "duplicate table id 3", "003_testglobaldiscard.tdef:3: note: first used here"},
    {"duplicate name", kGlobal, "343_testglobaldiscard.tdef", kBeside,
     {{"\nid 3\n", "\nid 343\n"}, {kGlobalWisp, kFreshWisp}}, 2,
     "duplicate type name 'testglobaldiscard'",
     "003_testglobaldiscard.tdef:2: note: first used here"},
    {"shared wisp", kGlobal, "343_testwisp.tdef", kBeside,
     {{"\nid 3\n", "\nid 343\n"}, {"table testglobaldiscard", "table testwisp"}}, 10,
     "trace identifier 1118 already belongs to type 'testglobaldiscard'",
     "003_testglobaldiscard.tdef:10: note: used here"},
    {"id gap", kGlobal, "344_testgap.tdef", kBeside,
     {{"\nid 3\n", "\nid 344\n"}, {"table testglobaldiscard", "table testgap"},
      {kGlobalWisp, kFreshWisp}}, 3,
     "table ids must run densely from 0: id 343 is missing"},
};
// clang-format on

TEST(Tablegen, RejectsBrokenDefinitionsAtTheirLine) {
  for (const Rejection& c : kRejections) {
    SCOPED_TRACE(c.what);
    TempDir tmp;
    const fs::path defs = copy_defs(tmp);
    const std::string text = read(defs / c.base);
    if (c.place == kReplace) fs::remove(defs / c.base);
    write(defs / c.file, edited(text, c.edits));

    const Result r = tablegen("--check " + quoted(defs));
    EXPECT_EQ(r.status, 1) << r.output;
    const std::string file = (defs / c.file).string();
    const std::string where = file + (c.line ? ":" + std::to_string(c.line) : "") + ": error: ";
    bool found = false;
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);) {
      found |= line.rfind(where, 0) == 0 && line.find(c.message) != std::string::npos;
      // No error may be blamed on a file that was left intact.
      if (line.find(": error: ") != std::string::npos) {
        EXPECT_EQ(line.rfind(file + ":", 0), 0u) << line;
      }
    }
    EXPECT_TRUE(found) << "expected " << where << c.message << "\n" << r.output;
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
  // Per type a unit and a header; the umbrella header, export map and catalogue.
  EXPECT_EQ(first.size(), 2 * 343u + 3);
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

TEST(Tablegen, CheckModeAcceptsTheRealDefinitions) {
  const Result r = tablegen("--check " + quoted(kDefs));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "");
}

}  // namespace
