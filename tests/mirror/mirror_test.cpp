// SPDX-License-Identifier: Apache-2.0
// zim_tables_mirror against a real redis-server of the test's own and a
// relay of a pool this process writes: two mirrors equal to the source
// after a stress, a mirror that resumes without a load and one that loads
// the hashes when the stream was trimmed past it, one whose source pool was
// made again, its pool written by it alone, and what it refuses.
#include <gtest/gtest.h>
#include <zim/sim/shm_pool.h>

#include "mirror_harness.hpp"
#include "sim_test_util.hpp"

namespace {

using zim_mirror_test::LocalPool;
using zim_mirror_test::RelayProcess;
using zim_mirror_test::SourcePool;
using zim_mirror_test::start_mirror;
using zim_mirror_test::stress;
using zim_mirror_test::wait_equal;
using zim_test::RedisServer;

constexpr const char* kLoaded = "\"event\":\"loaded\"";

TEST(Mirror, TwoMirrorsEqualTheSourceAfterAStress) {
  RedisServer redis;
  SourcePool pool;
  stress(pool, 1, 60);  // before the relay: its first epoch publishes these
  RelayProcess relay(pool.name(), redis.socket_path());
  LocalPool first, second;
  auto a = start_mirror(pool.name(), first.name, redis.socket_path());
  stress(pool, 2, 400);
  auto b = start_mirror(pool.name(), second.name, redis.socket_path());
  stress(pool, 3, 400);
  EXPECT_EQ(wait_equal(pool.objects(), first.name), "") << a->text();
  EXPECT_EQ(wait_equal(pool.objects(), second.name), "") << b->text();
  EXPECT_EQ(a->stop(), 0) << a->text();
  EXPECT_EQ(b->stop(), 0) << b->text();
  EXPECT_EQ(zim_mirror_test::recorded(first.name).loads, 1u);
}

// More objects and changes than one transaction of the relay, one stream
// read and one hash scan step of the mirror hold: a first load that makes
// objects whose ids the hash returns in no order, then a backlog that both
// tools read while they were stopped.
TEST(Mirror, BacklogsOfSeveralBatchesEachWay) {
  RedisServer redis;
  SourcePool pool(8192);
  const auto types = SourcePool::types();
  for (unsigned i = 0; i < 1500; ++i) pool.add(types[i % types.size()], i % 5, i);
  // The source's first object has pool id 1, which the mirror's own record
  // must not take.
  ASSERT_EQ(zim_shm_pool_id_of(pool.objects()[0].obj), 1u);
  RelayProcess relay(pool.name(), redis.socket_path());
  LocalPool local;
  auto mirror = start_mirror(pool.name(), local.name, redis.socket_path());
  ASSERT_TRUE(mirror->printed(kLoaded)) << mirror->text();
  ASSERT_EQ(wait_equal(pool.objects(), local.name), "") << mirror->text();

  relay.pause(true);
  mirror->pause(true);
  uint64_t last = 0;
  for (auto& t : pool.objects()) {
    if (!t.retired) pool.change(t, 5), last = zim_shm_pool_version_of(t.obj);
  }
  relay.pause(false);
  ASSERT_TRUE(relay.printed("\"last_version\":" + std::to_string(last))) << relay.text();
  mirror->pause(false);
  EXPECT_EQ(wait_equal(pool.objects(), local.name), "") << mirror->text();
  EXPECT_EQ(zim_mirror_test::recorded(local.name).loads, 1u);
  EXPECT_EQ(mirror->stop(), 0) << mirror->text();
}

TEST(Mirror, ResumesWithoutALoadAndLoadsWhenTrimmedPast) {
  RedisServer redis;
  SourcePool pool(4096);
  stress(pool, 4, 40);
  RelayProcess relay(pool.name(), redis.socket_path(), {"--stream-bound", "10"});
  LocalPool local;
  auto mirror = start_mirror(pool.name(), local.name, redis.socket_path());
  ASSERT_TRUE(mirror->printed(kLoaded)) << mirror->text();
  ASSERT_EQ(wait_equal(pool.objects(), local.name), "") << mirror->text();
  ASSERT_EQ(mirror->stop(), 0);
  // Another mirror stopped right after its load, which found the stream
  // empty (a fill makes no entries): its position is the stream's beginning.
  LocalPool early;
  auto early_mirror = start_mirror(pool.name(), early.name, redis.socket_path());
  ASSERT_TRUE(early_mirror->printed(kLoaded)) << early_mirror->text();
  ASSERT_EQ(early_mirror->stop(), 0);

  // A few changes while it is away, each of another object: each is one
  // entry it applies after its position, and nothing else.
  const auto before = zim_mirror_test::recorded(local.name);
  uint64_t changed = 0, last = 0;
  for (auto& t : pool.objects()) {
    if (t.retired || changed == 5) continue;
    pool.change(t, 77), ++changed;
    last = zim_shm_pool_version_of(t.obj);
  }
  ASSERT_TRUE(relay.printed("\"last_version\":" + std::to_string(last))) << relay.text();
  mirror = start_mirror(pool.name(), local.name, redis.socket_path());
  ASSERT_TRUE(mirror->printed("\"event\":\"resumed\"")) << mirror->text();
  ASSERT_EQ(wait_equal(pool.objects(), local.name), "") << mirror->text();
  const auto resumed = zim_mirror_test::recorded(local.name);
  EXPECT_EQ(resumed.loads, before.loads);
  EXPECT_EQ(resumed.applied - before.applied, changed);
  ASSERT_EQ(mirror->stop(), 0);

  // Far more changes than the stream keeps: its position is trimmed away.
  stress(pool, 5, 600);
  mirror = start_mirror(pool.name(), local.name, redis.socket_path());
  ASSERT_TRUE(mirror->printed("trimmed past the position")) << mirror->text();
  EXPECT_EQ(wait_equal(pool.objects(), local.name), "") << mirror->text();
  EXPECT_EQ(zim_mirror_test::recorded(local.name).loads, before.loads + 1);
  // From the stream's beginning, a trim is told by the entries added.
  early_mirror = start_mirror(pool.name(), early.name, redis.socket_path());
  ASSERT_TRUE(early_mirror->printed("trimmed past the position")) << early_mirror->text();
  EXPECT_EQ(wait_equal(pool.objects(), early.name), "") << early_mirror->text();
}

// A server that starts over makes its pool again under the same name: pool
// ids and versions begin again, below those the mirror holds, some ids of
// retired objects come back, and ids come back with other types. The relay
// ends with the old pool; the mirror, left running, must take the new
// pool's objects whatever versions it held.
TEST(Mirror, TakesEveryObjectOfAPoolMadeAgainUnderItsName) {
  RedisServer redis;
  SourcePool pool(4096);
  stress(pool, 7, 300);
  auto relay = std::make_unique<RelayProcess>(pool.name(), redis.socket_path());
  LocalPool local;
  auto mirror = start_mirror(pool.name(), local.name, redis.socket_path());
  ASSERT_TRUE(mirror->printed(kLoaded)) << mirror->text();
  ASSERT_EQ(wait_equal(pool.objects(), local.name), "") << mirror->text();
  const size_t before = pool.objects().size();

  pool.make_again();
  relay->stop();
  const auto types = SourcePool::types();
  for (unsigned i = 0; i < before / 2; ++i) pool.add(types[(i + 1) % types.size()], i % 4, 900 + i);
  relay = std::make_unique<RelayProcess>(pool.name(), redis.socket_path());
  ASSERT_TRUE(mirror->printed("\"versions_kept\":false")) << mirror->text();
  EXPECT_EQ(wait_equal(pool.objects(), local.name), "") << mirror->text();
  // Its versions are now the new pool's: a relay started again keeps them.
  relay = std::make_unique<RelayProcess>(pool.name(), redis.socket_path());
  ASSERT_TRUE(mirror->printed("\"versions_kept\":true")) << mirror->text();
  stress(pool, 8, 100);
  EXPECT_EQ(wait_equal(pool.objects(), local.name), "") << mirror->text();
  EXPECT_EQ(mirror->stop(), 0) << mirror->text();
}

// --objects bounds the pool ids the record holds, though it has room for
// twice as many, which keeps its lookups short.
TEST(Mirror, TheRecordHoldsAsManyPoolIdsAsAskedFor) {
  RedisServer redis;
  SourcePool pool;
  const auto types = SourcePool::types();
  for (unsigned i = 0; i < 20; ++i) pool.add(types[i % types.size()], i % 3, i);
  RelayProcess relay(pool.name(), redis.socket_path());
  LocalPool fits, short_of_room;
  auto mirror = start_mirror(pool.name(), fits.name, redis.socket_path(), {"--objects", "20"});
  ASSERT_TRUE(mirror->printed(kLoaded)) << mirror->text();
  EXPECT_EQ(mirror->stop(), 0) << mirror->text();
  EXPECT_EQ(zim_mirror_test::recorded(fits.name).versions.size(), 20u);
  const auto [status, text] =
      zim_sim_test::command_output(std::string(ZIM_MIRROR_TOOL) + " --status --pool " + fits.name);
  EXPECT_NE(text.find("20 source pool ids of 20"), std::string::npos) << text;

  auto refused =
      start_mirror(pool.name(), short_of_room.name, redis.socket_path(), {"--objects", "16"});
  EXPECT_EQ(refused->stop(0), 1) << refused->text();
  EXPECT_NE(refused->text().find("record is full"), std::string::npos) << refused->text();
}

// What the mirror refuses: a source of another N, a pool another mirror
// holds; and what its pool refuses to other processes' writes.
TEST(Mirror, RefusesAnotherNAndOtherWriters) {
  RedisServer redis;
  SourcePool pool;
  stress(pool, 6, 30);
  RelayProcess relay(pool.name(), redis.socket_path());
  LocalPool local, other;
  auto mirror = start_mirror(pool.name(), local.name, redis.socket_path());
  ASSERT_TRUE(mirror->printed(kLoaded)) << mirror->text();

  struct Refusal {
    const char* name;
    std::string local;
    std::vector<std::string> options;
    std::vector<std::string> said;
  };
  const std::vector<Refusal> refusals{
      {"another N", other.name, {"--npus", "4"}, {"N 8", "N 4"}},
      {"a pool another mirror holds", local.name, {}, {"another mirror holds it"}},
  };
  for (const Refusal& r : refusals) {
    auto refused = start_mirror(pool.name(), r.local, redis.socket_path(), r.options);
    EXPECT_EQ(refused->stop(0), 2) << r.name << ": " << refused->text();
    for (const std::string& s : r.said) {
      EXPECT_NE(refused->text().find(s), std::string::npos) << r.name << ": " << refused->text();
    }
  }

  const int written = zim_sim_test::run_in_child([&] {
    if (zim_shm_pool_attach(local.name.c_str()) != 0) return 10;
    void* some = nullptr;
    zim_shm_pool_walk_mapped(
        [](const zim_shm_pool_piece_t* p, void* found) {
          if (p->retired == 0 && p->table_id <= ZIM_SHM_POOL_MAX_TABLE_ID)
            *static_cast<void**>(found) = const_cast<void*>(p->data);
          return 0;
        },
        &some);
    if (some == nullptr) return 11;
    return zim_shm_pool_write_begin(some) == -1 && errno == EPERM ? 0 : 12;
  });
  EXPECT_EQ(written, 0);
}

}  // namespace
