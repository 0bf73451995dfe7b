// SPDX-License-Identifier: Apache-2.0
// The processes zim_mirror_bench starts, and their logs.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "mirror_bench.hpp"

namespace zim_mirror_bench {

Process::Process(const std::vector<std::string>& argv, const std::string& log) {
  pid_ = fork();
  if (pid_ < 0) fail("fork");
  if (pid_ > 0) return;
  const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) std::_Exit(127);
  std::vector<char*> words;
  for (const std::string& w : argv) words.push_back(const_cast<char*>(w.c_str()));
  words.push_back(nullptr);
  execvp(words[0], words.data());
  std::_Exit(127);
}

Process::~Process() {
  if (pid_ > 0) stop(SIGTERM);
}

int Process::stop(int signal) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

double Process::cpu_seconds() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Fields after the command's closing parenthesis; utime and stime are the
  // 14th and 15th of the line.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

uint64_t occurrences(const std::string& path, const std::string& text) {
  std::ifstream in(path);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  uint64_t n = 0;
  for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
  return n;
}

bool wait_for_text(const std::string& path, const std::string& text, uint64_t count,
                   double timeout_s) {
  const uint64_t deadline = now_ns() + static_cast<uint64_t>(timeout_s * 1e9);
  while (occurrences(path, text) < count) {
    if (now_ns() > deadline) return false;
    usleep(20'000);
  }
  return true;
}

std::vector<std::pair<uint64_t, uint64_t>> phase_plan(uint32_t phase, uint64_t objects,
                                                      uint64_t changes, uint64_t first_number) {
  std::vector<std::pair<uint64_t, uint64_t>> plan;
  plan.reserve(changes);
  uint64_t x = 0x9e3779b97f4a7c15ull * (phase + 1);
  for (uint64_t j = 0; j < changes; ++j) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;  // xorshift: spread over the objects
    plan.emplace_back(x % objects, first_number + j);
  }
  return plan;
}

}  // namespace zim_mirror_bench
