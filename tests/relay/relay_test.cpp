// SPDX-License-Identifier: Apache-2.0
// zim_tables_relay against a real redis-server of the test's own: objects of
// three classes created, changed and retired in a pool this process writes
// while the relay runs; the relay lapped on the feed, Redis killed and
// brought back empty, a Redis that may evict refused, and ACL logins.
#include <gtest/gtest.h>
#include <zim/sim/pool_upgrade.h>
#include <zim/sim/shm_pool.h>

#include <fstream>

#include "relay_harness.hpp"

namespace {

using zim_relay_test::RelayProcess;
using zim_relay_test::SourcePool;
using zim_relay_test::wait_for_mirror;
using zim_test::RedisServer;
using zim_test::RedisServerOptions;

constexpr const char* kStarted = "\"event\":\"resynced\"";

// Three objects of each class, counts 0, 3 and 17 for the counted type.
void add_objects(SourcePool& pool, unsigned seed) {
  for (const auto* type : SourcePool::types()) {
    for (const uint32_t count : {0u, 3u, 17u}) pool.add(type, count, seed + count);
  }
}

TEST(Relay, MirrorsCreatedChangedAndRetiredObjects) {
  RedisServer redis;
  SourcePool pool;
  add_objects(pool, 1);  // before the relay: its first epoch publishes them
  RelayProcess relay(pool.name(), redis.socket_path());
  ASSERT_TRUE(relay.printed(kStarted)) << relay.text();
  EXPECT_EQ(wait_for_mirror(redis, pool.name(), pool.objects()), "");

  add_objects(pool, 50);
  for (unsigned round = 0; round < 3; ++round) {
    for (size_t i = 0; i < pool.objects().size(); i += 2)
      pool.change(pool.objects()[i], 90 + round);
  }
  EXPECT_EQ(wait_for_mirror(redis, pool.name(), pool.objects()), "") << relay.text();

  // Retiring needs the pool to itself: the relay's next epoch drops the
  // retired objects of the one before.
  ASSERT_EQ(relay.stop(), 0) << relay.text();
  EXPECT_NE(relay.text().find("stopped by SIGTERM"), std::string::npos);
  const uint32_t retired_id = SourcePool::types()[0]->table_id;
  ASSERT_EQ(zim_shm_pool_retire(retired_id), 0);
  for (auto& t : pool.objects()) t.retired = t.type->table_id == retired_id;
  RelayProcess again(pool.name(), redis.socket_path());
  EXPECT_EQ(wait_for_mirror(redis, pool.name(), pool.objects()), "") << again.text();
}

// Through a hand-over the relay unmaps the pool; the successor retires a
// type before its migration opens the pool again, and the relay's resync
// removes those objects from Redis.
TEST(Relay, FollowsThePoolThroughAHandOver) {
  RedisServer redis;
  SourcePool pool;
  add_objects(pool, 1);
  RelayProcess relay(pool.name(), redis.socket_path());
  ASSERT_EQ(wait_for_mirror(redis, pool.name(), pool.objects()), "") << relay.text();
  std::vector<uint64_t> offsets;
  for (const auto& t : pool.objects()) offsets.push_back(zim_shm_pool_offset_of(t.obj));
  ASSERT_EQ(zim_shm_pool_hand_over(), 0);
  ASSERT_TRUE(relay.printed("\"event\":\"handed_over\"")) << relay.text();
  pool.adopt_again(offsets);
  const uint32_t retired_id = SourcePool::types()[1]->table_id;
  ASSERT_EQ(zim_shm_pool_retire(retired_id), 0);
  for (auto& t : pool.objects()) t.retired = t.type->table_id == retired_id;
  ASSERT_EQ(zim_shm_pool_migrate(nullptr, nullptr), 0);
  add_objects(pool, 77);  // new objects: the old ones' pointers name the old mapping
  EXPECT_EQ(wait_for_mirror(redis, pool.name(), pool.objects()), "") << relay.text();
  EXPECT_TRUE(relay.printed("\"retired\":3")) << relay.text();  // told by the feed, not a reset
}

TEST(Relay, ResyncsByVersionsWhenLappedOnTheFeed) {
  RedisServer redis;
  SourcePool pool(8);  // a ring of 8 changes
  add_objects(pool, 1);
  RelayProcess relay(pool.name(), redis.socket_path());
  ASSERT_TRUE(relay.printed(kStarted)) << relay.text();
  relay.pause(true);
  for (unsigned w = 0; w < 40; ++w) pool.change(pool.objects()[w % 5], w);
  add_objects(pool, 7);
  relay.pause(false);
  EXPECT_EQ(wait_for_mirror(redis, pool.name(), pool.objects()), "") << relay.text();
  EXPECT_TRUE(relay.printed("\"event\":\"lapped\"")) << relay.text();
}

TEST(Relay, RetriesWhileRedisIsAwayAndRefillsItWhenItComesBackEmpty) {
  RedisServer redis;
  SourcePool pool;
  add_objects(pool, 1);
  RelayProcess relay(pool.name(), redis.socket_path());
  ASSERT_TRUE(relay.printed(kStarted)) << relay.text();
  ASSERT_EQ(wait_for_mirror(redis, pool.name(), pool.objects()), "");
  const zim_test::ReplyPtr first_epoch = redis.command({"GET", "zim:{" + pool.name() + "}:epoch"});
  ASSERT_TRUE(first_epoch && first_epoch->type == REDIS_REPLY_STRING);
  const std::string old_epoch = first_epoch->str;

  redis.kill();
  pool.change(pool.objects()[0], 200);  // published into a Redis that is away
  ASSERT_TRUE(relay.printed("\"event\":\"away\"")) << relay.text();
  redis.restart();
  add_objects(pool, 300);
  EXPECT_EQ(wait_for_mirror(redis, pool.name(), pool.objects()), "") << relay.text();
  const zim_test::ReplyPtr epoch = redis.command({"GET", "zim:{" + pool.name() + "}:epoch"});
  ASSERT_TRUE(epoch && epoch->type == REDIS_REPLY_STRING);
  EXPECT_NE(epoch->str, old_epoch);
  EXPECT_EQ(relay.stop(), 0);
}

// Redis that refuses the relay ends it with status 2 and says why.
struct Refusal {
  const char* name;
  RedisServerOptions server;
  std::vector<std::string> relay_options;
  const char* password;  // written to the password file, when given
  const char* expected;
};

void PrintTo(const Refusal& r, std::ostream* out) { *out << r.name; }

class RelayRefused : public ::testing::TestWithParam<Refusal> {};

TEST_P(RelayRefused, EndsWithAClearMessage) {
  const Refusal& r = GetParam();
  SourcePool pool;
  RedisServer redis(r.server);
  std::vector<std::string> options = r.relay_options;
  if (r.password != nullptr) {
    std::ofstream(redis.folder() + "/password") << r.password << "\n";
    options.insert(options.end(), {"--password-file", redis.folder() + "/password"});
  }
  RelayProcess relay(pool.name(), redis.socket_path(), options);
  EXPECT_EQ(relay.stop(0), 2) << relay.text();
  EXPECT_NE(relay.text().find(r.expected), std::string::npos) << relay.text();
}

const std::string kRelayUser =
    "relay on >s3cret resetchannels -@all +ping +info +multi +exec "
    "+get +set +del +xadd +hset +hsetnx +hdel +sadd +smembers";

INSTANTIATE_TEST_SUITE_P(
    Cases, RelayRefused,
    ::testing::Values(
        Refusal{
            "EvictingPolicy", {"allkeys-lru", {}}, {}, nullptr, "maxmemory-policy 'allkeys-lru'"},
        Refusal{"WrongPassword",
                {"noeviction", {kRelayUser + " ~*"}},
                {"--user", "relay"},
                "wrong",
                "refused the login of user 'relay'"},
        Refusal{"KeysOfAnotherPool",
                {"noeviction", {kRelayUser + " ~zim:{/another}:*"}},
                {"--user", "relay"},
                "s3cret",
                "NOPERM"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Relay, PublishesAsAnAclUserWithOnlyThePoolsKeys) {
  SourcePool pool;
  RedisServer redis({"noeviction", {kRelayUser + " ~zim:{" + pool.name() + "}:*"}});
  std::ofstream(redis.folder() + "/password") << "s3cret\n";
  add_objects(pool, 5);
  RelayProcess relay(pool.name(), redis.socket_path(),
                     {"--user", "relay", "--password-file", redis.folder() + "/password"});
  EXPECT_EQ(wait_for_mirror(redis, pool.name(), pool.objects()), "") << relay.text();
  EXPECT_EQ(relay.stop(), 0) << relay.text();
}

}  // namespace
