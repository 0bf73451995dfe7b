// Object uids: never 0 and unique, among threads and among the processes that
// share a pool, also across mapping the pool.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zim/sim/shm_pool.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "sim_test_util.hpp"

namespace {

constexpr int kThreads = 8;
constexpr int kPerThread = 20000;
constexpr int kPerProcess = kThreads * kPerThread;

// Draws kPerProcess uids from concurrent threads into out.
void draw_concurrently(uint32_t* out) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([out, t] {
      for (int i = 0; i < kPerThread; ++i) out[t * kPerThread + i] = qor_getuid();
    });
  }
  for (auto& t : threads) t.join();
}

using UidTest = zim_sim_test::PoolTest;

TEST_F(UidTest, UniqueAmongThreadsAndProcesses) {
  // Without a pool first, then two processes sharing one.
  std::vector<uint32_t> uids(3 * kPerProcess);
  ASSERT_EQ(zim_shm_pool_base(), nullptr);
  draw_concurrently(uids.data());
  create(4u << 20);
  auto* child_uids =
      static_cast<uint32_t*>(zim_shm_table_pool_calloc(0, sizeof(uint32_t) * kPerProcess));
  ASSERT_NE(child_uids, nullptr);
  const pid_t child = fork();
  if (child == 0) {
    draw_concurrently(child_uids);
    _exit(0);
  }
  draw_concurrently(uids.data() + kPerProcess);
  int status = -1;
  ASSERT_TRUE(waitpid(child, &status, 0) == child && status == 0);
  std::copy(child_uids, child_uids + kPerProcess, uids.begin() + 2 * kPerProcess);

  std::sort(uids.begin(), uids.end());
  EXPECT_NE(uids.front(), 0u);
  EXPECT_EQ(std::adjacent_find(uids.begin(), uids.end()), uids.end()) << "duplicate uid";
}

}  // namespace
