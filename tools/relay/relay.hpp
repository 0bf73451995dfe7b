// SPDX-License-Identifier: Apache-2.0
// The relay: follows a versioned pool's feed and publishes each change's
// object, at its current version, into Redis; resyncs by versions when the
// feed laps it, and republishes everything when Redis came back empty.
#pragma once

#include <zim/sim/pool_versions.h>

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "codec/printable.hpp"
#include "pool_source.hpp"
#include "publisher.hpp"
#include "redis_link.hpp"
#include "status.hpp"
#include "tool_loop.hpp"

namespace zim_relay {

struct RelayOptions {
  std::string pool;
  RedisOptions redis;
  uint64_t stream_bound = 100000;
};

// Runs until SIGINT or SIGTERM, the pool's destruction, or a failure that
// retrying cannot cure; the last status line says why.
int run_relay(const RelayOptions& options, std::ostream& out);

class Relay : private StepLoop {
 public:
  Relay(const RelayOptions& options, std::ostream& out);
  int run();

 private:
  // relay.cpp: the feed.
  Step follow();
  Step take(const zim_shm_pool_change_t& change, bool& moved_cursor);
  void add_object(uint64_t offset, uint64_t version);
  Step follow_hand_over();

  // relay_publish.cpp: Redis.
  Step flush(uint64_t mark);
  Step publish(std::vector<Publication>& batch);
  Step recover();
  Step new_epoch(const std::string& why);
  Step resync(uint64_t mark, const char* why);
  Step resync_keys(uint64_t version);

  RelayOptions options_;
  Status status_;
  PoolSource pool_;
  RedisLink link_;
  Publisher publisher_;
  zim_shm_pool_cursor_t cursor_{};
  uint64_t mark_ = 0;  // every change up to it is in Redis
  std::vector<Publication> batch_;
  std::map<uint64_t, uint64_t> published_;  // pool id to the version Redis holds
  // (table id, key) to the pool id its key leads to in Redis
  std::map<std::pair<uint32_t, uint64_t>, uint64_t> published_keys_;
  uint64_t published_count_ = 0;
  bool filled_ = false;  // the epoch's objects all published, and told
};

}  // namespace zim_relay
