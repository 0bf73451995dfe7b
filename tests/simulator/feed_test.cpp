// SPDX-License-Identifier: Apache-2.0
// The feed in one process: order, wrapping, laps, losses, the bounds of a
// damaged header, and appenders racing a reader that keeps up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <tuple>
#include <vector>

#include "feed_test_util.hpp"

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

TEST(FeedTest, AppendersWakeOnlyWhenSomeoneWaits) {
  SharedFeed feed(64);
  const uint64_t before = zim_sim::feed_wake_calls();
  for (int i = 0; i < 40; ++i) zim_sim::feed_append(feed.view, 1, change(1, i));
  EXPECT_EQ(zim_sim::feed_wake_calls(), before);
  FeedCursor cursor;
  cursor.next = zim_sim::feed_next_sequence(feed.view);
  std::atomic<bool> woke{false};
  std::thread waiter([&] { woke = zim_sim::feed_wait(feed.view, &cursor, 10'000'000'000); });
  while (feed.view.header->waiters.load() == 0) std::this_thread::yield();
  zim_sim::feed_append(feed.view, 1, change(1, 40));
  waiter.join();
  EXPECT_TRUE(woke);
  EXPECT_EQ(zim_sim::feed_wake_calls(), before + 1);
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
// itself in `waiters`: the only way it can be woken is after that spin.
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
    if (c.entry_there) zim_sim::feed_append(feed.view, 1, change(1, 1));
    const uint64_t wakes = zim_sim::feed_wake_calls();
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

}  // namespace
}  // namespace zim_sim_test
