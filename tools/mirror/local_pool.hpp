// SPDX-License-Identifier: Apache-2.0
// The mirror's own versioned pool: made or adopted at start, written by the
// mirror alone, its objects found by the source's pool ids, which they carry,
// and its index kept to the source's keys.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "codec/model.hpp"
#include "mirror_state.hpp"
#include "stream_entry.hpp"

namespace zim_mirror {

struct LocalOptions {
  std::string name;
  uint64_t pool_size = 64u << 20;
  uint64_t feed_capacity = 4096;
  uint64_t index_capacity = 4096;
  uint64_t record_capacity = 65536;  // source pool ids the record holds
};

using IndexKey = std::pair<uint32_t, uint64_t>;  // table id, key
struct IndexKeyHash {
  size_t operator()(const IndexKey& k) const {
    return std::hash<uint64_t>()(k.second * 0x9e3779b97f4a7c15u ^ k.first);
  }
};
// Hashed, not ordered: a load fills them with every key of the source.
using IndexKeys = std::unordered_map<IndexKey, uint64_t, IndexKeyHash>;

// Called while local clients map an adopted pool whose objects need
// converting (their migration refuses until they detach), before each next
// try; false gives up.
using ClientsWait = std::function<bool(unsigned attempt)>;

class LocalPool {
 public:
  // Adopts the pool a mirror left, or makes it; claims its writes; false
  // with the reason (another live mirror holds it, among others).
  bool open(const LocalOptions& options, const ClientsWait& wait, std::string& why);
  // Keeps the pool and its name for the next mirror and local clients.
  void close();

  MirrorState& state() { return state_; }

  // The object of c.pool_id made equal to the change's image, laid out by
  // `layout`: rewritten in place, or made again when its size changed.
  // `received`: the source's record of that layout when this program has
  // none of the table id, for the pool to record with the id's first object.
  bool put_object(const Change& c, const zim_codec::TypeLayout& layout, std::string& why,
                  const std::string* received = nullptr);
  // The table id of the object retired, or nothing when none is held.
  std::optional<uint32_t> retire(uint64_t pool_id);
  bool holds(uint64_t pool_id) const { return objects_.count(pool_id) != 0; }
  size_t object_count() const { return objects_.size(); }
  size_t key_count() const { return keys_.size(); }
  // Every pool id held, in ascending order.
  std::vector<uint64_t> pool_ids() const;

  void put_key(const IndexKey& key, uint64_t pool_id);
  void remove_key(const IndexKey& key);
  // The index made equal to `keys`.
  void set_keys(const IndexKeys& keys);

 private:
  bool map_pool(const LocalOptions& options, const ClientsWait& wait, std::string& why);
  void find_objects();
  void index_one(const IndexKey& key, uint64_t pool_id);

  MirrorState state_;
  bool open_ = false;
  std::unordered_map<uint64_t, void*> objects_;  // pool id to the live object
  Bytes image_;  // the image being put, laid out at its object; kept with its buffer
  void forget_key_of(uint64_t pool_id, const IndexKey& key);

  IndexKeys keys_;                                               // as the source has them
  std::unordered_map<uint64_t, std::vector<IndexKey>> keys_of_;  // pool id to its keys
};

}  // namespace zim_mirror
