// SPDX-License-Identifier: Apache-2.0
// The futex calls of the feed: FUTEX_WAIT and FUTEX_WAKE without the private
// flag, since waiters and appenders are in different processes that map the
// word at different addresses.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>

#include "feed/feed_internal.hpp"

namespace zim_sim {

namespace {
std::atomic<uint64_t> g_wake_calls{0};
}  // namespace

uint64_t feed_wake_calls() { return g_wake_calls.load(std::memory_order_relaxed); }

void futex_wake_all(std::atomic<uint32_t>* word) {
  g_wake_calls.fetch_add(1, std::memory_order_relaxed);
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

void futex_wait(std::atomic<uint32_t>* word, uint32_t expected, uint64_t timeout_ns) {
  const timespec timeout{static_cast<time_t>(timeout_ns / 1'000'000'000),
                         static_cast<long>(timeout_ns % 1'000'000'000)};
  // EAGAIN (the word changed), EINTR and ETIMEDOUT all send the caller back
  // to look at the feed again.
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT, expected, &timeout, nullptr, 0);
}

uint64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000 + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace zim_sim
