// Helpers for tests that need a pool of their own or another process.
#ifndef ZIM_SIM_TESTS_SIM_TEST_UTIL_HPP
#define ZIM_SIM_TESTS_SIM_TEST_UTIL_HPP

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zim/sim/shm_pool.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <string>
#include <tuple>
#include <vector>

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

// A piece of a pool found by a walk; fill is the value of all its bytes, -1
// when they differ.
struct Piece {
  uint64_t offset, size;
  uint32_t table_id;
  int fill;
  bool operator==(const Piece& o) const {
    return std::tie(offset, size, table_id, fill) == std::tie(o.offset, o.size, o.table_id, o.fill);
  }
};

// The pieces of the pool `name` (null: of the pool this process maps); *rc
// gets the walk's result.
inline std::vector<Piece> walk(const char* name, int* rc) {
  std::vector<Piece> pieces;
  const auto collect = [](const zim_shm_pool_piece_t* p, void* to) {
    const auto* b = static_cast<const unsigned char*>(p->data);
    const bool alike = std::all_of(b, b + p->size, [b](unsigned char c) { return c == *b; });
    static_cast<std::vector<Piece>*>(to)->push_back(
        {p->offset, p->size, p->table_id, alike ? *b : -1});
    return 0;
  };
  *rc = name != nullptr ? zim_shm_pool_walk(name, collect, &pieces)
                        : zim_shm_pool_walk_mapped(collect, &pieces);
  return pieces;
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
