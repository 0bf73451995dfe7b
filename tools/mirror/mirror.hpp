// SPDX-License-Identifier: Apache-2.0
// The mirror: keeps a local versioned pool equal to the pool a relay
// publishes into Redis. It loads the hashes when it has nothing of the
// relay's epoch or its position was trimmed away, then follows the stream,
// applying per source pool id only newer versions; the position and the
// versions it applied are recorded in its pool (mirror_state.hpp).
#pragma once

#include <cstdint>
#include <ostream>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "codec/printable.hpp"
#include "layout_book.hpp"
#include "local_pool.hpp"
#include "redis_link.hpp"
#include "redis_source.hpp"
#include "status.hpp"
#include "tool_loop.hpp"

namespace zim_mirror {

struct MirrorOptions {
  std::string source;  // the source pool's name, which its keys in Redis carry
  LocalOptions local;
  zim_relay::RedisOptions redis;
};

// Exit statuses, as the relay's (tool_loop.hpp).
using zim_relay::kEnded;
using zim_relay::kPoolFailed;
using zim_relay::kRefused;

int run_mirror(const MirrorOptions& options, std::ostream& out);

class Mirror : private zim_relay::StepLoop {
 public:
  Mirror(const MirrorOptions& options, std::ostream& out);
  int run();

 private:
  Step redis_failed(Outcome o, const std::string& message);
  bool wait_for_clients(unsigned attempt);

  // mirror.cpp: Redis and the stream.
  Step recover();
  Step trimmed_past(const StreamId& first, bool& trimmed);
  Step follow();
  Step catch_up();
  Step apply_entries(const std::vector<Reply>& entries);

  // mirror_load.cpp: the hashes.
  Step load(const char* why);
  Step load_objects(uint32_t table_id, std::unordered_set<uint64_t>& seen, uint64_t& count);
  Step load_keys(uint32_t table_id, IndexKeys& keys);
  Step finish_load(const SourceHead& head, const std::unordered_set<uint64_t>& seen,
                   const IndexKeys& keys, uint64_t count);

  // mirror_apply.cpp: one change into the local pool.
  Step apply(const Change& c);
  Step apply_object(const Change& c);
  Step layout_of(const Change& c, const SourceLayout*& layout);

  MirrorOptions options_;
  zim_relay::Status status_;
  LocalPool pool_;
  zim_relay::RedisLink link_;
  RedisSource source_;
  LayoutBook layouts_;
  bool synced_ = false;   // the position is of the epoch Redis holds
  bool resumed_ = false;  // told once: the position the pool recorded holds
  uint64_t epoch_ = 0;
  StreamId position_;
  std::set<uint32_t> stopped_;  // table ids whose layout is not mirrored, told once
  uint64_t applied_ = 0, dropped_ = 0;
};

}  // namespace zim_mirror
