// A holder of the pool's lock that is stopped, not dead: a process that waits
// for the lock says so once, naming the holder, and goes on as soon as the
// holder is continued or killed. Against the build with kill points, whose
// first kill point of an allocation stops the holder right after it took the
// lock, and whose waiters report after 200 ms instead of 5 s.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "pool.hpp"
#include "sim_test_util.hpp"

namespace {

// Everything the process at the read end of fd writes until it closes it, or
// until 20 s have passed.
std::string read_all(int fd) {
  std::string text;
  char buf[512];
  for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 20000) == 1;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  return text;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(PoolLockWaitTest, AWaiterNamesAStoppedHolderOnceAndGoesOnAfterIt) {
  const struct {
    const char* what;
    int release;  // signal that ends the holder's stop
    int threads;  // waiting in one process
  } cases[] = {{"continued", SIGCONT, 1}, {"killed", SIGKILL, 4}};
  zim_sim::report_lock_wait_after_ms(200);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = zim_sim_test::unique_pool_name();
    ASSERT_EQ(zim_shm_pool_create(name.c_str(), 1u << 20), 0);
    const pid_t holder = fork();
    if (holder == 0) {
      zim_sim::stop_at_kill_point(1);
      _exit(zim_shm_table_pool_calloc(1, 64) != nullptr ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, WUNTRACED), holder);
    ASSERT_TRUE(WIFSTOPPED(status));

    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t waiter = fork();
    if (waiter == 0) {
      alarm(20);
      dup2(out[1], STDERR_FILENO);
      close(out[0]);
      close(out[1]);
      std::vector<std::thread> threads;
      std::atomic<int> got{0};
      for (int t = 0; t < c.threads; ++t) {
        threads.emplace_back([&got, t] { got += zim_shm_table_pool_calloc(2 + t, 32) != nullptr; });
      }
      for (auto& t : threads) t.join();
      _exit(got == c.threads ? 0 : 1);
    }
    close(out[1]);
    // The message comes while the holder is still stopped, then the holder
    // is released; a waiter that reported nothing would hang, and alarm ends it.
    std::string text;
    char buf[512];
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 10000) == 1) {
      const ssize_t n = read(out[0], buf, sizeof buf);
      if (n > 0) text.assign(buf, static_cast<size_t>(n));
    }
    usleep(300 * 1000);  // time for every thread to pass its deadline
    kill(holder, c.release);
    text += read_all(out[0]);
    close(out[0]);
    EXPECT_EQ(waitpid(waiter, &status, 0), waiter);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "waiter: " << status;
    EXPECT_EQ(waitpid(holder, &status, 0), holder);
    EXPECT_EQ(count(text, "held by process " + std::to_string(holder) + " "), 1u) << text;
    EXPECT_EQ(count(text, "\n"), 1u) << "one line for all threads: " << text;
    EXPECT_NE(text.find("process " + std::to_string(waiter) + " has waited "), std::string::npos)
        << text;
    // Everyone goes on: the holder's block (when it ran on) and the waiters'.
    EXPECT_EQ(zim_shm_pool_table_blocks(1), c.release == SIGCONT ? 1u : 0u);
    for (int t = 0; t < c.threads; ++t) EXPECT_EQ(zim_shm_pool_table_blocks(2 + t), 1u);
    zim_shm_pool_destroy();
    EXPECT_FALSE(zim_sim_test::shm_exists(name));
  }
  zim_sim::report_lock_wait_after_ms(5000);
}

}  // namespace
