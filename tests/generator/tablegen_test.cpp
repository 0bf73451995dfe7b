// SPDX-License-Identifier: Apache-2.0
// zim_tablegen on folders of definitions: stable output, an output folder that
// holds the old or the new set whatever fails, and its command line. What it
// rejects is left to the mutation test. Definitions without offsets, flags_at
// and fixed_size, and their canonical form: the same layout as the platform's
// explicit ones, which --format gives back to the byte; and --format --write
// racing saves and signals, with other users' files and linked ones.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tablegen_runner.hpp"

namespace {

using namespace tablegen_test;
using namespace std::string_literals;

TEST(Tablegen, AFailedWriteFailsTheRunAndLeavesTheOldSet) {
  TempDir tmp;
  const fs::path defs = copy_defs(tmp), out = tmp / "out";
  ASSERT_EQ(tablegen(quoted(defs) + " " + quoted(out)).status, 0);
  const auto before = snapshot(out);
  // New trace identifiers change a unit and the large catalogue source; a
  // file-size limit lets the units through and stops the catalogue.
  write(defs / kGlobal, edited(read(defs / kGlobal), {{kGlobalWisp, kFreshWisp}}));
  const Result r = tablegen("--version >/dev/null && ulimit -f 128 && " ZIM_TABLEGEN " " +
                            quoted(defs) + " " + quoted(out));
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("cannot write"), std::string::npos) << r.output;
  EXPECT_TRUE(snapshot(out) == before) << "the output folder changed";
  EXPECT_EQ(entries(tmp.path), (std::vector<std::string>{"defs", "out"}));
  // Every mode's result goes to standard output; a failed write of it fails the run.
  for (const std::string& args : {"--help"s, "--version"s, "--manifest " + quoted(kDefs),
                                  "--compat " + quoted(kDefs) + " " + quoted(defs)}) {
    SCOPED_TRACE(args);
    const Result full = shell(ZIM_TABLEGEN " " + args + " 2>&1 >/dev/full");
    EXPECT_EQ(full.status, 1) << full.output;
    EXPECT_EQ(full.output,
              "zim_tablegen: error: cannot write standard output: No space left on device\n");
  }
}

// A rerun rewrites exactly the files whose text changes, whatever changed
// them: every other file keeps its bytes and its modification time, so that
// the build after it recompiles nothing more, and a file that is not the
// set's goes.
TEST(Tablegen, ARerunRewritesOnlyTheFilesThatChange) {
  using Change = void (*)(const fs::path& defs, const fs::path& out);
  const struct {
    const char* what;
    std::string damaged;  // the file of the output folder the change touches
    bool new_set;         // the definitions change, and so the set
    Change change;
  } kCases[] = {
      {"nothing", "", false, [](const fs::path&, const fs::path&) {}},
      {"a definition", "", true,
       [](const fs::path& defs, const fs::path&) {
         write(defs / kGlobal, edited(read(defs / kGlobal), {{kGlobalWisp, kFreshWisp}}));
       }},
      {"a file cut short", "zim_tables.manifest", false,
       [](const fs::path&, const fs::path& out) {
         fs::resize_file(out / "zim_tables.manifest", 99);
       }},
      {"a file grown", "include/zim/tables/olist.h", false,
       [](const fs::path&, const fs::path& out) {
         write(out / "include/zim/tables/olist.h", read(out / "include/zim/tables/olist.h") + "\n");
       }},
      {"a file removed", "zim_tables.map", false,
       [](const fs::path&, const fs::path& out) { fs::remove(out / "zim_tables.map"); }},
      {"a file beside the set", "include/zim/tables/stray.h", false,
       [](const fs::path&, const fs::path& out) { write(out / "include/zim/tables/stray.h", ""); }},
  };
  TempDir sets;
  ASSERT_EQ(tablegen(quoted(kDefs) + " " + quoted(sets / "base")).status, 0);
  const auto before = snapshot(sets / "base");
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    TempDir tmp;
    const fs::path defs = copy_defs(tmp), out = tmp / "out";
    fs::copy(sets / "base", out, fs::copy_options::recursive);
    // Backdated, so that a rewrite shows however soon it follows.
    const auto past = fs::file_time_type::clock::now() - std::chrono::hours(1);
    for (const auto& entry : fs::recursive_directory_iterator(out)) {
      if (entry.is_regular_file()) fs::last_write_time(entry.path(), past);
    }
    c.change(defs, out);
    EXPECT_EQ(tablegen(quoted(defs) + " " + quoted(out)).output, "");
    if (c.new_set) {
      ASSERT_EQ(tablegen(quoted(defs) + " " + quoted(tmp / "fresh")).status, 0);
    }
    const auto after = snapshot(out);
    EXPECT_TRUE(after == (c.new_set ? snapshot(tmp / "fresh") : before))
        << "not the set that a new folder gets";
    for (const auto& [file, text] : after) {
      const auto old = before.find(file);
      const bool kept = file != c.damaged && old != before.end() && old->second == text;
      EXPECT_EQ(fs::last_write_time(out / file) == past, kept) << file;
    }
    EXPECT_EQ(entries(tmp.path).size(), c.new_set ? 3u : 2u) << "a staging folder was left";
  }
}

// Usage errors exit 2, failures of the filesystem 1, and neither writes anything.
TEST(Tablegen, CommandLineConventionsAndFilesystemFailures) {
  TempDir tmp;
  const fs::path defs = copy_defs(tmp), file = tmp / "file", foreign = tmp / "foreign";
  write(file, "x");
  fs::create_directory(foreign);
  write(foreign / "notes.txt", "mine");
  fs::copy_file(kDefs / "000_test_if.tdef",
                foreign / "000_test_if.tdef");  // all types but one gone
  fs::create_symlink("loop.tdef", defs / "loop.tdef");
  // One field added: a change that a migration carries forward but not back.
  const fs::path added = tmp / "added";
  fs::copy(kDefs, added);
  fs::copy_file(fs::path(ZIM_COMPAT_CHANGES) / "field_added" / kGlobal, added / kGlobal,
                fs::copy_options::overwrite_existing);
  const std::string added_summary = "testglobaldiscard (table id 3): breaking, migrated";
  const struct {
    std::string args;
    int status;
    std::string output;  // empty: the run is silent
  } kCases[] = {
      {"--help", 0, "Exit status:"},
      {"--version", 0, "zim_tablegen 1.0.0"},
      {"--check " + quoted(kDefs), 0, ""},
      {quoted(kDefs) + " --check", 0, ""},
      {"--check", 2, "expected DEFS_DIR"},
      {"--frobnicate " + quoted(kDefs), 2, "--frobnicate"},
      {"--check --manifest " + quoted(kDefs), 2, "zim_tablegen: error: "},
      {"--list-outputs --manifest " + quoted(kDefs), 2, "zim_tablegen: error: "},
      {"--compat " + quoted(kDefs), 2, "--compat takes OLD and NEW"},
      {"--compat " + quoted(file) + " " + quoted(kDefs), 2, file.string() + ":1: error: "},
      {"--compat " + quoted(kDefs) + " " + quoted(kDefs), 0, ""},
      {"--compat " + quoted(kDefs) + " " + quoted(added), 3, added_summary + "\n\n"},
      {"--compat --both-ways " + quoted(kDefs) + " " + quoted(added), 3,
       added_summary + "; rollback: breaking, not migrated\n\n"},
      {"--compat " + quoted(kDefs) + " " + quoted(foreign), 1,
       "testifwithcreatereject (table id 1): breaking, not migrated\n"},
      {"--both-ways " + quoted(kDefs) + " " + quoted(added), 2,
       "zim_tablegen: error: --both-ways requires --compat"},
      {"--format " + quoted(kDefs), 2, "zim_tablegen: error: --format takes one definition file"},
      {"--write " + quoted(kDefs), 2, "zim_tablegen: error: --write requires --format"},
      {"--format --write --check " + quoted(kDefs), 2, "zim_tablegen: error: "},
      {quoted(kDefs) + " " + quoted(file), 1, file.string() + ": error: "},
      {quoted(kDefs) + " " + quoted(file / "out"), 1, file.string() + ": error: "},
      {quoted(kDefs) + " " + quoted(foreign), 1, foreign.string() + ": error: "},
      {"--check " + quoted(defs), 1, (defs / "loop.tdef").string() + ": error: "},
      {"--check " + quoted(tmp / "absent"), 2, "zim_tablegen: error: DEFS_DIR "},
      {quoted(file) + " " + quoted(tmp / "out"), 2, "zim_tablegen: error: DEFS_DIR "},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.args);
    const Result r = tablegen(c.args);
    EXPECT_EQ(r.status, c.status) << r.output;
    // A failure of the filesystem leads the output with its cause.
    const size_t at = r.output.find(c.output);
    EXPECT_TRUE(c.output.empty() ? r.output.empty()
                                 : at == 0 || (at != std::string::npos && c.status != 1))
        << r.output;
  }
  EXPECT_EQ(read(foreign / "notes.txt"), "mine");
  EXPECT_EQ(entries(tmp.path), (std::vector<std::string>{"added", "defs", "file", "foreign"}));
  // Help goes to standard output, so that it can be paged.
  EXPECT_EQ(tablegen("--help 2>/dev/null").output, tablegen("--help").output);
}

// Hidden entries are no definitions in any mode that reads a folder: an
// editor's lock file (a dangling link) and a broken hidden file stop nothing.
TEST(Tablegen, HiddenEntriesOfTheFolderAreLeftAlone) {
  TempDir tmp;
  const fs::path defs = copy_defs(tmp);
  fs::create_symlink("user@host.4242:1700000000", defs / (".#" + kGlobal));
  write(defs / ".999_broken.tdef", "table");
  ASSERT_EQ(tablegen(quoted(kDefs) + " expected", tmp.path).status, 0);
  for (const char* args : {"--check defs", "defs out", "--format --write defs"}) {
    SCOPED_TRACE(args);
    const Result r = tablegen(args, tmp.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "");
  }
  EXPECT_TRUE(snapshot(tmp / "out") == snapshot(tmp / "expected"));
  EXPECT_EQ(read(defs / ".999_broken.tdef"), "table");
}

std::string mode(const fs::path& path) {
  std::ostringstream text;
  text << std::oct << static_cast<unsigned>(fs::status(path).permissions());
  return text.str();
}

// Output folders and files take 0777 and 0666 less the umask, as anything else
// the build writes, whether the run writes the set anew or finds it unchanged.
TEST(Tablegen, OutputPermissionsFollowTheUmask) {
  TempDir tmp;
  const fs::path out = tmp / "out";
  const std::string run = ZIM_TABLEGEN " " + quoted(kDefs) + " " + quoted(out) + " 2>&1";
  const char* const kCases[][3] = {{"022", "755", "644"}, {"077", "700", "600"}};
  for (const auto& [umask, folders, files] : kCases) {  // umask, then folder and file modes
    SCOPED_TRACE(umask);
    fs::remove_all(out);
    ASSERT_EQ(shell("umask "s + umask + " && " + run).status, 0);
    EXPECT_EQ(mode(out), folders);
    for (const auto& entry : fs::recursive_directory_iterator(out)) {
      EXPECT_EQ(mode(entry.path()), entry.is_directory() ? folders : files) << entry.path();
    }
    // Unchanged files stay as they are, the folder takes the current umask.
    ASSERT_EQ(shell("umask 002 && " + run).status, 0);
    EXPECT_EQ(mode(out), "775");
  }
}

// The platform's counted olist with every derivable number left out.
std::string offset_less_olist() {
  const std::string text =
      edited(read(kDefs / kOlist), {{"fixed_size 296\n", ""}, {"flags_at 264\n", ""}});
  return std::regex_replace(text, std::regex("field [0-9]+:"), "field ");
}

// The canonical olist with tag in its first comment, and a loose form of it.
std::pair<std::string, std::string> tagged_olist(const std::string& tag) {
  const std::string canonical =
      edited(read(kDefs / kOlist), {{"# olist:", "# olist, " + tag + ":"}});
  return {canonical, edited(canonical, {{"table olist", "table  olist"}})};
}

// Runs of --format --write FILE, each with something done at a random moment
// within the time a whole run takes.
class RacedRuns {
 public:
  explicit RacedRuns(fs::path path) : file(std::move(path)) {
    write(file, tagged_olist("timing").second);
    const auto start = std::chrono::steady_clock::now();
    finish(start_tablegen({"--format", "--write", file}));
    span_ = (std::chrono::steady_clock::now() - start) / std::chrono::microseconds(1);
  }
  template <class Action>
  void run(const Action& at_random_moment) {
    const pid_t pid = start_tablegen({"--format", "--write", file});
    std::this_thread::sleep_for(std::chrono::microseconds(random_() % (span_ + 1)));
    at_random_moment(pid);
    finish(pid);
  }
  const fs::path file;

 private:
  std::minstd_rand random_{7};
  long span_ = 0;
};

TEST(TablegenFormat, EveryPlatformDefinitionIsInCanonicalForm) {
  for (const fs::path& file : definitions(kDefs)) {
    const Result r = tablegen("--format " + quoted(file));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, read(file)) << file;
  }
}

TEST(TablegenFormat, KeepsOldNames) {
  TempDir tmp;
  const std::string named = edited(read(kDefs / kGlobal), {{"field 208:8", "field 208:8 c was b"}});
  write(tmp / kGlobal, edited(named, {{"c was b", "c  was\tb"}}));
  EXPECT_EQ(tablegen("--format " + quoted(tmp / kGlobal)).output, named);
}

TEST(TablegenFormat, LeftOutOffsetsAreTheRulesOnesInEveryOutput) {
  TempDir tmp;
  const fs::path defs = copy_defs(tmp), olist = defs / kOlist;
  write(olist, offset_less_olist());
  EXPECT_EQ(tablegen("--format " + quoted(olist)).output, read(kDefs / kOlist));
  const Result compat = tablegen("--compat " + quoted(kDefs) + " " + quoted(defs));
  EXPECT_EQ(compat.status, 0);
  EXPECT_EQ(compat.output, "");
  ASSERT_EQ(tablegen(quoted(defs) + " " + quoted(tmp / "out")).status, 0);
  EXPECT_EQ(read(tmp / "out/zim_tables.manifest"), tablegen("--manifest " + quoted(kDefs)).output);
}

// Only a file whose text changes is replaced; an unchanged
// one keeps its bytes and modification time, and a bad definition stops all.
TEST(TablegenFormat, WriteRewritesOnlyWhatChanges) {
  TempDir tmp;
  const fs::path defs = copy_defs(tmp), olist = defs / kOlist, global = defs / kGlobal;
  write(olist, offset_less_olist());
  const auto past = fs::file_time_type::clock::now() - std::chrono::hours(1);
  for (const fs::path& file : definitions(defs)) fs::last_write_time(file, past);
  const std::string bad = edited(read(global), {{"field 208:8", "field 207:8"}});
  write(global, bad);
  EXPECT_EQ(tablegen("--format --write " + quoted(defs)).status, 1);
  EXPECT_EQ(read(olist), offset_less_olist());
  write(global, read(kDefs / kGlobal));
  fs::last_write_time(global, past);
  const Result r = tablegen("--format --write " + quoted(olist) + " " + quoted(defs));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(read(olist), read(kDefs / kOlist));
  for (const fs::path& file : definitions(defs)) {
    EXPECT_TRUE(file == olist || fs::last_write_time(file) == past) << file;
  }
  EXPECT_EQ(entries(defs), entries(kDefs)) << "a temporary file was left";
}

// An editor saves by rename at a random moment of each run: when the run
// ends, the file holds that save or its canonical form, never the older text.
TEST(TablegenFormat, WriteKeepsASaveMadeWhileItRuns) {
  TempDir tmp;
  RacedRuns runs(tmp / kOlist);
  for (int round = 0; round < 60; ++round) {
    const auto texts = tagged_olist("save " + std::to_string(round));
    const std::string &canonical = texts.first, &saved = texts.second;
    write(runs.file, tagged_olist("draft").second);
    runs.run([&](pid_t) {
      write(tmp / "saving", saved);
      fs::rename(tmp / "saving", runs.file);
    });
    const std::string now = read(runs.file);
    ASSERT_TRUE(now == saved || now == canonical) << "round " << round << ":\n" << now;
  }
}

// Runs ended by a signal at a random moment, one folder and thread per
// signal: the file holds its text or its canonical form; a held signal leaves
// no temporary file, SIGKILL at most one, which the next run removes.
TEST(TablegenFormat, InterruptedWriteLeavesNoTemporaryFile) {
  const std::string canonical = tagged_olist("kept").first, loose = tagged_olist("kept").second;
  const auto interrupt = [&](int sig, int count) {
    TempDir tmp;
    RacedRuns runs(tmp / kOlist);
    for (int i = 0; i < count; ++i) {
      SCOPED_TRACE(testing::Message() << "signal " << sig << ", run " << i);
      write(runs.file, loose);
      runs.run([sig](pid_t pid) { kill(pid, sig); });
      const std::string now = read(runs.file);
      ASSERT_TRUE(now == loose || now == canonical);
      if (sig == SIGKILL) {
        ASSERT_LE(entries(tmp.path).size(), 2u);
        ASSERT_EQ(finish(start_tablegen({"--format", "--write", runs.file})), 0);
      }
      ASSERT_EQ(entries(tmp.path), std::vector<std::string>{kOlist});
    }
  };
  std::vector<std::thread> threads;
  for (const auto& [sig, count] :
       {std::pair{SIGTERM, 134}, {SIGINT, 133}, {SIGHUP, 133}, {SIGKILL, 50}}) {
    threads.emplace_back(interrupt, sig, count);
  }
  for (auto& thread : threads) thread.join();
}

// A rewrite keeps the owner, group and mode, or leaves the file as it is with
// a message naming it: a file with two names, a read-only one, and one whose
// owner the user running cannot give the new file (as root: a second user).
TEST(TablegenFormat, WriteKeepsOwnerAndModeOrRefuses) {
  const bool root = geteuid() == 0;
  const uid_t self = geteuid(), other = root ? 4321 : self;
  const gid_t group = root ? 4321 : getegid();
  const std::string as_user = root ? "setpriv --reuid=4322 --regid=4322 --clear-groups " : "";
  const struct {
    mode_t mode;
    uid_t owner;
    bool linked;
    std::string as;
    bool rewritten;
  } cases[] = {{0640, other, false, "", true},
               {0644, self, true, "", false},
               {0444, self, false, "", false},
               {0666, other, false, as_user, !root}};
  const auto [canonical, loose] = tagged_olist("kept");
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::oct << c.mode << (c.linked ? " linked " : " ") << c.as);
    TempDir tmp;
    const fs::path file = tmp / kOlist, second_name = tmp / "second_name";
    write(file, loose);
    if (c.linked) fs::create_hard_link(file, second_name);
    ASSERT_EQ(chown(file.c_str(), c.owner, group), 0);
    ASSERT_EQ(chmod(file.c_str(), c.mode), 0);
    fs::permissions(tmp.path, fs::perms::all);
    const Result r = shell(c.as + ZIM_TABLEGEN " --format --write " + quoted(file) + " 2>&1");
    EXPECT_EQ(r.status, c.rewritten ? 0 : 1) << r.output;
    EXPECT_EQ(r.output.find(file.string()) != std::string::npos, !c.rewritten) << r.output;
    EXPECT_EQ(read(file), c.rewritten ? canonical : loose);
    EXPECT_TRUE(!c.linked || read(second_name) == loose);
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, c.owner);
    EXPECT_EQ(st.st_gid, group);
    EXPECT_EQ(st.st_mode & 07777, c.mode);
    EXPECT_EQ(entries(tmp.path).size(), c.linked ? 2u : 1u) << "a temporary file was left";
  }
}

}  // namespace
