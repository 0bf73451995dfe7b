// zim_tablegen on a catalogue of more than 1,000 types, whose file names are
// not all of one width, and stopped by a signal while it writes one.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tablegen_runner.hpp"

extern char** environ;

namespace {

using namespace tablegen_test;

constexpr unsigned kTypes = 1001;

// The captures of every match of pattern in text, in the order found.
std::vector<std::string> captures(const std::string& text, const std::string& pattern) {
  std::vector<std::string> found;
  const std::regex re(pattern);
  for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it) {
    found.push_back((*it)[1]);
  }
  return found;
}

std::vector<std::string> ids_up_to(unsigned n) {
  std::vector<std::string> ids;
  for (unsigned id = 0; id < n; ++id) ids.push_back(std::to_string(id));
  return ids;
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

  const std::vector<std::string> ids = ids_up_to(kTypes);
  const std::string manifest = read(out / "zim_tables.manifest");
  EXPECT_EQ(captures(manifest, "\ntype ([0-9]+) "), ids);
  EXPECT_EQ(captures(read(out / "include/zim/tables/all_tables.h"), "tables/type_([0-9]+)\\.h"),
            ids);
  EXPECT_EQ(captures(read(out / "zim_tables_catalogue.cpp"), "\n    \\{\"type_([0-9]+)\""), ids);
  EXPECT_EQ(tablegen("--manifest " + quoted(defs)).output, manifest);

  // The catalogue against itself, as a folder and as its own manifest.
  for (const fs::path& older : {defs, out / "zim_tables.manifest"}) {
    SCOPED_TRACE(older);
    r = tablegen("--compat " + quoted(older) + " " + quoted(defs));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "");
  }
}

// Starts zim_tablegen with no shell in between, so that pid is the tool's.
pid_t spawn_tablegen(const fs::path& defs, const fs::path& out) {
  std::string tool = ZIM_TABLEGEN, in = defs.string(), to = out.string();
  char* argv[] = {tool.data(), in.data(), to.data(), nullptr};
  pid_t pid = -1;
  return posix_spawn(&pid, ZIM_TABLEGEN, nullptr, nullptr, argv, environ) == 0 ? pid : -1;
}

bool staging_exists(const fs::path& dir) {
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename().string().rfind(".out.zim_tablegen-", 0) == 0) return true;
  }
  return false;
}

// Waits for pid, killing it after a while so that a run that does not stop
// fails the test instead of hanging it.
int wait_status(pid_t pid) {
  int status = 0;
  for (int i = 0; i < 2000; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  ADD_FAILURE() << "the run did not stop";
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
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    bool kept_old = false;
    for (int attempt = 0; attempt < 20 && !kept_old; ++attempt) {
      const pid_t pid = spawn_tablegen(defs, out);
      ASSERT_GT(pid, 0);
      int status = 0;
      bool ended = false;
      while (!staging_exists(tmp.path)) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
          ended = true;
          break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      if (!ended) {
        kill(pid, sig);
        status = wait_status(pid);
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
