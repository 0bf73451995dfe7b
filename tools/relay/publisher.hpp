// SPDX-License-Identifier: Apache-2.0
// Writes a pool's publications into Redis: each batch in one MULTI/EXEC that
// first reads the epoch back, so that a Redis that came back empty is found
// by the very batch that went into it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "publication.hpp"
#include "redis_link.hpp"

namespace zim_relay {

// The epoch Redis holds, against the relay's.
enum class EpochState { ours, absent, other };

class Publisher {
 public:
  Publisher(RedisLink& link, const std::string& pool, uint64_t stream_bound)
      : link_(link),
        keys_(pool),
        stream_bound_(std::to_string(stream_bound)),
        epoch_key_(keys_.epoch()),
        changes_key_(keys_.changes()) {}

  // Removes every key of the pool and sets `epoch` and the pool's identity
  // (`source`): what the mirror held is gone, and the relay publishes every
  // object again.
  Outcome reset(uint64_t epoch, uint64_t source, std::string& message);

  // Tells mirrors that every object of the epoch is in the hashes.
  Outcome mark_filled(std::string& message);

  // The epoch Redis holds now.
  Outcome read_epoch(EpochState& state, std::string& message);

  // Whether a batch goes into the stream as well as the hashes. The fill of
  // a new epoch goes into the hashes only: mirrors load an epoch from the
  // hashes once it is filled, and read the stream from there on.
  enum class Entries { with, without };

  // One transaction for the batch; `state` tells whether it went into the
  // keys of this relay's epoch.
  Outcome publish(const std::vector<Publication>& batch, Entries entries, EpochState& state,
                  std::string& message);

  uint64_t epoch() const { return epoch_; }
  const PoolKeys& keys() const { return keys_; }

 private:
  EpochState epoch_state(const Reply& reply) const;
  // Appends a command of the transaction, counted for its EXEC's reply.
  void queue(std::initializer_list<std::string_view> words);
  void queue_words();  // words_, as one command
  // last: the batch's last publication, whose entry trims the stream.
  void queue_entry(const Publication& p, const std::string* value, bool last);
  void queue_publication(const Publication& p, Entries entries, bool last);
  size_t queue_keys(const std::vector<Publication>& batch, size_t at);
  size_t queue_objects(const std::vector<Publication>& batch, size_t at, Entries entries);
  void queue_layout(const Publication& p);
  void queue_table(uint32_t table_id);
  // A table's key, made once.
  const std::string& table_key(std::map<uint32_t, std::string>& known, uint32_t table_id,
                               std::string (PoolKeys::*key)(uint32_t) const) const;

  RedisLink& link_;
  PoolKeys keys_;
  std::string stream_bound_;
  std::string epoch_key_, changes_key_;
  std::map<uint32_t, std::string> objects_keys_, index_keys_;
  uint64_t epoch_ = 0;
  // The transaction being made: its commands between MULTI and EXEC, and
  // the layouts and table ids it publishes first.
  size_t queued_ = 0;
  std::set<uint64_t> batch_fingerprints_;
  std::set<uint32_t> batch_tables_;
  // Kept from batch to batch with their buffers.
  std::vector<DecimalText> key_texts_;
  std::vector<std::string> values_;
  std::vector<std::string_view> words_;
  std::vector<Reply> replies_;
  // Published in this epoch: the layout records and the table ids in the set
  // of tables.
  std::set<uint64_t> fingerprints_;
  std::set<uint32_t> tables_;
};

}  // namespace zim_relay
