// SPDX-License-Identifier: Apache-2.0
#include "local_pool.hpp"

#include <zim/sim/pool_copies.h>
#include <zim/sim/pool_image.h>
#include <zim/sim/shm_pool.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "codec/printable.hpp"
#include "object_image.hpp"

namespace zim_mirror {
namespace {

std::string error_text(const char* what) { return std::string(what) + ": " + strerror(errno); }

}  // namespace

bool LocalPool::map_pool(const LocalOptions& o, const ClientsWait& wait, std::string& why) {
  const std::string name = zim_codec::quote(o.name);
  // A pool a mirror left (killed, or handed over when it stopped) is adopted
  // with what it holds; a live owner is another mirror, or another program.
  if (zim_shm_pool_adopt(o.name.c_str()) == 0) {
    open_ = true;  // handed over again whatever follows
    // Converts objects a mirror of other layouts left, and opens the pool to
    // local clients again. Clients that still map it hold the conversion
    // back until they detach (the adoption's entry tells them to); the
    // objects cannot be written before it.
    for (unsigned attempt = 0; zim_shm_pool_migrate(nullptr, nullptr) != 0; ++attempt) {
      if (errno != EBUSY)
        return why = error_text(("cannot migrate the pool " + name).c_str()), false;
      if (!wait(attempt)) {
        why = "local clients still map the pool " + name + ", whose objects need converting";
        return false;
      }
    }
    return true;
  }
  if (errno == EEXIST) {
    why = "the pool " + name + " has a live owner: another mirror holds it";
    return false;
  }
  if (errno != ENOENT) return why = error_text(("cannot adopt the pool " + name).c_str()), false;
  const zim_shm_pool_options_t versioned{1, 0, o.feed_capacity, o.index_capacity};
  if (zim_shm_pool_create_with(o.name.c_str(), o.pool_size, &versioned) != 0) {
    return why = error_text(("cannot make the pool " + name).c_str()), false;
  }
  return true;
}

bool LocalPool::open(const LocalOptions& o, const ClientsWait& wait, std::string& why) {
  if (!map_pool(o, wait, why)) return false;
  open_ = true;
  if (zim_shm_pool_is_versioned() == 0) return why = "the pool is not versioned", false;
  if (zim_shm_pool_claim_writes() != 0) {
    return why = error_text("another process holds the pool's writes"), false;
  }
  if (!state_.open(o.record_capacity, why)) return false;
  find_objects();
  return true;
}

void LocalPool::close() {
  if (open_ && zim_shm_pool_hand_over() != 0) zim_shm_pool_detach();
  open_ = false;
}

// Gathered first and then filed, so that each map is sized once: a pool of
// a million objects would otherwise rehash each map a dozen times.
void LocalPool::find_objects() {
  std::vector<std::pair<uint64_t, void*>> found;
  const auto visit = [](const zim_shm_pool_piece_t* piece, void* context) {
    auto& objects = *static_cast<std::vector<std::pair<uint64_t, void*>>*>(context);
    if (piece->retired == 0 && piece->table_id <= ZIM_SHM_POOL_MAX_TABLE_ID) {
      void* obj = const_cast<void*>(piece->data);
      if (const uint64_t id = zim_shm_pool_id_of(obj); id != 0) objects.emplace_back(id, obj);
    }
    return 0;
  };
  zim_shm_pool_walk_mapped(visit, &found);
  objects_.clear();
  objects_.reserve(found.size());
  for (const auto& [id, obj] : found) objects_[id] = obj;
  std::vector<zim_shm_pool_index_entry_t> entries(256);
  for (int64_t n; (n = zim_shm_pool_index_list(entries.data(), entries.size())) >= 0;) {
    const bool whole = static_cast<uint64_t>(n) <= entries.size();
    entries.resize(static_cast<size_t>(n));
    if (!whole) continue;
    keys_.reserve(entries.size());
    keys_of_.reserve(entries.size());
    for (const auto& e : entries) {
      keys_[{e.table_id, e.key}] = e.pool_id;
      keys_of_[e.pool_id].push_back({e.table_id, e.key});
    }
    break;
  }
}

std::vector<uint64_t> LocalPool::pool_ids() const {
  std::vector<uint64_t> ids;
  ids.reserve(objects_.size());
  for (const auto& [id, obj] : objects_) ids.push_back(id);
  std::sort(ids.begin(), ids.end());
  return ids;
}

bool LocalPool::put_object(const Change& c, const zim_codec::TypeLayout& layout, std::string& why,
                           const std::string* received) {
  zim_relay::ImageFrame frame;
  Bytes& bytes = image_;
  bytes.assign(c.image.begin(), c.image.end());
  // Checked at address 0 first, so that nothing is allocated for an image
  // whose offsets the placement does not give. At address 0 a sound image
  // is left as it is (each pointer is its offset), so no copy is needed.
  if (!zim_relay::frame_object(layout, {c.npus, c.npd_size, 0}, bytes, frame, why) ||
      !zim_relay::from_image(layout, frame, 0, bytes, why)) {
    return false;
  }
  const auto found = objects_.find(c.pool_id);
  void* obj = found == objects_.end() ? nullptr : found->second;
  uint32_t table_id = 0;
  uint64_t size = 0;
  const bool same_type =
      obj != nullptr &&
      zim_shm_pool_block_at(zim_shm_pool_offset_of(obj), &table_id, &size) == obj &&
      table_id == c.table_id;
  const bool in_place = same_type && size == frame.end;
  if (in_place) {
    if (zim_shm_pool_write_begin(obj) < 0) return why = error_text("cannot write it"), false;
  } else if (same_type) {
    // Its size changed: the pool passes the id from the old block to the
    // new one without looking for it among its blocks. On failure the old
    // object stays, whole, at the version the record holds.
    obj = zim_shm_pool_replace_object(obj, frame.end, received ? received->data() : nullptr,
                                      received ? static_cast<uint32_t>(received->size()) : 0,
                                      c.fingerprint);
    if (obj == nullptr) return why = error_text("cannot make it again in the pool"), false;
  } else {
    if (obj != nullptr) retire(c.pool_id);
    obj = received == nullptr ? zim_shm_pool_alloc_with_id(c.table_id, frame.end, c.pool_id)
                              : zim_shm_pool_alloc_with_layout(
                                    c.table_id, frame.end, c.pool_id, received->data(),
                                    static_cast<uint32_t>(received->size()), c.fingerprint);
    if (obj == nullptr) return why = error_text("cannot make it in the pool"), false;
  }
  zim_relay::from_image(layout, frame, reinterpret_cast<uintptr_t>(obj), bytes, why);
  std::memcpy(obj, bytes.data(), bytes.size());
  zim_shm_pool_write_end(obj);
  if (!in_place) {
    objects_[c.pool_id] = obj;
    if (const auto keys = keys_of_.find(c.pool_id); keys != keys_of_.end()) {
      for (const IndexKey& key : keys->second) index_one(key, c.pool_id);
    }
  }
  return true;
}

std::optional<uint32_t> LocalPool::retire(uint64_t pool_id) {
  const auto found = objects_.find(pool_id);
  if (found == objects_.end()) return std::nullopt;
  uint32_t table_id = 0;
  zim_shm_pool_block_at(zim_shm_pool_offset_of(found->second), &table_id, nullptr);
  zim_shm_pool_retire_object(found->second);
  objects_.erase(found);
  return table_id;
}

// A key whose object is not here (yet) leads nowhere until the object comes.
void LocalPool::index_one(const IndexKey& key, uint64_t pool_id) {
  const auto found = objects_.find(pool_id);
  if (found != objects_.end()) {
    zim_shm_pool_index_put(key.first, key.second, found->second, nullptr);
  } else {
    zim_shm_pool_index_remove(key.first, key.second);
  }
}

void LocalPool::put_key(const IndexKey& key, uint64_t pool_id) {
  const auto held = keys_.find(key);
  if (held != keys_.end() && held->second == pool_id) return;
  if (held != keys_.end()) forget_key_of(held->second, key);
  keys_[key] = pool_id;
  keys_of_[pool_id].push_back(key);
  index_one(key, pool_id);
}

// An object has a key or few: a vector searched beats a set per object.
void LocalPool::forget_key_of(uint64_t pool_id, const IndexKey& key) {
  const auto keys = keys_of_.find(pool_id);
  if (keys == keys_of_.end()) return;
  std::vector<IndexKey>& list = keys->second;
  list.erase(std::remove(list.begin(), list.end(), key), list.end());
  if (list.empty()) keys_of_.erase(keys);
}

void LocalPool::remove_key(const IndexKey& key) {
  const auto held = keys_.find(key);
  if (held == keys_.end()) return;
  forget_key_of(held->second, key);
  keys_.erase(held);
  zim_shm_pool_index_remove(key.first, key.second);
}

void LocalPool::set_keys(const IndexKeys& keys) {
  std::vector<IndexKey> gone;
  for (const auto& [key, id] : keys_) {
    if (!keys.count(key)) gone.push_back(key);
  }
  for (const IndexKey& key : gone) remove_key(key);
  for (const auto& [key, id] : keys) put_key(key, id);
}

}  // namespace zim_mirror
