// SPDX-License-Identifier: Apache-2.0
// The feed: order, wrapping, laps, losses, the bounds of a damaged header,
// appenders racing a reader that keeps up, and shared by processes:
// appenders in children, one killed at each kill point of an append, and
// waiters woken from another process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <tuple>
#include <vector>

#include "feed_test_util.hpp"
#include "segment/segment.hpp"
#include "sim_test_util.hpp"

namespace zim_sim_test {
namespace {

using zim_sim::FeedCursor;
using zim_sim::FeedEntry;
using zim_sim::FeedHeader;
using zim_sim::FeedKind;
using zim_sim::FeedStatus;

bool never_alive(void*, uint32_t) { return false; }

TEST(FeedTest, AReaderThatKeepsUpGetsEveryEntryInOrderAndALappedOneTheOldest) {
  SharedFeed feed(8);
  FeedCursor cursor;
  std::vector<FeedEntry> got;
  for (uint32_t i = 0; i < 30; ++i) {
    const FeedEntry moved{0, FeedKind::moved, i, 16u * i, 16u * i + 8, uint64_t{i} << 40};
    ASSERT_EQ(zim_sim::feed_append(feed.view, 1, moved), i + 1);
    if (i % 5 == 4) {
      EXPECT_EQ(collect(feed.view, &cursor, &got, i + 1, 0), FeedStatus::caught_up);
    }
  }
  ASSERT_EQ(got.size(), 30u);
  for (uint32_t i = 0; i < 30; ++i) {
    const FeedEntry& e = got[i];
    EXPECT_EQ(std::tie(e.sequence, e.kind, e.table_id, e.offset, e.new_offset, e.pool_id),
              std::make_tuple(i + 1, FeedKind::moved, i, 16u * i, 16u * i + 8, uint64_t{i} << 40));
  }
  for (uint32_t i = 0; i < 20; ++i) zim_sim::feed_append(feed.view, 1, change(7, i));
  FeedEntry out[16];
  zim_sim::FeedRead read = zim_sim::feed_read(feed.view, &cursor, out, 16);
  EXPECT_EQ(std::tie(read.status, read.count, read.oldest),
            std::make_tuple(FeedStatus::lapped, 0u, 51u - 8u));
  cursor.next = read.oldest;
  read = zim_sim::feed_read(feed.view, &cursor, out, 16);
  EXPECT_EQ(read.status, FeedStatus::caught_up);
  ASSERT_EQ(read.count, 8u);
  EXPECT_EQ(out[0].sequence, 43u);
  EXPECT_EQ(out[7].offset, 19u);
}

// A drawn sequence never published: readers stop at it, then pass it as lost,
// at once when its appender is known dead, else after their patience.
TEST(FeedTest, AnUnpublishedSequenceIsPendingThenLostAndLaterEntriesFollow) {
  const struct {
    zim_sim::FeedLiveness liveness;
    uint64_t patience_ns;  // UINT64_MAX: the loss shows at the first read
  } cases[] = {{{never_alive, nullptr}, UINT64_MAX}, {{}, 30'000'000}, {kByPid, 30'000'000}};
  for (const auto& c : cases) {
    SharedFeed feed(8, c.liveness);
    const uint64_t drawn = zim_sim::feed_draw(feed.view, 1);
    zim_sim::feed_append(feed.view, 1, change(3, 42));
    FeedCursor cursor;
    cursor.patience_ns = c.patience_ns;
    FeedEntry out[4];
    zim_sim::FeedRead read = zim_sim::feed_read(feed.view, &cursor, out, 4);
    if (c.patience_ns != UINT64_MAX) {
      EXPECT_EQ(std::tie(read.status, read.count), std::make_tuple(FeedStatus::pending, 0u));
      EXPECT_TRUE(zim_sim::feed_wait(feed.view, &cursor, 5'000'000'000));  // the patience ends it
      read = zim_sim::feed_read(feed.view, &cursor, out, 4);
    }
    ASSERT_EQ(read.count, 2u);
    EXPECT_EQ(std::tie(out[0].sequence, out[0].kind, out[1].offset),
              std::make_tuple(drawn, FeedKind::lost, 42u));
  }
}

// The appender a ring later takes over a claim only from a dead appender;
// a late publish after that, or into a slot a later sequence holds, fails.
TEST(FeedTest, AClaimARingOldIsTakenOverOnlyFromTheDead) {
  for (const bool dead : {false, true}) {
    SharedFeed feed(8, dead ? zim_sim::FeedLiveness{never_alive, nullptr} : kByPid);
    const uint64_t stuck = zim_sim::feed_draw(feed.view, uint32_t(getpid()));
    for (int i = 0; i < 7; ++i) zim_sim::feed_append(feed.view, 1, change(1, i));
    const uint64_t next = zim_sim::feed_draw(feed.view, 1);
    EXPECT_EQ(zim_sim::feed_publish(feed.view, next, change(1, 99)), dead);
    EXPECT_EQ(zim_sim::feed_publish(feed.view, stuck, change(1, 98)), !dead);
  }
}

TEST(FeedTest, DamagedHeadersAreRefusedWithTheReason) {
  const uint64_t bytes = zim_sim::feed_bytes(16);
  const struct {
    const char* why;
    std::function<void(FeedHeader*)> damage;
    uint64_t bytes;
  } cases[] = {
      {"magic", [](FeedHeader* h) { h->magic = 0; }, bytes},
      {"feed version 2", [](FeedHeader* h) { h->version = 2; }, bytes},
      {"entries of 32 bytes", [](FeedHeader* h) { h->slot_bytes = 32; }, bytes},
      {"capacity 0 ", [](FeedHeader* h) { h->capacity = 0; }, bytes},
      {"capacity 12 ", [](FeedHeader* h) { h->capacity = 12; }, bytes},
      {"capacity 4 ", [](FeedHeader* h) { h->capacity = 4; }, bytes},
      {"capacity 2097152 ", [](FeedHeader* h) { h->capacity = 1u << 21; }, bytes},
      {"capacity 32 ", [](FeedHeader* h) { h->capacity = 32; }, bytes},
      {"capacity 16 ", [](FeedHeader*) {}, bytes - 1},
      {"cannot hold its header", [](FeedHeader*) {}, sizeof(FeedHeader) - 8},
  };
  for (const auto& c : cases) {
    SharedFeed feed(16);
    c.damage(feed.view.header);
    zim_sim::FeedView view;
    std::string why;
    EXPECT_FALSE(zim_sim::feed_open(feed.region, c.bytes, {}, &view, &why)) << c.why;
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
  alignas(16) static unsigned char region[4096];
  EXPECT_FALSE(zim_sim::feed_init(region + 8, sizeof region - 8, 8));
  EXPECT_FALSE(zim_sim::feed_init(region, zim_sim::feed_bytes(8) - 1, 8));
  for (const uint64_t capacity : {0ull, 4ull, 12ull, 1ull << 21}) {
    EXPECT_FALSE(zim_sim::feed_init(region, sizeof region, capacity)) << capacity;
  }
}

// After open, what another process stores is data, never a bound.
TEST(FeedTest, DamagedSlotsAndCountersReadAsLossesAndLaps) {
  SharedFeed feed(8);
  zim_sim::feed_append(feed.view, 1, change(1, 1));
  feed.view.header->capacity = 1u << 30;
  feed.view.slots[1].head = 0xffff;  // sequence 1: no such kind
  FeedCursor cursor;
  FeedEntry out[4];
  zim_sim::FeedRead read = zim_sim::feed_read(feed.view, &cursor, out, 4);
  ASSERT_EQ(read.count, 1u);
  EXPECT_EQ(out[0].kind, FeedKind::lost);
  feed.view.header->next_sequence = UINT64_MAX;
  read = zim_sim::feed_read(feed.view, &cursor, out, 4);
  EXPECT_EQ(read.status, FeedStatus::lapped);
  EXPECT_EQ(read.oldest, UINT64_MAX - 8);
  EXPECT_EQ(zim_sim::feed_append(feed.view, 1, change(1, 1)), 0u);
}

TEST(FeedTest, RacingAppendersReachAReaderThatKeepsUpOnceEachInOrder) {
  constexpr int kThreads = 4;
  constexpr uint64_t kEach = 20000, kCapacity = 256;
  SharedFeed feed(kCapacity);
  std::atomic<uint64_t> read_up_to{1};
  std::vector<std::thread> appenders;
  for (int t = 0; t < kThreads; ++t) {
    appenders.emplace_back([&, t] {
      for (uint64_t i = 0; i < kEach; ++i) {
        while (zim_sim::feed_next_sequence(feed.view) - read_up_to.load() >= kCapacity / 2) {
          std::this_thread::yield();  // keep the reader within half a ring
        }
        zim_sim::feed_append(feed.view, 1, change(t, i));
      }
    });
  }
  FeedCursor cursor;
  cursor.patience_ns = 60'000'000'000;  // live appenders lose nothing, however descheduled
  std::vector<uint64_t> next_of(kThreads, 0);
  FeedEntry batch[32];
  for (uint64_t n = 0; n < kThreads * kEach;) {
    const zim_sim::FeedRead read = zim_sim::feed_read(feed.view, &cursor, batch, 32);
    ASSERT_NE(read.status, FeedStatus::lapped);
    for (uint32_t i = 0; i < read.count; ++i, ++n) {
      ASSERT_EQ(batch[i].sequence, n + 1);
      ASSERT_EQ(batch[i].kind, FeedKind::changed);
      ASSERT_EQ(batch[i].offset, next_of[batch[i].table_id]++);
    }
    read_up_to = cursor.next;
    if (read.count == 0) zim_sim::feed_wait(feed.view, &cursor, 1'000'000);
  }
  for (auto& a : appenders) a.join();
}

// Before it sleeps, a wait looks again for kFeedSpinNs without counting
// itself in `waiters`: the only way it can be woken is after that spin, and
// an appender calls the wake only when someone sleeps.
TEST(FeedTest, AWaitLooksAgainBeforeItSleeps) {
  struct Case {
    const char* name;
    bool entry_there;     // an entry waits at the cursor already
    uint64_t timeout_ns;  // of the wait
    bool sleeps;          // the test appends once the waiter counts itself
    bool ready;
  };
  const Case cases[] = {
      {"an entry there ends it at once", true, 10'000'000'000, false, true},
      {"a timeout inside the spin ends it unready", false, 20'000, false, false},
      {"past the spin it sleeps until an append", false, 10'000'000'000, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SharedFeed feed(64);
    FeedCursor cursor;
    cursor.next = zim_sim::feed_next_sequence(feed.view);
    const uint64_t wakes = zim_sim::feed_wake_calls();
    if (c.entry_there) zim_sim::feed_append(feed.view, 1, change(1, 1));  // no one to wake
    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> ready{false};
    std::atomic<int64_t> took_ns{0};
    std::thread waiter([&] {
      ready = zim_sim::feed_wait(feed.view, &cursor, c.timeout_ns);
      took_ns = (std::chrono::steady_clock::now() - start).count();
    });
    if (c.sleeps) {
      while (feed.view.header->waiters.load() == 0) std::this_thread::yield();
      const auto counted = std::chrono::steady_clock::now() - start;
      EXPECT_GE(counted.count(), int64_t{zim_sim::kFeedSpinNs});
      zim_sim::feed_append(feed.view, 1, change(1, 2));
    }
    waiter.join();
    EXPECT_EQ(ready, c.ready);
    if (!c.ready) {
      EXPECT_GE(took_ns.load(), int64_t(c.timeout_ns));
    }
    EXPECT_EQ(feed.view.header->waiters.load(), 0u);
    EXPECT_EQ(zim_sim::feed_wake_calls(), wakes + (c.sleeps ? 1 : 0));
  }
}

constexpr uint64_t kRing = 16;
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
  EXPECT_TRUE(kill_when_stopped(pid)) << "kill point " << n;
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
      SharedFeed feed(kRing, liveness ? kByPid : zim_sim::FeedLiveness{});
      append_in_child(feed, 1, 2);
      kill_appender_at(feed, n);
      FeedCursor cursor;
      cursor.patience_ns = 50'000'000;
      std::vector<FeedEntry> got;
      collect(feed.view, &cursor, &got, 3);
      append_in_child(feed, 4, kRing);
      EXPECT_EQ(collect(feed.view, &cursor, &got, 3 + kRing), FeedStatus::caught_up);
      ASSERT_EQ(got.size(), 3 + kRing);
      const bool claimed_by_the_dead = !liveness && n >= 3 && n < kAppendKillPoints;
      for (uint64_t s = 1; s <= got.size(); ++s) {
        const FeedEntry& e = got[s - 1];
        EXPECT_EQ(e.sequence, s);
        const bool lost =
            (s == 3 && n < kAppendKillPoints) || (s == 3 + kRing && claimed_by_the_dead);
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
