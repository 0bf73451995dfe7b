// SPDX-License-Identifier: Apache-2.0
// A redis-server of the test's own: a fresh folder of mode 0700 holding its
// config, its Unix socket (no TCP port) and its log; nothing saved, so a
// restart after a kill starts empty. The system's Redis service is never
// used.
#pragma once

#include <hiredis/hiredis.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace zim_test {

struct RedisServerOptions {
  std::string maxmemory_policy = "noeviction";
  // ACL lines after "user ", e.g. "relay on >secret ~zim:* +@all".
  std::vector<std::string> users;
};

struct ReplyFree {
  void operator()(redisReply* r) const { freeReplyObject(r); }
};
using ReplyPtr = std::unique_ptr<redisReply, ReplyFree>;

class RedisServer {
 public:
  // Starts it and waits until it answers PING; throws std::runtime_error
  // with its log when it does not.
  explicit RedisServer(RedisServerOptions options = {});
  // Stops it and removes its folder.
  ~RedisServer();
  RedisServer(const RedisServer&) = delete;
  RedisServer& operator=(const RedisServer&) = delete;

  const std::string& socket_path() const { return socket_; }
  const std::string& folder() const { return dir_; }

  // SIGKILL, and waits for it to end.
  void kill();
  // Starts it again, empty.
  void restart();

  // One command, binary-safe, as the default user on a new connection (null
  // reply when Redis is away).
  ReplyPtr command(const std::vector<std::string>& words) const;

 private:
  void start();
  void write_config(const RedisServerOptions& options) const;
  std::string log() const;

  std::string dir_, socket_;
  pid_t pid_ = -1;
};

}  // namespace zim_test
