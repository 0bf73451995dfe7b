// SPDX-License-Identifier: Apache-2.0
// A rolling upgrade: a source still of the upgrade test's first catalogue
// relayed to mirrors built for later ones. One built for the second converts
// every object into its own layouts, which a reader of that catalogue checks
// by value and flag; one that narrows a field stops that type alone, naming
// the field, and mirrors the types whose layouts did not change. A mirror of
// the second that takes over the pool of a mirror of the first converts it
// once the local clients that map it detach.
#include <gtest/gtest.h>
#include <zim/sim/pool_upgrade.h>

#include <cerrno>
#include <regex>
#include <set>

#include "mirror_harness.hpp"

namespace {

using zim_mirror_test::LocalPool;
using zim_mirror_test::RelayProcess;
using zim_test::RedisServer;

std::set<std::string> stopped_table_ids(const std::string& text) {
  static const std::regex stopped(R"("event":"stopped"[^\n]*"table_id":(\d+))");
  std::set<std::string> ids;
  for (std::sregex_iterator it(text.begin(), text.end(), stopped), end; it != end; ++it)
    ids.insert((*it)[1]);
  return ids;
}

TEST(MirrorUpgrade, ConvertsAnOlderSourceOrStopsTheTypeItCannot) {
  RedisServer redis;
  LocalPool source_pool;
  RelayProcess source(ZIM_UPGRADE_SOURCE, {"source", source_pool.name});
  ASSERT_TRUE(source.printed("ready")) << source.text();
  RelayProcess relay(source_pool.name, redis.socket_path());

  struct Case {
    const char* mirror;
    std::set<std::string> stopped;  // table ids
    std::string named;              // in the stopped line: the difference
    const char* reader;             // checks the mirror's pool, or null
  };
  const std::vector<Case> cases{
      {ZIM_MIRROR_OF_V2, {}, "", ZIM_UPGRADE_READER},
      {ZIM_MIRROR_OF_NARROWED, {"2000"}, "reading", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mirror);
    LocalPool local;
    RelayProcess mirror(c.mirror, {"--pool", source_pool.name, "--local-pool", local.name,
                                   "--redis", redis.socket_path(), "--json"});
    ASSERT_TRUE(mirror.printed("\"event\":\"loaded\"")) << mirror.text();
    const std::string said = mirror.text();
    EXPECT_EQ(stopped_table_ids(said), c.stopped) << said;
    EXPECT_EQ(said.find("\"event\":\"skipped\""), std::string::npos) << said;
    if (!c.named.empty()) {
      EXPECT_NE(said.find(c.named), std::string::npos) << said;
    }
    if (c.reader != nullptr) {
      RelayProcess reader(c.reader, {"read", local.name});
      EXPECT_EQ(reader.stop(0), 0) << reader.text();
    }
    EXPECT_EQ(mirror.stop(), 0) << mirror.text();
    // 12 objects of each of three table ids, but those of a stopped one.
    EXPECT_EQ(zim_mirror_test::recorded(local.name).versions.size(), 12u * (3 - c.stopped.size()));
  }
  EXPECT_EQ(source.stop(), 0) << source.text();
}

// A line card not yet upgraded while its supervisor is: the first version's
// mirror of the second's source converts the type the second only extended,
// dropping the added field and saying so, and stops the two it widened,
// which the first cannot hold.
TEST(MirrorUpgrade, AnOlderMirrorKeepsWhatItsLayoutsHoldOfANewerSource) {
  RedisServer redis;
  LocalPool source_pool;
  RelayProcess source(ZIM_UPGRADE_READER, {"source", source_pool.name});
  ASSERT_TRUE(source.printed("ready")) << source.text();
  RelayProcess relay(source_pool.name, redis.socket_path());
  LocalPool local;
  RelayProcess mirror(ZIM_MIRROR_OF_V1, {"--pool", source_pool.name, "--local-pool", local.name,
                                         "--redis", redis.socket_path(), "--json"});
  ASSERT_TRUE(mirror.printed("\"event\":\"loaded\"")) << mirror.text();
  const std::string said = mirror.text();
  EXPECT_EQ(stopped_table_ids(said), (std::set<std::string>{"2001", "2004"})) << said;
  EXPECT_NE(said.find("narrowed"), std::string::npos) << said;
  EXPECT_TRUE(std::regex_search(
      said,
      std::regex(R"("event":"converting","table_id":2000,[^\n]*"dropped":"field [^\n]*'offset')")))
      << said;
  RelayProcess reader(ZIM_UPGRADE_SOURCE, {"read", local.name, "2000"});
  EXPECT_EQ(reader.stop(0), 0) << reader.text();
  EXPECT_EQ(mirror.stop(), 0) << mirror.text();
  EXPECT_EQ(zim_mirror_test::recorded(local.name).versions.size(), 12u);
  EXPECT_EQ(source.stop(), 0) << source.text();
}

TEST(MirrorUpgrade, ConvertsTheObjectsOfItsPoolOnceLocalClientsDetach) {
  RedisServer redis;
  LocalPool source_pool;
  RelayProcess source(ZIM_UPGRADE_SOURCE, {"source", source_pool.name});
  ASSERT_TRUE(source.printed("ready")) << source.text();
  RelayProcess relay(source_pool.name, redis.socket_path());
  LocalPool local;
  const std::vector<std::string> arguments{"--pool",   source_pool.name, "--local-pool",
                                           local.name, "--redis",        redis.socket_path(),
                                           "--json"};
  {
    RelayProcess older(ZIM_MIRROR_OF_V1, arguments);
    ASSERT_TRUE(older.printed("\"event\":\"loaded\"")) << older.text();
    EXPECT_EQ(older.stop(), 0) << older.text();
  }
  // A client of the first version still maps the pool the older mirror
  // handed over: the newer mirror cannot convert its objects meanwhile.
  RelayProcess client(ZIM_UPGRADE_SOURCE, {"hold", local.name});
  ASSERT_TRUE(client.printed("attached")) << client.text();
  RelayProcess newer(ZIM_MIRROR_OF_V2, arguments);
  ASSERT_TRUE(newer.printed("\"event\":\"waiting\"")) << newer.text();
  EXPECT_EQ(zim_shm_pool_wait_attachable(local.name.c_str(), 1000), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_EQ(newer.text().find("\"event\":\"loaded\""), std::string::npos) << newer.text();

  EXPECT_EQ(client.stop(), 0) << client.text();
  ASSERT_TRUE(newer.printed("\"event\":\"start\"")) << newer.text();
  EXPECT_EQ(zim_shm_pool_wait_attachable(local.name.c_str(), 10'000'000), 0);
  RelayProcess reader(ZIM_UPGRADE_READER, {"read", local.name});
  EXPECT_EQ(reader.stop(0), 0) << reader.text();
  EXPECT_EQ(newer.stop(), 0) << newer.text();
  EXPECT_EQ(zim_mirror_test::recorded(local.name).versions.size(), 3u * 12u);
  EXPECT_EQ(source.stop(), 0) << source.text();
}

}  // namespace
