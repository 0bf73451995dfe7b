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

Outcome Publisher::reset(uint64_t epoch, std::string& message) {
  std::vector<Reply> replies;
  Outcome o = link_.run({{"SMEMBERS", keys_.tables()}}, replies, message);
  if (o != Outcome::done) return o;
  Command del{"DEL",          keys_.changes(), keys_.layouts(),
              keys_.tables(), keys_.epoch(),   keys_.filled()};
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
  o = link_.run({{"MULTI"}, del, {"SET", keys_.epoch(), hex64(epoch)}, {"EXEC"}}, replies, message);
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

void Publisher::append_object(const Publication& p, std::set<uint64_t>& new_fingerprints,
                              std::set<uint32_t>& new_tables, size_t& queued) {
  if (!fingerprints_.count(p.fingerprint) && new_fingerprints.insert(p.fingerprint).second) {
    link_.append({"HSETNX", keys_.layouts(), HexText(p.fingerprint).view(), p.layout_record});
    ++queued;
  }
  append_table(p.table_id, new_tables, queued);
  link_.append({"HSET", table_key(objects_keys_, p.table_id, &PoolKeys::objects),
                DecimalText(p.pool_id).view(), value_});
  ++queued;
}

void Publisher::append_table(uint32_t table_id, std::set<uint32_t>& new_tables, size_t& queued) {
  if (tables_.count(table_id) || !new_tables.insert(table_id).second) return;
  link_.append({"SADD", keys_.tables(), DecimalText(table_id).view()});
  ++queued;
}

const std::string& Publisher::table_key(std::map<uint32_t, std::string>& known, uint32_t table_id,
                                        std::string (PoolKeys::*key)(uint32_t) const) const {
  auto at = known.find(table_id);
  if (at == known.end()) at = known.emplace(table_id, (keys_.*key)(table_id)).first;
  return at->second;
}

// One publication's commands: its stream entry (unless the epoch fills),
// then its hash.
void Publisher::append_publication(const Publication& p, Entries entries,
                                   std::set<uint64_t>& new_fingerprints,
                                   std::set<uint32_t>& new_tables, size_t& queued) {
  // An object's value goes into the entry and the hash from one buffer.
  if (p.kind == Publication::object) put_object_value(p, value_);
  if (entries == Entries::with) {
    const EntryHead head(p, epoch_);
    if (p.kind == Publication::object) {
      link_.append({"XADD", changes_key_, "MAXLEN", "~", stream_bound_, "*", "head", head.view(),
                    "object", value_});
    } else {
      link_.append({"XADD", changes_key_, "MAXLEN", "~", stream_bound_, "*", "head", head.view()});
    }
    ++queued;
  }
  switch (p.kind) {
    case Publication::retired:
      link_.append({"HDEL", table_key(objects_keys_, p.table_id, &PoolKeys::objects),
                    DecimalText(p.pool_id).view()});
      ++queued;
      break;
    case Publication::indexed:
      append_table(p.table_id, new_tables, queued);
      link_.append({"HSET", table_key(index_keys_, p.table_id, &PoolKeys::index_keys),
                    DecimalText(p.key).view(), DecimalText(p.pool_id).view()});
      ++queued;
      break;
    case Publication::unindexed:
      link_.append({"HDEL", table_key(index_keys_, p.table_id, &PoolKeys::index_keys),
                    DecimalText(p.key).view()});
      ++queued;
      break;
    case Publication::object:
      append_object(p, new_fingerprints, new_tables, queued);
      break;
  }
}

// Every word of the transaction goes from the publications' own bytes into
// the connection's buffer: nothing is copied on the way.
Outcome Publisher::publish(const std::vector<Publication>& batch, Entries entries,
                           EpochState& state, std::string& message) {
  size_t queued = 1;  // the GET of the epoch
  link_.append({"MULTI"});
  link_.append({"GET", epoch_key_});
  std::set<uint64_t> new_fingerprints;
  std::set<uint32_t> new_tables;
  for (const Publication& p : batch)
    append_publication(p, entries, new_fingerprints, new_tables, queued);
  link_.append({"EXEC"});
  const Outcome o = link_.collect(replies_, message);
  if (o != Outcome::done) return o;
  const Reply& results = replies_.back();
  if (results.kind != Reply::kArray || results.items.size() != queued) {
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
    fingerprints_.insert(new_fingerprints.begin(), new_fingerprints.end());
    tables_.insert(new_tables.begin(), new_tables.end());
  }
  return Outcome::done;
}

}  // namespace zim_relay
