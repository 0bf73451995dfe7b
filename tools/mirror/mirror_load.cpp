// SPDX-License-Identifier: Apache-2.0
// Loading the hashes: every object the source holds, applied when newer than
// the version recorded here, every local object the hashes lack retired, and
// the index made equal to the keys. Nothing is dropped first, so a load
// costs the reads and only the changes.
#include <algorithm>
#include <unordered_set>

#include "mirror.hpp"
#include "stop_signal.hpp"

namespace zim_mirror {
namespace {

constexpr uint64_t kProgressEvery = 4096;  // objects between two progress lines

}  // namespace

// Objects this pool holds are rewritten in place as the scan meets them;
// new ones are made after the scan in ascending pool id order: the pool
// gives an id above every id it has given at once, but checks any other
// against every block it holds, and the hash's order is no order.
Mirror::Step Mirror::load_objects(uint32_t table_id, std::unordered_set<uint64_t>& seen,
                                  uint64_t& count) {
  std::string cursor = "0", message;
  HashItems items;
  std::vector<Change> fresh;
  const auto applied = [&](const Change& c) {
    Step s = apply_object(c);
    if (s.kind == Step::go && ++count % kProgressEvery == 0) {
      status_.line("loading", {{"objects", count}, {"table_id", table_id}});
    }
    return s;
  };
  do {
    if (zim_relay::stop_signal() != 0) return end(kEnded, "stopped during a load");
    if (Outcome o = source_.scan(source_.keys().objects(table_id), cursor, items, message);
        o != Outcome::done) {
      return redis_failed(o, message);
    }
    Change c;  // its image's buffer kept from object to object
    std::string why;
    for (const auto& [field, value] : items) {
      if (!read_object_value(table_id, field, value, c, why)) {
        status_.line("skipped", {{"why", why}});
        continue;
      }
      c.epoch = epoch_;
      seen.insert(c.pool_id);
      if (!pool_.holds(c.pool_id)) {
        fresh.push_back(std::move(c));
      } else if (Step s = applied(c); s.kind != Step::go) {
        return s;
      }
    }
  } while (cursor != "0");
  // stable: a field the scan returned twice keeps its order, each version
  // applied only when above the one held
  std::stable_sort(fresh.begin(), fresh.end(),
                   [](const Change& a, const Change& b) { return a.pool_id < b.pool_id; });
  for (const Change& c : fresh) {
    if (zim_relay::stop_signal() != 0) return end(kEnded, "stopped during a load");
    if (Step s = applied(c); s.kind != Step::go) return s;
  }
  return go();
}

Mirror::Step Mirror::load_keys(uint32_t table_id, IndexKeys& keys) {
  std::string cursor = "0", message;
  HashItems items;
  do {
    if (Outcome o = source_.scan(source_.keys().index_keys(table_id), cursor, items, message);
        o != Outcome::done) {
      return redis_failed(o, message);
    }
    for (const auto& [field, value] : items) {
      uint64_t key = 0, pool_id = 0;
      if (!zim_relay::read_decimal(field, key) || !zim_relay::read_decimal(value, pool_id)) {
        status_.line("skipped", {{"why", "a key of table id " + std::to_string(table_id) +
                                             " that is no number: " + zim_codec::quote(field)}});
        continue;
      }
      keys[{table_id, key}] = pool_id;
    }
  } while (cursor != "0");
  return go();
}

// The stream's last id is read before the hashes: what follows it comes
// again from the stream, and an entry the hashes already held is dropped by
// its version. A trim during the load is found by the next read, which loads
// once more from a later id; the position never goes back.
Mirror::Step Mirror::load(const char* why) {
  std::string message;
  SourceHead head;
  std::vector<uint32_t> tables;
  if (Outcome o = source_.head(head, message); o != Outcome::done) return redis_failed(o, message);
  if (!head.filled) {  // the keys went, or the relay is filling them: read the epoch again
    zim_relay::sleep_unless_stopped(100);
    return go();
  }
  if (Outcome o = source_.tables(tables, message); o != Outcome::done)
    return redis_failed(o, message);
  MirrorState& state = pool_.state();
  // The versions held are another pool's sequence: none of them says which
  // object is newer, so every object of the hashes is taken.
  const bool another_source = head.source != state.source();
  // What Redis holds tells the cause; `why` only when it does not (a trim).
  // A relay's new epoch also empties the stream, which a mirror that follows
  // it may find first.
  const uint64_t held = state.position().epoch;
  if (held == 0) {
    why = "first load";
  } else if (another_source) {
    why = "another source pool";
  } else if (held != head.epoch) {
    why = "the epoch changed";
  }
  status_.line("load", {{"why", why},
                        {"epoch", zim_relay::hex64(head.epoch)},
                        {"source", zim_relay::hex64(head.source)},
                        {"versions_kept", !another_source},
                        {"from", head.last.text()}});
  epoch_ = head.epoch;
  state.begin();
  if (another_source) state.forget_versions();
  // Sized for what the pool holds, which a load mostly finds again: a load
  // of a million objects would rehash them a dozen times.
  std::unordered_set<uint64_t> seen(pool_.object_count());
  IndexKeys keys(pool_.key_count());
  uint64_t count = 0;
  Step step = go();
  for (const uint32_t table_id : tables) {
    if ((step = load_objects(table_id, seen, count)).kind != Step::go) break;
    if ((step = load_keys(table_id, keys)).kind != Step::go) break;
  }
  if (step.kind == Step::go) step = finish_load(head, seen, keys, count);
  state.end();
  return step;
}

// Hashes of another epoch, or emptied meanwhile, do not tell which objects
// are gone: those are retired after a load within one epoch only.
Mirror::Step Mirror::finish_load(const SourceHead& head, const std::unordered_set<uint64_t>& seen,
                                 const IndexKeys& keys, uint64_t count) {
  std::string message;
  SourceHead after;
  if (Outcome o = source_.head(after, message); o != Outcome::done) return redis_failed(o, message);
  if (after.epoch != head.epoch || after.source != head.source || !after.filled) {
    synced_ = false;
    status_.line("load", {{"why", "the epoch changed during the load: loading again"}});
    return go();
  }
  MirrorState& state = pool_.state();
  uint64_t retired = 0;
  for (const uint64_t id : pool_.pool_ids()) {
    if (seen.count(id)) continue;
    // Retired at the source at a version not told: the one held stands for it.
    if (const auto table_id = pool_.retire(id))
      state.record(id, *table_id, state.version_of(id), true);
    ++retired;
  }
  pool_.set_keys(keys);
  // The source before the position: a mirror killed between the two loads
  // again, comparing versions of the source it now holds.
  state.set_source(head.source);
  const StreamId& start = head.last;
  state.set_position({head.epoch, start.ms, start.seq});
  state.count_load();
  position_ = start;
  synced_ = resumed_ = true;
  status_.line("loaded", {{"objects", count},
                          {"retired", retired},
                          {"keys", keys.size()},
                          {"applied", applied_},
                          {"position", start.text()}});
  return go();
}

}  // namespace zim_mirror
