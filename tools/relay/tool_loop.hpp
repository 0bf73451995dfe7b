// SPDX-License-Identifier: Apache-2.0
// What the relay's and the mirror's loops share: their steps and exit
// statuses, what they are told of Redis, and connecting to it for as long as
// it is away.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "redis_link.hpp"
#include "status.hpp"

namespace zim_relay {

// Exit statuses: stopped by a signal (or the relay's pool ended); the pool
// failed (the relay's cannot be followed, the mirror's local one failed);
// Redis or the source refused (login, policy, permissions, another relay's
// epoch, another N or NPD size), or another mirror holds the pool.
enum ExitStatus { kEnded = 0, kPoolFailed = 1, kRefused = 2 };

// What a step came to: go on, recover the connection to Redis, or end.
struct Step {
  enum Kind { go, recover, end } kind = go;
  int status = kEnded;
  std::string why;
};

// The base of a tool's loop, whose members build steps unqualified.
class StepLoop {
 protected:
  using Step = zim_relay::Step;
  static Step go() { return {}; }
  static Step recovering() { return {Step::recover, kEnded, ""}; }
  static Step end(int status, std::string why) { return {Step::end, status, std::move(why)}; }
};

struct RedisOptions {
  RedisAddress address;
  Credentials credentials;
  uint64_t retry_cap_ms = 5000;  // the longest wait before connecting again
  bool json = false;             // status lines as JSON
};

// Opens the link until Redis answers, waiting 100 ms after the first failure
// and twice as long after each next, up to retry_cap_ms, with an "away"
// status line each time. What Redis refuses, or a stop signal, ends the tool.
Step connect_with_backoff(RedisLink& link, const RedisOptions& options, Status& status);

}  // namespace zim_relay
