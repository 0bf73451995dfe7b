// SPDX-License-Identifier: Apache-2.0
// The relay, the mirrors and redis-server killed at random instants while
// the source changes: afterwards every mirror equals the source, and the
// mirrors loaded the hashes only for epochs that changed (no load loop).
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "mirror_harness.hpp"

namespace {

using zim_mirror_test::LocalPool;
using zim_mirror_test::RelayProcess;
using zim_mirror_test::SourcePool;
using zim_mirror_test::start_mirror;
using zim_mirror_test::stress;

constexpr int kKills = 100;

TEST(MirrorKills, EveryMirrorEqualsTheSourceAfterAHundredKills) {
  zim_test::RedisServer redis;
  SourcePool pool(4096);
  stress(pool, 11, 40);
  auto relay = std::make_unique<RelayProcess>(pool.name(), redis.socket_path());
  LocalPool locals[2];
  std::unique_ptr<RelayProcess> mirrors[2];
  for (int i = 0; i < 2; ++i)
    mirrors[i] = start_mirror(pool.name(), locals[i].name, redis.socket_path());
  std::mt19937 rng(12);
  int new_epochs = 0;  // each relay or Redis killed makes one
  for (int kill = 0; kill < kKills; ++kill) {
    stress(pool, 100 + unsigned(kill), 1 + int(rng() % 20));
    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 40));
    switch (rng() % 4) {
      case 0:
        relay->stop(SIGKILL);
        relay = std::make_unique<RelayProcess>(pool.name(), redis.socket_path());
        ++new_epochs;
        break;
      case 1:
        redis.kill();
        redis.restart();
        ++new_epochs;
        break;
      default: {
        const int i = int(rng() % 2);
        mirrors[i]->stop(SIGKILL);
        mirrors[i] = start_mirror(pool.name(), locals[i].name, redis.socket_path());
      }
    }
  }
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(zim_mirror_test::wait_equal(pool.objects(), locals[i].name), "")
        << mirrors[i]->text();
    EXPECT_LE(zim_mirror_test::recorded(locals[i].name).loads, uint64_t(new_epochs) + 1);
  }
}

}  // namespace
