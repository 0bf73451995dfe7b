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

void Publisher::append_object(const Publication& p, std::vector<Command>& commands,
                              std::set<uint64_t>& new_fingerprints,
                              std::set<uint32_t>& new_tables) const {
  if (!fingerprints_.count(p.fingerprint) && new_fingerprints.insert(p.fingerprint).second) {
    commands.push_back({"HSETNX", keys_.layouts(), hex64(p.fingerprint), p.layout_record});
  }
  if (!tables_.count(p.table_id) && new_tables.insert(p.table_id).second) {
    commands.push_back({"SADD", keys_.tables(), std::to_string(p.table_id)});
  }
  commands.push_back(
      {"HSET", keys_.objects(p.table_id), std::to_string(p.pool_id), object_value(p)});
}

Outcome Publisher::publish(const std::vector<Publication>& batch, EpochState& state,
                           std::string& message) {
  std::vector<Command> commands{{"MULTI"}, {"GET", keys_.epoch()}};
  std::set<uint64_t> new_fingerprints;
  std::set<uint32_t> new_tables;
  for (const Publication& p : batch) {
    Command xadd{"XADD", keys_.changes(), "MAXLEN", "~", stream_bound_, "*"};
    const std::vector<std::string> fields = entry_fields(p, epoch_);
    xadd.insert(xadd.end(), fields.begin(), fields.end());
    commands.push_back(std::move(xadd));
    switch (p.kind) {
      case Publication::retired:
        commands.push_back({"HDEL", keys_.objects(p.table_id), std::to_string(p.pool_id)});
        break;
      case Publication::indexed:
        if (!tables_.count(p.table_id) && new_tables.insert(p.table_id).second) {
          commands.push_back({"SADD", keys_.tables(), std::to_string(p.table_id)});
        }
        commands.push_back({"HSET", keys_.index_keys(p.table_id), std::to_string(p.key),
                            std::to_string(p.pool_id)});
        break;
      case Publication::unindexed:
        commands.push_back({"HDEL", keys_.index_keys(p.table_id), std::to_string(p.key)});
        break;
      case Publication::object:
        append_object(p, commands, new_fingerprints, new_tables);
        break;
    }
  }
  commands.push_back({"EXEC"});
  std::vector<Reply> replies;
  const Outcome o = link_.run(commands, replies, message);
  if (o != Outcome::done) return o;
  const Reply& results = replies.back();
  if (results.kind != Reply::kArray || results.items.size() != commands.size() - 2) {
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
