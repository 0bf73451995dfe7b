// SPDX-License-Identifier: Apache-2.0
// One connection to Redis: where it is (a Unix socket or host:port), logging
// in as an ACL user, the eviction policy it must have, and commands sent in
// one round trip. Every reply is outside bytes: copied with bounds, and
// shown in messages only escaped.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct redisContext;

namespace zim_relay {

struct RedisAddress {
  std::string text;  // as given, for messages
  std::string socket_path;
  std::string host;
  int port = 0;
};

// A path (holding a '/') is a Unix socket; else host:port.
std::optional<RedisAddress> parse_address(const std::string& text, std::string& why);

struct Credentials {
  std::string user;  // empty: the default user
  std::string password;
};

// A reply as far as the relay reads one.
struct Reply {
  enum Kind { kString, kStatus, kError, kInteger, kNil, kArray } kind = kNil;
  std::string text;  // string, status, error
  long long integer = 0;
  std::vector<Reply> items;  // array
};

// What a round trip came to: done; Redis away (retry later); refused (what
// Redis said will not change by retrying: credentials, policy, permissions).
enum class Outcome { done, away, refused };

using Command = std::vector<std::string>;

// How large a reply may be: the relay reads short replies; a mirror reads
// stream entries (nested deeper) and objects, a bounded count at a time.
struct ReplyBounds {
  size_t text = size_t{1} << 20;
  size_t items = size_t{1} << 17;
  int depth = 3;
};

class RedisLink {
 public:
  explicit RedisLink(ReplyBounds bounds = {});
  ~RedisLink();
  RedisLink(const RedisLink&) = delete;
  RedisLink& operator=(const RedisLink&) = delete;

  // Connects, logs in and checks that Redis never evicts keys.
  Outcome open(const RedisAddress& address, const Credentials& credentials, std::string& message);
  void close();
  bool is_open() const { return context_ != nullptr; }

  // Sends the commands at once and reads a reply to each. An error reply
  // makes the outcome refused (or away while Redis loads), told in `message`
  // with the command it answered.
  Outcome run(const std::vector<Command>& commands, std::vector<Reply>& replies,
              std::string& message);

  // The same in two steps, for callers that send many commands made of
  // bytes they already hold: each word is copied into the link's output at
  // once, so it need live only through the call. `collect` sends what is
  // left of the output and reads a reply to every command appended since
  // the last collect, into `replies` as they stand: replies kept from call to
  // call keep their buffers.
  void append(const std::string_view* words, size_t count);
  void append(std::initializer_list<std::string_view> words) {
    append(words.begin(), words.size());
  }
  Outcome collect(std::vector<Reply>& replies, std::string& message);
  // Writes the commands appended so far without reading their replies, so
  // that Redis works on them meanwhile; the next collect reads them.
  void send();
  // Counts the connections made: a command sent on an earlier one is never
  // answered on this one.
  uint64_t connection() const { return connection_; }

 private:
  Outcome fail_io(std::string& message);
  Outcome check_policy(std::string& message);
  void hand_over();
  struct Free {
    void operator()(redisContext* c) const;
  };
  std::unique_ptr<redisContext, Free> context_;
  ReplyBounds bounds_;
  std::string where_;
  Outcome read_replies(std::vector<Reply>& replies, std::string& message);
  int get_reply(void** reply, bool& beyond);
  std::vector<std::string> pending_;  // each appended command's name, for messages
  bool append_failed_ = false;
  uint64_t connection_ = 0;
  std::string output_;      // the commands appended since the last collect, kept with its buffer
  std::string last_error_;  // the last error reply, escaped
};

// The value of `field` in an INFO reply ("field:value" lines), bounded.
std::optional<std::string> info_field(const std::string& info, const std::string& field);

}  // namespace zim_relay
