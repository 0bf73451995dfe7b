// SPDX-License-Identifier: Apache-2.0
// The relay's side of Redis: publishing batches, the epoch, and resyncing
// by versions after a lap, a lost change, a hand-over or a Redis that came
// back.
#include <sys/random.h>
#include <zim/sim/pool_image.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "relay.hpp"
#include "stop_signal.hpp"

namespace zim_relay {
namespace {

constexpr size_t kPublishBatch = 512;  // objects in one transaction

uint64_t random_epoch() {
  uint64_t epoch = 0;
  while (epoch == 0) {
    if (getrandom(&epoch, sizeof epoch, 0) != sizeof epoch) epoch = 0;
  }
  return epoch;
}

}  // namespace

// After Redis failed: connect again, then find out what Redis still holds.
Relay::Step Relay::recover() {
  batch_.clear();
  if (Step s = connect_with_backoff(link_, options_.redis, status_); s.kind != Step::go) return s;
  std::string message;
  EpochState state = EpochState::ours;
  const Outcome o = publisher_.read_epoch(state, message);
  if (o == Outcome::away) return recovering();
  if (o == Outcome::refused) return end(kRefused, message);
  status_.line("back", {{"redis", options_.redis.address.text}});
  if (state == EpochState::absent) return new_epoch("Redis came back without the pool's keys");
  if (state == EpochState::other) {
    return end(kRefused, "another relay publishes this pool: Redis holds another epoch");
  }
  // A transaction cut off may or may not have run: publish again what
  // followed the last one confirmed.
  return resync(mark_, "Redis came back");
}

// Every key of the pool afresh, and every object of the pool into them.
Relay::Step Relay::new_epoch(const std::string& why) {
  std::string message;
  // Versions are the pool's own sequence: its identity tells mirrors whether
  // the versions they hold are of it, or of a pool made before under its name.
  const uint64_t source = zim_shm_pool_identity();
  const Outcome o = publisher_.reset(random_epoch(), source, message);
  if (o == Outcome::away) return status_.line("away", {{"message", message}}), recovering();
  if (o == Outcome::refused) return end(kRefused, message);
  published_.clear();
  published_keys_.clear();
  filled_ = false;
  status_.line("epoch",
               {{"epoch", hex64(publisher_.epoch())}, {"source", hex64(source)}, {"why", why}});
  return resync(0, "new epoch");
}

Relay::Step Relay::publish(std::vector<Publication>& batch) {
  if (batch.empty()) return go();
  std::string message;
  EpochState state = EpochState::ours;
  const Outcome o = publisher_.publish(
      batch, filled_ ? Publisher::Entries::with : Publisher::Entries::without, state, message);
  if (o == Outcome::away) return status_.line("away", {{"message", message}}), recovering();
  if (o == Outcome::refused) return end(kRefused, message);
  if (state == EpochState::absent) return new_epoch("Redis lost the pool's keys");
  if (state == EpochState::other) {
    return end(kRefused, "another relay publishes this pool: Redis holds another epoch");
  }
  uint64_t retired = 0, keys = 0;
  for (const Publication& p : batch) {
    if (p.kind == Publication::retired) {
      published_.erase(p.pool_id), ++retired;
    } else if (p.kind == Publication::object) {
      published_[p.pool_id] = p.version;
    } else if (p.kind == Publication::indexed) {
      published_keys_[{p.table_id, p.key}] = p.pool_id, ++keys;
    } else {
      published_keys_.erase({p.table_id, p.key}), ++keys;
    }
  }
  published_count_ += batch.size();
  status_.line("published", {{"objects", batch.size() - retired - keys},
                             {"retired", retired},
                             {"keys", keys},
                             {"last_version", batch.back().version},
                             {"total", published_count_}});
  batch.clear();
  return go();
}

// The batch of the feed's changes up to `mark`.
Relay::Step Relay::flush(uint64_t mark) {
  if (Step s = publish(batch_); s.kind != Step::go) return s;
  mark_ = mark;
  return go();
}

// Every object changed or retired after `mark`, in version order, below the
// cursor's next sequence N: what comes from N on, the cursor reads.
Relay::Step Relay::resync(uint64_t mark, const char* why) {
  batch_.clear();
  std::unordered_map<uint64_t, zim_shm_pool_object_version_t> found;  // by pool id
  const auto visit = [](const zim_shm_pool_object_version_t* o, void* context) {
    auto& into =
        *static_cast<std::unordered_map<uint64_t, zim_shm_pool_object_version_t>*>(context);
    auto [at, fresh] = into.emplace(o->pool_id, *o);
    if (!fresh && at->second.version < o->version) at->second = *o;
    return stop_signal() != 0 ? 1 : 0;
  };
  int under_way;
  while ((under_way = zim_shm_pool_changed_since(mark, &cursor_, visit, &found)) != 0) {
    if (under_way < 0 && errno == ECANCELED) return end(kEnded, "stopped during a resync");
    if (under_way < 0)
      return end(kPoolFailed, std::string("the pool cannot be resynced: ") + strerror(errno));
    sleep_unless_stopped(10);  // a write past the bound: walk again once it may have ended
  }
  const uint64_t bound = 2 * cursor_.next;
  std::vector<zim_shm_pool_object_version_t> objects;
  for (const auto& [id, o] : found) {
    if (o.version < bound &&
        (o.kind == ZIM_SHM_POOL_CHANGE_RETIRED ? published_.count(id) != 0
                                               : o.state == ZIM_SHM_POOL_OBJECT_WHOLE)) {
      objects.push_back(o);
    }
  }
  std::sort(objects.begin(), objects.end(),
            [](const auto& a, const auto& b) { return a.version < b.version; });
  for (const zim_shm_pool_object_version_t& o : objects) {
    if (o.kind == ZIM_SHM_POOL_CHANGE_RETIRED) {
      batch_.push_back(retirement(o.pool_id, o.version, o.table_id));
    } else {
      add_object(o.offset, o.version);
    }
    if (batch_.size() < kPublishBatch) continue;
    if (Step s = publish(batch_); s.kind != Step::go) return s;
  }
  if (Step s = publish(batch_); s.kind != Step::go) return s;
  if (Step s = resync_keys(2 * (cursor_.next - 1)); s.kind != Step::go) return s;
  if (!filled_) {
    std::string message;
    const Outcome o = publisher_.mark_filled(message);
    if (o == Outcome::away) return status_.line("away", {{"message", message}}), recovering();
    if (o == Outcome::refused) return end(kRefused, message);
    filled_ = true;
  }
  mark_ = cursor_.next - 1;
  status_.line("resynced", {{"why", why}, {"objects", objects.size()}, {"next", cursor_.next}});
  return go();
}

// The index's changes are not found by versions: its keys as they stand now,
// against those Redis holds, are published as the differences. A change
// after the cursor's next sequence comes again from the feed, in order.
Relay::Step Relay::resync_keys(uint64_t version) {
  std::vector<zim_shm_pool_index_entry_t> entries(64);
  for (;;) {
    const int64_t n = zim_shm_pool_index_list(entries.data(), entries.size());
    if (n < 0) return end(kPoolFailed, std::string("the index cannot be read: ") + strerror(errno));
    const bool whole = static_cast<uint64_t>(n) <= entries.size();
    entries.resize(static_cast<size_t>(n));
    if (whole) break;
  }
  // Both in key order, walked side by side: an index of a million keys is
  // compared in one pass, without a tree of its own.
  const auto key_of = [](const zim_shm_pool_index_entry_t& e) {
    return std::pair<uint32_t, uint64_t>{e.table_id, e.key};
  };
  std::sort(entries.begin(), entries.end(),
            [&](const auto& a, const auto& b) { return key_of(a) < key_of(b); });
  auto held = published_keys_.begin();
  for (const zim_shm_pool_index_entry_t& e : entries) {
    for (; held != published_keys_.end() && held->first < key_of(e); ++held) {
      batch_.push_back(
          index_change(false, held->first.first, held->first.second, held->second, version));
    }
    const bool same = held != published_keys_.end() && held->first == key_of(e);
    if (!same || held->second != e.pool_id)
      batch_.push_back(index_change(true, e.table_id, e.key, e.pool_id, version));
    if (same) ++held;
  }
  for (; held != published_keys_.end(); ++held) {
    batch_.push_back(
        index_change(false, held->first.first, held->first.second, held->second, version));
  }
  for (size_t at = 0; at < batch_.size(); at += kPublishBatch) {
    std::vector<Publication> part(
        batch_.begin() + static_cast<std::ptrdiff_t>(at),
        batch_.begin() + static_cast<std::ptrdiff_t>(std::min(at + kPublishBatch, batch_.size())));
    if (Step s = publish(part); s.kind != Step::go) return s;
  }
  batch_.clear();
  return go();
}

}  // namespace zim_relay
