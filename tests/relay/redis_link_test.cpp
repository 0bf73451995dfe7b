// SPDX-License-Identifier: Apache-2.0
// The link's replies against a real redis-server: hiredis reads them straight
// into the caller's reply tree, kept from read to read, so a reply read into
// a tree that held another kind keeps nothing of it; and a reply past any of
// the bounds is refused, the connection closed, before it is read whole, also
// from a peer that claims a string of any length; and the commands, written
// by the link itself, reach Redis whole whatever their bytes.
#include "redis_link.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "redis_server.hpp"

namespace {

using zim_relay::Outcome;
using zim_relay::RedisLink;
using zim_relay::Reply;
using zim_relay::ReplyBounds;

void open(RedisLink& link, const zim_test::RedisServer& redis) {
  std::string why, message;
  const auto address = zim_relay::parse_address(redis.socket_path(), why);
  ASSERT_TRUE(address) << why;
  ASSERT_EQ(link.open(*address, {}, message), Outcome::done) << message;
}

TEST(RedisLink, RepliesOfEveryKindReadIntoATreeKeptFromReadToRead) {
  zim_test::RedisServer redis;
  RedisLink link;
  open(link, redis);
  std::string message;
  std::vector<Reply> replies;
  ASSERT_EQ(link.run({{"RPUSH", "list", "a", "bb"}, {"SET", "text", std::string("x\0y", 3)}},
                     replies, message),
            Outcome::done)
      << message;
  // Each place of the tree gets another kind on the next read.
  ASSERT_EQ(link.run({{"LRANGE", "list", "0", "-1"},
                      {"GET", "text"},
                      {"GET", "none"},
                      {"INCR", "counter"},
                      {"PING"}},
                     replies, message),
            Outcome::done)
      << message;
  ASSERT_EQ(replies.size(), 5u);
  ASSERT_EQ(replies[0].kind, Reply::kArray);
  ASSERT_EQ(replies[0].items.size(), 2u);
  EXPECT_EQ(replies[0].items[1].text, "bb");
  EXPECT_EQ(replies[1].kind, Reply::kString);
  EXPECT_EQ(replies[1].text, std::string("x\0y", 3));
  EXPECT_EQ(replies[2].kind, Reply::kNil);
  EXPECT_EQ(replies[3].kind, Reply::kInteger);
  EXPECT_EQ(replies[3].integer, 1);
  EXPECT_EQ(replies[4].kind, Reply::kStatus);
  EXPECT_EQ(replies[4].text, "PONG");
  ASSERT_EQ(link.run({{"GET", "text"}, {"LRANGE", "list", "0", "0"}}, replies, message),
            Outcome::done);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].kind, Reply::kString);
  EXPECT_TRUE(replies[0].items.empty());
  ASSERT_EQ(replies[1].kind, Reply::kArray);
  EXPECT_TRUE(replies[1].text.empty());
  ASSERT_EQ(replies[1].items.size(), 1u);
  EXPECT_EQ(replies[1].items[0].text, "a");
  // An error reply refuses, naming the command it answered.
  EXPECT_EQ(link.run({{"INCR", "list"}}, replies, message), Outcome::refused);
  EXPECT_NE(message.find("refused INCR"), std::string::npos) << message;
}

// The link writes the protocol itself: words of any bytes (the protocol's
// own marks included) and any length, empty ones too, and thousands of
// commands appended before one collect, each answered in order; a
// transaction larger than the output the link keeps, then a small one.
TEST(RedisLink, CommandsOfAnyBytesGoWholeAndInOrder) {
  zim_test::RedisServer redis;
  RedisLink link;
  open(link, redis);
  const std::string marks = std::string("*1\r\n$3\r\nGET\r\n\0", 14);
  constexpr int kCommands = 3000;
  for (int i = 0; i < kCommands; ++i) {
    const std::string key = "key" + std::to_string(i);
    link.append({"SET", key, marks + std::to_string(i)});
  }
  link.append({"SET", "empty", ""});
  std::vector<Reply> replies;
  std::string message;
  ASSERT_EQ(link.collect(replies, message), Outcome::done) << message;
  ASSERT_EQ(replies.size(), size_t{kCommands} + 1);
  for (const Reply& r : replies) EXPECT_EQ(r.text, "OK");
  ASSERT_EQ(link.run({{"GET", "key0"}, {"GET", "key2999"}, {"GET", "empty"}}, replies, message),
            Outcome::done)
      << message;
  EXPECT_EQ(replies[0].text, marks + "0");
  EXPECT_EQ(replies[1].text, marks + "2999");
  EXPECT_EQ(replies[2].kind, Reply::kString);
  EXPECT_EQ(replies[2].text, "");
  const std::string large(size_t{20} << 20, 'z');
  ASSERT_EQ(link.run({{"SET", "large", large}, {"STRLEN", "large"}}, replies, message),
            Outcome::done)
      << message;
  EXPECT_EQ(replies[1].integer, static_cast<long long>(large.size()));
  ASSERT_EQ(link.run({{"PING"}}, replies, message), Outcome::done) << message;
  EXPECT_EQ(replies[0].text, "PONG");
}

TEST(RedisLink, RepliesPastABoundAreRefusedAndTheLinkClosed) {
  zim_test::RedisServer redis;
  {
    RedisLink fill;
    open(fill, redis);
    std::vector<Reply> replies;
    std::string message;
    ASSERT_EQ(fill.run({{"SET", "long", std::string(8192, 'x')},
                        {"RPUSH", "three", "a", "b", "c"},
                        {"XADD", "stream", "*", "f", "v"}},
                       replies, message),
              Outcome::done)
        << message;
  }
  const struct {
    const char* name;
    ReplyBounds bounds;
    std::vector<std::string> command;
  } cases[] = {
      {"a string past the text bound", {4096, 16, 3}, {"GET", "long"}},
      {"an array past the items bound", {4096, 2, 3}, {"LRANGE", "three", "0", "-1"}},
      {"arrays nested past the depth bound", {4096, 16, 2}, {"XRANGE", "stream", "-", "+"}},
  };
  for (const auto& c : cases) {
    RedisLink link(c.bounds);
    open(link, redis);
    std::vector<Reply> replies;
    std::string message;
    EXPECT_EQ(link.run({c.command}, replies, message), Outcome::refused) << c.name;
    EXPECT_NE(message.find("beyond the relay's bounds"), std::string::npos) << c.name << message;
    EXPECT_FALSE(link.is_open()) << c.name;
    // The same link opened again reads what fits.
    open(link, redis);
    EXPECT_EQ(link.run({{"PING"}}, replies, message), Outcome::done) << c.name << message;
  }
}

// A peer on a Unix socket that answers the link's first command with a
// bulk string of a terabyte, sends 256 KiB of it and waits for the link to
// close: hiredis would wait for the rest, and the link then call it away.
TEST(RedisLink, AStringClaimedPastTheBoundIsRefusedFromItsFirstBytes) {
  char folder[] = "/tmp/zim_link_test.XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/peer.sock";
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un at{};
  at.sun_family = AF_UNIX;
  std::strncpy(at.sun_path, path.c_str(), sizeof at.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  std::thread peer([listener] {
    const int c = accept(listener, nullptr, nullptr);
    char command[256];
    if (c < 0 || read(c, command, sizeof command) <= 0) return;
    std::string reply = "$1099511627776\r\n" + std::string(256 << 10, 'x');
    send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
    while (read(c, command, sizeof command) > 0) {
    }
    close(c);
  });
  std::string why, message;
  const auto address = zim_relay::parse_address(path, why);
  ASSERT_TRUE(address) << why;
  RedisLink link({4096, 16, 3});
  EXPECT_EQ(link.open(*address, {}, message), Outcome::refused) << message;
  EXPECT_NE(message.find("beyond the relay's bounds"), std::string::npos) << message;
  EXPECT_FALSE(link.is_open());
  peer.join();
  close(listener);
  unlink(path.c_str());
  rmdir(folder);
}

}  // namespace
