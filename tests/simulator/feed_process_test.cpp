// SPDX-License-Identifier: Apache-2.0
// The feed shared by processes: appenders in children, one killed at each
// kill point of an append, and waiters woken from another process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "feed_test_util.hpp"
#include "segment/segment.hpp"
#include "sim_test_util.hpp"

namespace zim_sim_test {
namespace {

using zim_sim::FeedCursor;
using zim_sim::FeedEntry;
using zim_sim::FeedKind;
using zim_sim::FeedStatus;

constexpr uint64_t kCapacity = 16;
// Kill points of an append: 1 drawn; 2 owner stored; 3 claimed; 4-7 the
// entry's words; 8 complete.
constexpr unsigned kAppendKillPoints = 8;

// Stops a child appending at kill point n and kills it there; its pid.
pid_t kill_appender_at(const SharedFeed& feed, unsigned n) {
  const pid_t pid = spawn([&] {
    alarm(5);
    zim_sim::stop_at_kill_point(n);
    zim_sim::feed_append(feed.view, uint32_t(getpid()), change(2, 1000));
    return 1;  // ran past n
  });
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, WUNTRACED), pid);
  EXPECT_TRUE(WIFSTOPPED(status)) << "kill point " << n;
  kill(pid, SIGKILL);
  wait_exit(pid);
  return pid;
}

void append_in_child(const SharedFeed& feed, uint64_t from, uint64_t count) {
  EXPECT_EQ(run_in_child([&] {
              for (uint64_t i = from; i < from + count; ++i) {
                zim_sim::feed_append(feed.view, uint32_t(getpid()), change(1, i));
              }
              return 0;
            }),
            0);
}

// Sequence 3's appender dies at each kill point, with and without a pool that
// knows who is alive: readers pass it (lost unless it completed) and read every
// later entry, including the one a ring later in the dead appender's slot.
TEST(FeedProcessTest, AnAppenderKilledAtAnyPointNeitherStallsNorHidesLaterEntries) {
  for (const bool liveness : {true, false}) {
    for (unsigned n = 1; n <= kAppendKillPoints; ++n) {
      SCOPED_TRACE(testing::Message() << "kill point " << n << ", liveness " << liveness);
      SharedFeed feed(kCapacity, liveness ? kByPid : zim_sim::FeedLiveness{});
      append_in_child(feed, 1, 2);
      kill_appender_at(feed, n);
      FeedCursor cursor;
      cursor.patience_ns = 50'000'000;
      std::vector<FeedEntry> got;
      collect(feed.view, &cursor, &got, 3);
      append_in_child(feed, 4, kCapacity);
      EXPECT_EQ(collect(feed.view, &cursor, &got, 3 + kCapacity), FeedStatus::caught_up);
      ASSERT_EQ(got.size(), 3 + kCapacity);
      const bool claimed_by_the_dead = !liveness && n >= 3 && n < kAppendKillPoints;
      for (uint64_t s = 1; s <= got.size(); ++s) {
        const FeedEntry& e = got[s - 1];
        EXPECT_EQ(e.sequence, s);
        const bool lost =
            (s == 3 && n < kAppendKillPoints) || (s == 3 + kCapacity && claimed_by_the_dead);
        EXPECT_EQ(e.kind, lost ? FeedKind::lost : FeedKind::changed) << s;
        if (!lost) {
          EXPECT_EQ(e.offset, s == 3 ? 1000 : s) << s;
        }
      }
    }
  }
}

// Children append at once after the parent fell asleep: their first entry
// wakes it, and it reads every entry of each child in the child's order.
TEST(FeedProcessTest, AppendersInChildrenWakeAReaderThatGetsAllInOrderThenTimesOut) {
  constexpr uint32_t kChildren = 3;
  constexpr uint64_t kEach = 3000;
  SharedFeed feed(16384);  // no lap: the reader sleeps while they start
  std::vector<pid_t> pids;
  for (uint32_t c = 0; c < kChildren; ++c) {
    pids.push_back(spawn([&, c] {
      usleep(100'000);
      for (uint64_t i = 0; i < kEach; ++i) zim_sim::feed_append(feed.view, c, change(c, i));
      return 0;
    }));
  }
  FeedCursor cursor;
  cursor.patience_ns = 60'000'000'000;
  const auto slept = std::chrono::steady_clock::now();
  EXPECT_TRUE(zim_sim::feed_wait(feed.view, &cursor, 20'000'000'000));
  EXPECT_LT(std::chrono::steady_clock::now() - slept, std::chrono::seconds(5));  // woken
  std::vector<FeedEntry> got;
  collect(feed.view, &cursor, &got, kChildren * kEach, 10'000'000'000);
  for (const pid_t pid : pids) EXPECT_EQ(wait_exit(pid), 0);
  ASSERT_EQ(got.size(), kChildren * kEach);
  std::vector<uint64_t> next_of(kChildren, 0);
  for (const FeedEntry& e : got) ASSERT_EQ(e.offset, next_of.at(e.table_id)++);
  const auto waited = std::chrono::steady_clock::now();
  EXPECT_FALSE(zim_sim::feed_wait(feed.view, &cursor, 100'000'000));
  EXPECT_GE(std::chrono::steady_clock::now() - waited, std::chrono::milliseconds(100));
  EXPECT_EQ(feed.view.header->waiters.load(), 0u);
}

}  // namespace
}  // namespace zim_sim_test
