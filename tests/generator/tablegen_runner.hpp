// SPDX-License-Identifier: Apache-2.0
// Running zim_tablegen as its users do, on scratch folders of definitions.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tablegen_test {

namespace fs = std::filesystem;

inline const fs::path kDefs = ZIM_DEFS_DIR;
// Definitions the cases break: a fixed-size type and a counted one.
inline const std::string kGlobal = "003_testglobaldiscard.tdef";
inline const std::string kOlist = "268_olist.tdef";
inline const std::string kGlobalWisp = "wisp 1118 1119 1120 1118 1119 1120";
inline const std::string kFreshWisp = "wisp 2000 2001 2002 2000 2001 2002";

// A scratch folder, removed with everything in it.
struct TempDir {
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tablegen_test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  TempDir(const TempDir&) = delete;
  fs::path operator/(const std::string& name) const { return path / name; }
  fs::path path;
};

inline std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

struct Result {
  int status = -1;     // exit status, or 128 + the signal that ended the run
  std::string output;  // standard output and standard error
};

inline Result shell(const std::string& command) {
  Result r;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return r;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) r.output.append(buffer, n);
  const int status = pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

#ifdef ZIM_TABLEGEN
// Runs the shell command line "zim_tablegen ARGS" in cwd; a hang is killed.
inline Result tablegen(const std::string& args, const fs::path& cwd = ".") {
  return shell("cd " + quoted(cwd) + " && timeout -s KILL 20 " ZIM_TABLEGEN " " + args + " 2>&1");
}

// Starts "zim_tablegen ARGS..." with no shell between, its output discarded,
// to be raced with or signalled; finish() waits for it and gives its status.
inline pid_t start_tablegen(std::vector<std::string> args) {
  args.insert(args.begin(), ZIM_TABLEGEN);
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&quiet, 1, 2);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, ZIM_TABLEGEN, &quiet, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&quiet);
  if (error != 0) throw std::runtime_error("cannot start zim_tablegen");
  return pid;
}

inline int finish(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
#endif

inline std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void write(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The definition files of a folder, in table-id order.
inline std::vector<fs::path> definitions(const fs::path& dir) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() == ".tdef") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// A private copy of the real definitions, to break; with a case folder, its
// definitions replace the real ones of the same name or join them, and the
// real ones its file `removes` names are left out. Every file of the case
// but `expected`, `expected_both_ways`, `removes`, `migration` and
// `old_client` is copied, misnamed definitions included; its folder `old` is
// not.
inline fs::path copy_defs(const TempDir& tmp, const fs::path& case_dir = {}) {
  const fs::path defs = tmp / "defs";
  fs::copy(kDefs, defs);
  if (case_dir.empty()) return defs;
  std::ifstream removes(case_dir / "removes");
  for (std::string name; std::getline(removes, name);) fs::remove(defs / name);
  for (const auto& entry : fs::directory_iterator(case_dir)) {
    const std::string name = entry.path().filename().string();
    if (name == "expected" || name == "expected_both_ways" || name == "removes" ||
        name == "migration" || name == "old_client" || name == "old")
      continue;
    fs::copy_file(entry.path(), defs / name, fs::copy_options::overwrite_existing);
  }
  return defs;
}

// Every file below dir, by relative path, with its content.
inline std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) {
      files[fs::relative(entry.path(), dir).generic_string()] = read(entry.path());
    }
  }
  return files;
}

// Entries of a folder, sorted: the case folders of a suite, or what a run
// left behind (no staging folder).
inline std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// What a set of messages (tablegen::Diagnostics) prints.
template <class Messages>
std::string printed(const Messages& messages) {
  std::ostringstream out;
  messages.print(out);
  return out.str();
}

using Edits = std::vector<std::pair<std::string, std::string>>;

// Replaces every occurrence of each `from` in turn; a `from` not there is a broken case.
inline std::string edited(std::string text, const Edits& edits) {
  for (const auto& [from, to] : edits) {
    size_t at = text.find(from);
    if (at == std::string::npos) throw std::logic_error("nothing to replace: " + from);
    for (; at != std::string::npos; at = text.find(from, at + to.size())) {
      text.replace(at, from.size(), to);
    }
  }
  return text;
}

// A suite of case folders (bad_definitions/, compat_changes/), each case's
// parameter its folder: it runs on tmp/defs, the definitions with its folder's
// changes (copy_defs), and expects the text of its file `expected`, paths
// relative to tmp.
class CaseFolder : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override { copy_defs(tmp, GetParam()); }
  std::string expected() const { return read(fs::path(GetParam()) / "expected"); }
  std::string relative(const std::string& text) const {
    return edited(text, {{tmp.path.string() + "/", ""}});
  }
  TempDir tmp;
};

// The case folders of a suite, and the name of a case: its folder's.
inline std::vector<std::string> case_folders(const fs::path& suite) {
  std::vector<std::string> folders;
  for (const std::string& name : entries(suite)) folders.push_back(suite / name);
  return folders;
}
inline std::string folder_name(const testing::TestParamInfo<std::string>& one) {
  return fs::path(one.param).filename();
}

}  // namespace tablegen_test
