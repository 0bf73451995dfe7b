// SPDX-License-Identifier: Apache-2.0
// Definitions without offsets, flags_at and fixed_size, and their canonical
// form: the same layout as the platform's explicit ones, which --format gives
// back to the byte; and --format --write racing saves and signals, with
// other users' files and linked ones.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <thread>

#include "tablegen_runner.hpp"

namespace {

using namespace tablegen_test;

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
