// SPDX-License-Identifier: Apache-2.0
// A feed over memory shared with forked children, and a reader that collects it.
#ifndef ZIM_SIM_TESTS_FEED_TEST_UTIL_HPP
#define ZIM_SIM_TESTS_FEED_TEST_UTIL_HPP

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>

#include <cerrno>
#include <string>
#include <vector>

#include "feed/feed.hpp"

namespace zim_sim_test {

// Appenders are named by pid here; a pid that kill() cannot find is dead.
inline bool pid_alive(void*, uint32_t pid) { return kill(pid_t(pid), 0) == 0 || errno != ESRCH; }
constexpr zim_sim::FeedLiveness kByPid{pid_alive, nullptr};

// A feed over a shared anonymous mapping, which forked children share too.
struct SharedFeed {
  explicit SharedFeed(uint64_t capacity, zim_sim::FeedLiveness liveness = kByPid)
      : bytes(zim_sim::feed_bytes(capacity)),
        region(mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0)) {
    std::string why;
    EXPECT_TRUE(zim_sim::feed_init(region, bytes, capacity));
    EXPECT_TRUE(zim_sim::feed_open(region, bytes, liveness, &view, &why)) << why;
  }
  ~SharedFeed() { munmap(region, bytes); }

  const uint64_t bytes;
  void* const region;
  zim_sim::FeedView view;
};

inline zim_sim::FeedEntry change(uint32_t table_id, uint64_t offset) {
  return {0, zim_sim::FeedKind::changed, table_id, offset, 0, 0x1234};
}

// Reads into got until `until` entries, a lap or `timeout_ns` without news; the last status.
inline zim_sim::FeedStatus collect(const zim_sim::FeedView& view, zim_sim::FeedCursor* cursor,
                                   std::vector<zim_sim::FeedEntry>* got, size_t until,
                                   uint64_t timeout_ns = 2'000'000'000) {
  zim_sim::FeedEntry batch[64];
  for (;;) {
    const zim_sim::FeedRead read = zim_sim::feed_read(view, cursor, batch, 64);
    got->insert(got->end(), batch, batch + read.count);
    if (read.status == zim_sim::FeedStatus::lapped || got->size() >= until) return read.status;
    if (read.count == 0 && !zim_sim::feed_wait(view, cursor, timeout_ns)) return read.status;
  }
}

}  // namespace zim_sim_test

#endif  // ZIM_SIM_TESTS_FEED_TEST_UTIL_HPP
