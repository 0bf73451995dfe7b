// SPDX-License-Identifier: Apache-2.0
// The relay's loop over the pool's feed: each change read becomes a
// publication of its object's current version, published a batch at a time.
#include "relay.hpp"

#include <zim/sim/pool_upgrade.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "stop_signal.hpp"

namespace zim_relay {
namespace {

constexpr uint64_t kTickUs = 100'000;  // how often the pool's name is looked at
constexpr uint32_t kBatch = 512;       // changes read, and objects published, at once

bool is_object_change(uint32_t kind) {
  return kind == ZIM_SHM_POOL_CHANGE_CREATED || kind == ZIM_SHM_POOL_CHANGE_CHANGED ||
         kind == ZIM_SHM_POOL_CHANGE_MOVED;
}

bool changes_layouts(uint32_t kind) {
  return kind == ZIM_SHM_POOL_CHANGE_LAYOUT_CHANGED ||
         kind == ZIM_SHM_POOL_CHANGE_MIGRATION_BEGUN ||
         kind == ZIM_SHM_POOL_CHANGE_MIGRATION_FINISHED;
}

}  // namespace

Relay::Relay(const RelayOptions& options, std::ostream& out)
    : options_(options),
      status_(out, options.redis.json),
      pool_(options.pool),
      publisher_(link_, options.pool, options.stream_bound) {}

int Relay::run() {
  std::string error;
  Step step;
  if (!pool_.open(error) || zim_shm_pool_follow(&cursor_) != 0) {
    step =
        end(kPoolFailed, "the pool " + zim_codec::quote(options_.pool) +
                             " cannot be followed: " + (error.empty() ? strerror(errno) : error));
  } else {
    status_.line("start", {{"pool", options_.pool}, {"redis", options_.redis.address.text}});
    step = connect_with_backoff(link_, options_.redis, status_);
    if (step.kind == Step::go) step = new_epoch("the relay started");
  }
  while (step.kind != Step::end) {
    step = step.kind == Step::recover ? recover() : follow();
  }
  pool_.close();
  status_.line("end", {{"why", step.why}});
  return step.status;
}

// Reads the feed until something ends the loop or asks for a recovery.
Relay::Step Relay::follow() {
  for (;;) {
    if (const int signal = stop_signal()) {
      return end(kEnded, signal == SIGINT ? "stopped by SIGINT" : "stopped by SIGTERM");
    }
    zim_shm_pool_change_t changes[kBatch];
    uint64_t lapped = 0;
    const int n = zim_shm_pool_changes(&cursor_, changes, kBatch, &lapped);
    if (n < 0)
      return end(kPoolFailed, std::string("the pool's feed cannot be read: ") + strerror(errno));
    if (lapped != 0) {
      status_.line("lapped", {{"first_unknown", lapped}, {"mark", mark_}});
      if (Step s = resync(mark_, "lapped"); s.kind != Step::go) return s;
      continue;
    }
    for (int i = 0; i < n; ++i) {
      bool moved_cursor = false;
      if (Step s = take(changes[i], moved_cursor); s.kind != Step::go) return s;
      if (moved_cursor) break;  // a resync or a hand-over read on past the rest
    }
    if (n > 0 && !batch_.empty()) {
      if (Step s = flush(cursor_.next - 1); s.kind != Step::go) return s;
    } else if (n > 0) {
      mark_ = cursor_.next - 1;
    }
    if (n == 0 && zim_shm_pool_wait(&cursor_, kTickUs) == 0 && pool_.destroyed()) {
      return end(kEnded, "the pool was destroyed");
    }
  }
}

// One change of the feed. An object is published at the version its change
// gave it: if it has moved on, a later change of the feed tells the newer
// version, so the stream's versions only grow.
Relay::Step Relay::take(const zim_shm_pool_change_t& c, bool& moved_cursor) {
  const uint64_t version = 2 * c.sequence;
  if (is_object_change(c.kind)) {
    add_object(c.kind == ZIM_SHM_POOL_CHANGE_MOVED ? c.key : c.offset, version);
  } else if (c.kind == ZIM_SHM_POOL_CHANGE_RETIRED && published_.count(c.pool_id)) {
    batch_.push_back(retirement(c.pool_id, version, c.table_id));
  } else if (c.kind == ZIM_SHM_POOL_CHANGE_INDEXED || c.kind == ZIM_SHM_POOL_CHANGE_UNINDEXED) {
    // Every one: a key may be put and removed within one batch.
    batch_.push_back(
        index_change(c.kind == ZIM_SHM_POOL_CHANGE_INDEXED, c.table_id, c.key, c.pool_id, version));
  } else if (changes_layouts(c.kind)) {
    std::string ignored;  // a record that cannot be read makes its objects unusable, told then
    pool_.reload_records(ignored);
  } else if (c.kind == ZIM_SHM_POOL_CHANGE_LOST || c.kind == ZIM_SHM_POOL_CHANGE_HANDED_OVER) {
    if (Step s = flush(c.sequence - 1); s.kind != Step::go) return s;
    moved_cursor = true;
    if (c.kind == ZIM_SHM_POOL_CHANGE_HANDED_OVER) {
      // What the successor changed while the relay was away is found by versions.
      if (Step s = follow_hand_over(); s.kind != Step::go) return s;
      return resync(mark_, "the pool was handed over");
    }
    status_.line("lost", {{"sequence", c.sequence}});
    return resync(mark_, "a change was lost");
  }
  return go();
}

void Relay::add_object(uint64_t offset, uint64_t version) {
  Publication p;
  std::string why;
  const ObjectRead read = pool_.read(offset, version, p, why);
  if (read == ObjectRead::unusable) {
    status_.line("skipped", {{"offset", offset}, {"version", version}, {"why", why}});
  }
  if (read != ObjectRead::copied) return;
  const auto held = published_.find(p.pool_id);
  if (held == published_.end() || held->second < p.version) batch_.push_back(std::move(p));
}

// The owner handed the pool over: the successor's migration needs every
// other process to unmap it; the cursor reads on once the pool is open again.
Relay::Step Relay::follow_hand_over() {
  pool_.close();
  status_.line("handed_over", {{"pool", options_.pool}});
  for (;;) {
    if (stop_signal() != 0) return end(kEnded, "stopped while the pool was handed over");
    if (zim_shm_pool_wait_attachable(options_.pool.c_str(), kTickUs) == 0) break;
    if (errno != ETIMEDOUT) {
      return end(kPoolFailed, std::string("the pool did not open again after its hand-over: ") +
                                  strerror(errno));
    }
  }
  std::string error;
  if (!pool_.open(error)) {
    return end(kPoolFailed, "the pool cannot be followed after its hand-over: " + error);
  }
  status_.line("attached", {{"pool", options_.pool}});
  return go();
}

int run_relay(const RelayOptions& options, std::ostream& out) {
  catch_stop_signals();
  Relay relay(options, out);
  return relay.run();
}

}  // namespace zim_relay
