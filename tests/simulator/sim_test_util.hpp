// Helpers for tests that need a pool of their own or another process.
#ifndef ZIM_SIM_TESTS_SIM_TEST_UTIL_HPP
#define ZIM_SIM_TESTS_SIM_TEST_UTIL_HPP

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zim/sim/shm_pool.h>

#include <atomic>
#include <cctype>
#include <string>

namespace zim_sim_test {

// A pool name that no other test process uses.
inline std::string unique_pool_name() {
  static std::atomic<int> n{0};
  return "/zim_sim_test." + std::to_string(getpid()) + "." + std::to_string(n++);
}

inline bool shm_exists(const std::string& name) {
  const int fd = shm_open(name.c_str(), O_RDONLY, 0);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

// Runs fn in a forked child, which leaves through _exit with fn's result;
// returns that exit status, or -1 if the child did not exit.
template <typename Fn>
int run_in_child(Fn fn) {
  const pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// A death-test regex for text: characters that may be special match any.
inline std::string literal(const std::string& text) {
  std::string re;
  for (char c : text) re += std::isalnum(static_cast<unsigned char>(c)) ? c : '.';
  return re;
}

// Gives each test a pool name of its own and checks that no segment is left.
class PoolTest : public ::testing::Test {
 protected:
  void create(uint64_t size) { ASSERT_EQ(zim_shm_pool_create(name_.c_str(), size), 0); }
  void TearDown() override {
    zim_shm_pool_destroy();
    EXPECT_FALSE(shm_exists(name_));
  }
  const std::string name_ = unique_pool_name();
};

}  // namespace zim_sim_test

#endif  // ZIM_SIM_TESTS_SIM_TEST_UTIL_HPP
