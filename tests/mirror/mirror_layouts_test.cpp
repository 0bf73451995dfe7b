// SPDX-License-Identifier: Apache-2.0
// A source of types this mirror carries no layout of (the upgrade test's
// first catalogue): the mirror's pool records the layouts the source
// published, so that a local client built with those types passes the
// pool's handshake and reads the source's values; a layout record in Redis
// that does not read stops its type, naming why, and records nothing.
#include <gtest/gtest.h>
#include <zim/sim/pool_records.h>
#include <zim/sim/shm_pool.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "mirror_harness.hpp"

namespace {

using zim_mirror_test::LocalPool;
using zim_mirror_test::RelayProcess;
using zim_test::RedisServer;

// Table id: fingerprint, of every layout record the pool `name` holds.
std::map<uint32_t, uint64_t> recorded_layouts(const std::string& name) {
  std::map<uint32_t, uint64_t> layouts;
  const auto visit = [](const zim_shm_pool_piece_t* piece, void* context) {
    zim_shm_pool_layout_record_t head;
    if (piece->table_id == ZIM_SHM_POOL_LAYOUT && !piece->retired && piece->size >= sizeof head) {
      std::memcpy(&head, piece->data, sizeof head);
      (*static_cast<std::map<uint32_t, uint64_t>*>(context))[head.table_id] = head.fingerprint;
    }
    return 0;
  };
  EXPECT_EQ(zim_shm_pool_walk(name.c_str(), visit, &layouts), 0) << name;
  return layouts;
}

// The source's layout records as the relay published them (field: text),
// once it has published `count` of them (up to 20 s).
std::map<std::string, std::string> published_layouts(const RedisServer& redis,
                                                     const std::string& pool, size_t count) {
  std::map<std::string, std::string> layouts;
  for (int i = 0; i < 200 && layouts.size() < count; ++i) {
    if (i != 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    layouts.clear();
    const zim_test::ReplyPtr r = redis.command({"HGETALL", "zim:{" + pool + "}:layouts"});
    for (size_t k = 0; r != nullptr && r->type == REDIS_REPLY_ARRAY && k + 1 < r->elements; k += 2)
      layouts[r->element[k]->str] = std::string(r->element[k + 1]->str, r->element[k + 1]->len);
  }
  return layouts;
}

TEST(MirrorLayouts, RecordsTheSourcesLayoutsOfTypesItDoesNotCarry) {
  RedisServer redis;
  LocalPool source_pool;
  RelayProcess source(ZIM_UPGRADE_SOURCE, {"source", source_pool.name});
  ASSERT_TRUE(source.printed("ready")) << source.text();
  const std::map<uint32_t, uint64_t> sources = recorded_layouts(source_pool.name);
  ASSERT_EQ(sources.size(), 3u);
  RelayProcess relay(source_pool.name, redis.socket_path());
  const auto published = published_layouts(redis, source_pool.name, sources.size());
  ASSERT_EQ(published.size(), sources.size());

  struct Case {
    const char* name;
    std::string hostile;  // the text put in Redis for the first layout, or empty
  };
  const std::vector<Case> cases{
      {"the source's records", ""},
      {"a record that does not read", published.begin()->second + "field \x1b[2J\xff 7 bogus\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t spoiled = UINT32_MAX;  // table id of the hostile record
    if (!c.hostile.empty()) {
      spoiled = static_cast<uint32_t>(std::stoul(published.begin()->second.substr(5)));
      redis.command(
          {"HSET", "zim:{" + source_pool.name + "}:layouts", published.begin()->first, c.hostile});
    }
    LocalPool local;
    RelayProcess mirror(ZIM_MIRROR_TOOL, {"--pool", source_pool.name, "--local-pool", local.name,
                                          "--redis", redis.socket_path(), "--json"});
    ASSERT_TRUE(mirror.printed("\"event\":\"loaded\"")) << mirror.text();
    const std::string said = mirror.text();
    std::map<uint32_t, uint64_t> expected = sources;
    if (spoiled != UINT32_MAX) {
      expected.erase(spoiled);
      EXPECT_NE(said.find("\"table_id\":" + std::to_string(spoiled)), std::string::npos) << said;
      EXPECT_NE(said.find("does not read"), std::string::npos) << said;
      EXPECT_EQ(said.find('\x1b'), std::string::npos) << said;
    } else {
      RelayProcess reader(ZIM_UPGRADE_SOURCE, {"read", local.name});
      EXPECT_EQ(reader.stop(0), 0) << reader.text();
    }
    std::map<uint32_t, uint64_t> mirrored = recorded_layouts(local.name);
    for (auto it = mirrored.begin(); it != mirrored.end();)
      it = sources.count(it->first) != 0 ? std::next(it) : mirrored.erase(it);
    EXPECT_EQ(mirrored, expected);
    EXPECT_EQ(mirror.stop(), 0) << mirror.text();
    EXPECT_EQ(zim_mirror_test::recorded(local.name).versions.size(), 12u * expected.size());
  }
  EXPECT_EQ(source.stop(), 0) << source.text();
}

}  // namespace
