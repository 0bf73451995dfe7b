// SPDX-License-Identifier: Apache-2.0
// The transactions: a reset, and a batch of publications.
#include "publisher.hpp"

#include <zim/sim/shm_pool.h>

#include "codec/printable.hpp"

namespace zim_relay {
namespace {

// The table ids a pool's set of tables may name: a pool has no others.
constexpr size_t kMaxTables = ZIM_SHM_POOL_MAX_TABLE_ID + 1;

}  // namespace

Outcome Publisher::reset(uint64_t epoch, uint64_t source, std::string& message) {
  std::vector<Reply> replies;
  Outcome o = link_.run({{"SMEMBERS", keys_.tables()}}, replies, message);
  if (o != Outcome::done) return o;
  Command del{"DEL",         keys_.changes(), keys_.layouts(), keys_.tables(),
              keys_.epoch(), keys_.filled(),  keys_.source()};
  const Reply& members = replies[0];
  if (members.kind != Reply::kArray || members.items.size() > kMaxTables) {
    message = "Redis's set " + zim_codec::quote(keys_.tables()) + " is not a set of table ids";
    return Outcome::refused;
  }
  for (const Reply& member : members.items) {
    uint64_t id = 0;
    if (member.kind != Reply::kString || !read_decimal(member.text, id) ||
        id > ZIM_SHM_POOL_MAX_TABLE_ID) {
      message = "Redis's set " + zim_codec::quote(keys_.tables()) + " holds " +
                zim_codec::quote(member.text) + ", not a table id";
      return Outcome::refused;
    }
    del.push_back(keys_.objects(static_cast<uint32_t>(id)));
    del.push_back(keys_.index_keys(static_cast<uint32_t>(id)));
  }
  o = link_.run({{"MULTI"},
                 del,
                 {"SET", keys_.source(), hex64(source)},
                 {"SET", keys_.epoch(), hex64(epoch)},
                 {"EXEC"}},
                replies, message);
  if (o != Outcome::done) return o;
  epoch_ = epoch;
  fingerprints_.clear();
  tables_.clear();
  return Outcome::done;
}

Outcome Publisher::mark_filled(std::string& message) {
  std::vector<Reply> replies;
  return link_.run({{"SET", keys_.filled(), hex64(epoch_)}}, replies, message);
}

EpochState Publisher::epoch_state(const Reply& reply) const {
  if (reply.kind == Reply::kNil) return EpochState::absent;
  uint64_t held = 0;
  return reply.kind == Reply::kString && read_hex64(reply.text, held) && held == epoch_
             ? EpochState::ours
             : EpochState::other;
}

Outcome Publisher::read_epoch(EpochState& state, std::string& message) {
  std::vector<Reply> replies;
  const Outcome o = link_.run({{"GET", keys_.epoch()}}, replies, message);
  if (o == Outcome::done) state = epoch_state(replies[0]);
  return o;
}

void Publisher::queue(std::initializer_list<std::string_view> words) {
  link_.append(words);
  ++queued_;
}

void Publisher::queue_words() {
  link_.append(words_.data(), words_.size());
  ++queued_;
}

// The layout record of an object's fingerprint, once: Redis holds it from
// an earlier batch, or this one sends it.
void Publisher::queue_layout(const Publication& p) {
  if (!fingerprints_.count(p.fingerprint) && batch_fingerprints_.insert(p.fingerprint).second) {
    queue({"HSETNX", keys_.layouts(), HexText(p.fingerprint).view(), p.layout_record});
  }
}

void Publisher::queue_table(uint32_t table_id) {
  if (tables_.count(table_id) || !batch_tables_.insert(table_id).second) return;
  queue({"SADD", keys_.tables(), DecimalText(table_id).view()});
}

const std::string& Publisher::table_key(std::map<uint32_t, std::string>& known, uint32_t table_id,
                                        std::string (PoolKeys::*key)(uint32_t) const) const {
  auto at = known.find(table_id);
  if (at == known.end()) at = known.emplace(table_id, (keys_.*key)(table_id)).first;
  return at->second;
}

// A publication's stream entry, with its object's value when it has one; the
// batch's last entry carries the stream's bound.
void Publisher::queue_entry(const Publication& p, const std::string* value, bool last) {
  const EntryHead head(p, epoch_);
  words_.assign({"XADD", changes_key_});
  if (last) words_.insert(words_.end(), {"MAXLEN", "~", stream_bound_});
  words_.insert(words_.end(), {"*", "head", head.view()});
  if (value != nullptr) words_.insert(words_.end(), {"object", *value});
  queue_words();
}

// The commands of a publication other than an object's (queue_objects):
// its stream entry (unless the epoch fills), then its hash.
void Publisher::queue_publication(const Publication& p, Entries entries, bool last) {
  if (entries == Entries::with) queue_entry(p, nullptr, last);
  switch (p.kind) {
    case Publication::retired:
      queue({"HDEL", table_key(objects_keys_, p.table_id, &PoolKeys::objects),
             DecimalText(p.pool_id).view()});
      break;
    case Publication::indexed:
      queue_table(p.table_id);
      queue({"HSET", table_key(index_keys_, p.table_id, &PoolKeys::index_keys),
             DecimalText(p.key).view(), DecimalText(p.pool_id).view()});
      break;
    case Publication::unindexed:
      queue({"HDEL", table_key(index_keys_, p.table_id, &PoolKeys::index_keys),
             DecimalText(p.key).view()});
      break;
    case Publication::object:
      break;  // never here
  }
}

namespace {

// The end of the run of publications from `at` of its kind and table id.
size_t run_end(const std::vector<Publication>& batch, size_t at) {
  size_t end = at;
  while (end < batch.size() && batch[end].kind == batch[at].kind &&
         batch[end].table_id == batch[at].table_id) {
    ++end;
  }
  return end;
}

}  // namespace

// An epoch that fills publishes without stream entries, so the order within
// a batch does not matter: a run of one table id's keys goes into one HSET,
// and a million of them take a few thousand commands rather than a million.
// A run of one table id's objects goes into one HSET in either case: its
// stream entries, one per publication and in order, come first, and within
// the transaction nobody sees the hash between them; an object that appears
// twice in the run is set twice by the one HSET, its later version last.
// Each returns the index of the run's end.
size_t Publisher::queue_keys(const std::vector<Publication>& batch, size_t at) {
  const size_t end = run_end(batch, at);
  queue_table(batch[at].table_id);
  key_texts_.clear();
  key_texts_.reserve(2 * (end - at));
  for (size_t i = at; i < end; ++i) {
    key_texts_.emplace_back(batch[i].key);
    key_texts_.emplace_back(batch[i].pool_id);
  }
  words_.assign({"HSET", table_key(index_keys_, batch[at].table_id, &PoolKeys::index_keys)});
  for (const DecimalText& text : key_texts_) words_.push_back(text.view());
  queue_words();
  return end;
}

size_t Publisher::queue_objects(const std::vector<Publication>& batch, size_t at, Entries entries) {
  const size_t end = run_end(batch, at);
  queue_table(batch[at].table_id);
  key_texts_.clear();
  key_texts_.reserve(end - at);
  if (values_.size() < end - at) values_.resize(end - at);
  for (size_t i = at; i < end; ++i) {
    queue_layout(batch[i]);
    key_texts_.emplace_back(batch[i].pool_id);
    put_object_value(batch[i], values_[i - at]);
    if (entries == Entries::with) queue_entry(batch[i], &values_[i - at], i + 1 == batch.size());
  }
  words_.assign({"HSET", table_key(objects_keys_, batch[at].table_id, &PoolKeys::objects)});
  for (size_t i = 0; i < end - at; ++i) {
    words_.push_back(key_texts_[i].view());
    words_.push_back(values_[i]);
  }
  queue_words();
  return end;
}

// Every word of the transaction goes from the publications' own bytes into
// the connection's buffer: nothing is copied on the way. Only the batch's
// last stream entry carries the stream's bound (MAXLEN ~): the transaction
// trims once, where a bound on every entry had Redis look at the stream's
// length for each.
Outcome Publisher::publish(const std::vector<Publication>& batch, Entries entries,
                           EpochState& state, std::string& message) {
  batch_fingerprints_.clear();
  batch_tables_.clear();
  queued_ = 0;
  link_.append({"MULTI"});
  queue({"GET", epoch_key_});
  for (size_t i = 0; i < batch.size();) {
    if (entries == Entries::without && batch[i].kind == Publication::indexed) {
      i = queue_keys(batch, i);
    } else if (batch[i].kind == Publication::object) {
      i = queue_objects(batch, i, entries);
    } else {
      queue_publication(batch[i], entries, i + 1 == batch.size());
      ++i;
    }
  }
  link_.append({"EXEC"});
  const Outcome o = link_.collect(replies_, message);
  if (o != Outcome::done) return o;
  const Reply& results = replies_.back();
  if (results.kind != Reply::kArray || results.items.size() != queued_) {
    message = "Redis did not run the transaction";
    return Outcome::refused;
  }
  for (const Reply& r : results.items) {
    if (r.kind == Reply::kError) {
      message = "Redis refused a command of a transaction: " + zim_codec::printable(r.text);
      return Outcome::refused;
    }
  }
  state = epoch_state(results.items[0]);
  if (state == EpochState::ours) {
    fingerprints_.insert(batch_fingerprints_.begin(), batch_fingerprints_.end());
    tables_.insert(batch_tables_.begin(), batch_tables_.end());
  }
  return Outcome::done;
}

}  // namespace zim_relay
