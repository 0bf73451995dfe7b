// SPDX-License-Identifier: Apache-2.0
// zim_tablegen on a catalogue of more than 1,000 types, whose file names are
// not all of one width, and stopped by a signal while it writes one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tablegen_runner.hpp"

namespace {

using namespace tablegen_test;

constexpr unsigned kTypes = 1001;

// n small fixed types with the ids first to first + n - 1, in files named
// "%03u_<name>.tdef".
void write_fixed_types(const fs::path& dir, unsigned n, unsigned first = 0) {
  fs::create_directories(dir);
  for (unsigned id = first; id < first + n; ++id) {
    std::string wisp = "wisp";
    for (unsigned k = 0; k < 6; ++k) wisp += " " + std::to_string(6 * id + k);
    char file[64];
    std::snprintf(file, sizeof file, "%03u_type_%u.tdef", id, id);
    write(dir / file, "table type_" + std::to_string(id) + "\nid " + std::to_string(id) +
                          "\nclass fixed\nfixed_size 224\nheader 192:4 196:4\nflags_at 216\n"
                          "size_check off\nobj_flags_bit5 clear\n" +
                          wisp + "\nfield 200:4\nfield 204:1\nfield 208:8\n");
  }
}

// The captures of every match of pattern in text, in the order found.
std::vector<std::string> captures(const std::string& text, const std::string& pattern) {
  std::vector<std::string> found;
  const std::regex re(pattern);
  for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it) {
    found.push_back((*it)[1]);
  }
  return found;
}

TEST(LargeCatalogue, EveryOutputListsTheTypesInTableIdOrder) {
  TempDir tmp;
  const fs::path defs = tmp / "defs", out = tmp / "out";
  write_fixed_types(defs, kTypes);
  Result r = tablegen("--check " + quoted(defs));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, "");
  r = tablegen(quoted(defs) + " " + quoted(out));
  ASSERT_EQ(r.status, 0) << r.output;

  std::vector<std::string> ids;
  for (unsigned id = 0; id < kTypes; ++id) ids.push_back(std::to_string(id));
  const std::string manifest = read(out / "zim_tables.manifest");
  EXPECT_EQ(captures(manifest, "\ntype ([0-9]+) "), ids);
  EXPECT_EQ(captures(read(out / "include/zim/tables/all_tables.h"), "tables/type_([0-9]+)\\.h"),
            ids);
  EXPECT_EQ(captures(read(out / "zim_tables_catalogue.cpp"), "\n    \\{\"type_([0-9]+)\""), ids);
  EXPECT_EQ(tablegen("--manifest " + quoted(defs)).output, manifest);

  // The catalogue against itself, as a folder and as its own manifest; the
  // inspector finds a type past id 999 in either, by id and by name.
  for (const fs::path& older : {defs, out / "zim_tables.manifest"}) {
    SCOPED_TRACE(older);
    r = tablegen("--compat " + quoted(older) + " " + quoted(defs));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "");
    for (const char* type : {"1000", "type_1000"}) {
      r = shell(ZIM_INSPECT_TOOL " --catalogue " + quoted(older) + " layout " + type +
                " --npd 0 2>&1");
      EXPECT_EQ(r.status, 0) << r.output;
      EXPECT_EQ(r.output.rfind("type_1000 (table id 1000, fixed) for N ", 0), 0u) << r.output;
    }
  }
}

// A catalogue of one's own from id 1000: every output and the manifest read
// back take its ids as they are; a gap is reported against its range.
TEST(LargeCatalogue, OneFromId1000KeepsItsIds) {
  TempDir tmp;
  const fs::path defs = tmp / "defs", out = tmp / "out";
  write_fixed_types(defs, 3, 1000);
  ASSERT_EQ(tablegen(quoted(defs) + " " + quoted(out)).status, 0);
  EXPECT_NE(read(out / "include/zim/tables/catalogue_size.h").find("ZIM_FIRST_TABLE_ID 1000u"),
            std::string::npos);
  EXPECT_EQ(captures(read(out / "zim_tables.manifest"), "\ntype ([0-9]+) "),
            (std::vector<std::string>{"1000", "1001", "1002"}));
  Result r = tablegen("--compat " + quoted(out / "zim_tables.manifest") + " " + quoted(defs));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, "");
  fs::remove(defs / "1001_type_1001.tdef");
  r = tablegen("--check " + quoted(defs));
  EXPECT_NE(r.output.find("1002_type_1002.tdef:2: error: table id 1002 lies outside the "
                          "catalogue: 2 definitions take the ids 1000 to 1001, and no definition "
                          "has id 1001"),
            std::string::npos)
      << r.output;
}

// Polls pid until it ends (its wait status) or until `until` holds (-1); a run
// that does neither in 20 s is killed and fails the test instead of hanging it.
int poll(
    pid_t pid, const std::function<bool()>& until = [] { return false; }) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (until()) return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "the run did not stop";
      return status;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return status;
}

// A stop signal while the new set is staged: the run ends by that signal,
// leaves no staging folder, and the output folder holds the old set (or the
// new one, when the signal came after the exchange).
TEST(LargeCatalogue, AStopSignalRemovesTheStagingFolderAndKeepsTheOutput) {
  TempDir tmp;
  const fs::path defs = tmp / "defs", out = tmp / "out";
  write_fixed_types(defs, kTypes);
  ASSERT_EQ(tablegen(quoted(kDefs) + " " + quoted(out)).status, 0);
  const auto old_set = snapshot(out);
  const auto staged = [&] {
    for (const std::string& name : entries(tmp.path)) {
      if (name.rfind(".out.zim_tablegen-", 0) == 0) return true;
    }
    return false;
  };
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    bool kept_old = false;
    for (int attempt = 0; attempt < 20 && !kept_old; ++attempt) {
      const pid_t pid = start_tablegen({defs, out});
      const bool ended = poll(pid, staged) != -1;
      if (!ended) {
        kill(pid, sig);
        const int status = poll(pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status;
      }
      EXPECT_EQ(entries(tmp.path), (std::vector<std::string>{"defs", "out"}));
      const auto now = snapshot(out);
      kept_old = !ended && now == old_set;
      if (!kept_old) {
        // Too late: the new set is complete. Start again from the old one.
        EXPECT_EQ(now.size(), 2 * kTypes + 6);
        fs::remove_all(out);
        ASSERT_EQ(tablegen(quoted(kDefs) + " " + quoted(out)).status, 0);
      }
    }
    EXPECT_TRUE(kept_old) << "no signal arrived while the new set was staged";
  }
}

}  // namespace
