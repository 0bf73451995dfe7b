// SPDX-License-Identifier: Apache-2.0
// A load's scan of a hash against a real redis-server: each step asks for
// the next before it returns, so the mirror's other reads in between (a
// layout record, the pool's head), a scan given up for another and a
// connection made again must each leave the link's replies in step with its
// commands, and every field come back with its own value.
#include "redis_source.hpp"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "redis_server.hpp"

namespace {

using zim_mirror::HashItems;
using zim_mirror::RedisSource;
using zim_relay::Outcome;
using zim_relay::RedisLink;

constexpr int kFields = 5000;  // some ten steps

void open(RedisLink& link, const zim_test::RedisServer& redis) {
  std::string why, message;
  const auto address = zim_relay::parse_address(redis.socket_path(), why);
  ASSERT_TRUE(address) << why;
  ASSERT_EQ(link.open(*address, {}, message), Outcome::done) << message;
}

// A hash of kFields fields, each value naming its hash and field.
void fill(RedisLink& link, const std::string& hash) {
  for (int i = 0; i < kFields; ++i) {
    const std::string field = std::to_string(i);
    link.append({"HSET", hash, field, hash + "/" + field});
  }
  std::vector<zim_relay::Reply> replies;
  std::string message;
  ASSERT_EQ(link.collect(replies, message), Outcome::done) << message;
}

enum class Between { nothing, other_reads, reconnect };

// Scans `hash` whole, doing `between` after each step; the fields seen and
// how often.
std::map<std::string, int> scan_whole(RedisSource& source, RedisLink& link,
                                      const zim_test::RedisServer& redis, const std::string& hash,
                                      Between between) {
  std::map<std::string, int> seen;
  std::string cursor = "0", message;
  HashItems items;
  do {
    if (source.scan(hash, cursor, items, message) != Outcome::done) {
      ADD_FAILURE() << message;
      return seen;
    }
    if (between == Between::other_reads) {
      std::optional<std::string> layout;
      zim_mirror::SourceHead head;
      EXPECT_EQ(source.layout_record(0x1234, layout, message), Outcome::done) << message;
      EXPECT_FALSE(layout);
      EXPECT_EQ(source.head(head, message), Outcome::done) << message;
      EXPECT_EQ(head.epoch, 0u);
    } else if (between == Between::reconnect) {
      open(link, redis);
    }
    // The items stay valid across the reads in between.
    for (const auto& [field, value] : items) {
      EXPECT_EQ(value, hash + "/" + std::string(field));
      ++seen[std::string(field)];
    }
  } while (cursor != "0");
  return seen;
}

TEST(RedisSource, AScanWithItsStepAskedAheadStaysInStepWithOtherReads) {
  zim_test::RedisServer redis;
  RedisLink link(zim_mirror::kMirrorBounds);
  open(link, redis);
  fill(link, "first");
  fill(link, "second");
  RedisSource source(link, "/pool");
  for (const Between between : {Between::nothing, Between::other_reads, Between::reconnect}) {
    const std::map<std::string, int> seen = scan_whole(source, link, redis, "first", between);
    // HSCAN may return a field twice while Redis grows the hash's table.
    EXPECT_EQ(seen.size(), size_t{kFields});
    for (const auto& [field, times] : seen) EXPECT_LE(times, 2) << field;
  }
  // A scan given up after one step: the next scan, of another hash, gets
  // its own replies, not the step asked for ahead.
  std::string cursor = "0", message;
  HashItems items;
  ASSERT_EQ(source.scan("first", cursor, items, message), Outcome::done) << message;
  ASSERT_NE(cursor, "0");
  const std::map<std::string, int> seen =
      scan_whole(source, link, redis, "second", Between::nothing);
  EXPECT_EQ(seen.size(), size_t{kFields});
}

}  // namespace
