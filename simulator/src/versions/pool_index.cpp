// SPDX-License-Identifier: Apache-2.0
// libzim_memory: a versioned pool's index of keys to objects. Lookups take no
// lock; puts and removals hold the pool's lock, finish first what a writer
// that died left, and publish what they did in the feed, the sequence drawn
// before the index changes (a death in between reads as lost).

#include <cerrno>

#include "names/mapping.hpp"
#include "names/names.hpp"
#include "versions/pool_view.hpp"
#include "versions/versions.hpp"

namespace {

using zim_sim::FeedKind;
using zim_sim::IndexValue;
using zim_sim::PoolHeader;
using zim_sim::PoolRooms;

// The object an index value names in this mapping: null unless a live object
// with a line starts there and still has the value's pool id (an entry whose
// object was retired, or of hostile bytes, names none).
void* object_at(PoolHeader* hdr, const IndexValue& value) {
  if (value.offset >= zim_sim::g_pool_size.load(std::memory_order_relaxed)) return nullptr;
  void* obj = reinterpret_cast<char*>(hdr) + value.offset;
  const zim_sim::VersionLine* line = zim_sim::lookup_line(hdr, obj).line;
  if (line == nullptr || line->pool_id.load(std::memory_order_relaxed) != value.pool_id) {
    return nullptr;
  }
  return obj;
}

// Holds the pool's lock for an index writer, the index made consistent first
// when a writer died inside an operation.
class IndexWriter {
 public:
  explicit IndexWriter(PoolHeader* hdr, const zim_sim::Index& index) : lock_(hdr) {
    zim_sim::index_recover(index);
  }

 private:
  zim_sim::PoolLock lock_;
};

void publish(const PoolRooms& rooms, uint64_t sequence, FeedKind kind, uint32_t table_id,
             uint64_t key, const IndexValue& value) {
  zim_sim::FeedEntry entry{};
  entry.kind = kind;
  entry.table_id = table_id;
  entry.offset = value.offset;
  entry.new_offset = key;
  entry.pool_id = value.pool_id;
  zim_sim::feed_publish(rooms.feed, sequence, entry);
}

// The appender's token of this process, claimed before the pool's lock;
// false with errno EPERM when another process holds the pool's writes.
bool appender(PoolHeader* hdr, uint32_t* token) {
  const uint64_t stamp = zim_sim::writer_stamp(hdr);
  *token = zim_sim::appender_token(stamp);
  if (stamp != 0 && zim_sim::writes_refused(hdr, stamp)) return errno = EPERM, false;
  return stamp != 0;
}

}  // namespace

extern "C" ZIM_SIM_API int zim_shm_pool_index_put(uint32_t table_id, uint64_t key, void* obj,
                                                  void** replaced) {
  if (replaced != nullptr) *replaced = nullptr;
  PoolHeader* hdr = nullptr;
  PoolRooms rooms;
  if (!zim_sim::mapped_rooms(&hdr, &rooms)) return -1;
  bool in_pool = false;
  const zim_sim::VersionLine* line = zim_sim::line_of(hdr, obj, &in_pool);
  uint32_t token = 0;
  if (line == nullptr) return errno = EINVAL, -1;
  if (!appender(hdr, &token)) return -1;
  const IndexValue value{zim_shm_pool_offset_of(obj),
                         line->pool_id.load(std::memory_order_relaxed)};
  IndexWriter writer(hdr, rooms.index);
  IndexValue old;
  const bool present =
      zim_sim::index_get(rooms.index, table_id, key, &old) == zim_sim::IndexFound::kFound;
  if (!present &&
      rooms.index.header->live.load(std::memory_order_relaxed) >= rooms.index.capacity) {
    return errno = ENOSPC, -1;
  }
  const uint64_t sequence = zim_sim::feed_draw(rooms.feed, token);
  const zim_sim::IndexPut put = zim_sim::index_put(rooms.index, table_id, key, value, &old);
  if (put == zim_sim::IndexPut::kFull) {  // a damaged count: the sequence stands for nothing
    publish(rooms, sequence, FeedKind::lost, table_id, key, value);
    return errno = ENOSPC, -1;
  }
  publish(rooms, sequence, FeedKind::indexed, table_id, key, value);
  if (put == zim_sim::IndexPut::kAdded) return 0;
  if (replaced != nullptr) *replaced = object_at(hdr, old);
  return 1;
}

// The fast path in index_get_fast.cpp comes here for every case but the usual.
__attribute__((noinline, cold)) void* zim_sim::index_get_checked(uint32_t table_id, uint64_t key) {
  zim_sim::prepare_pool_view(false);
  PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr || !zim_sim::is_versioned(hdr)) return errno = EINVAL, nullptr;
  const PoolRooms* rooms = zim_sim::checked_rooms(hdr);
  if (rooms == nullptr) return nullptr;
  IndexValue value;
  const zim_sim::IndexFound found = zim_sim::index_get(rooms->index, table_id, key, &value);
  if (found == zim_sim::IndexFound::kBusy) return errno = EBUSY, nullptr;
  void* obj = found == zim_sim::IndexFound::kFound ? object_at(hdr, value) : nullptr;
  if (obj == nullptr) errno = ENOENT;
  return obj;
}

extern "C" ZIM_SIM_API int zim_shm_pool_index_remove(uint32_t table_id, uint64_t key) {
  PoolHeader* hdr = nullptr;
  PoolRooms rooms;
  uint32_t token = 0;
  if (!zim_sim::mapped_rooms(&hdr, &rooms) || !appender(hdr, &token)) return -1;
  IndexWriter writer(hdr, rooms.index);
  IndexValue value;
  if (zim_sim::index_get(rooms.index, table_id, key, &value) != zim_sim::IndexFound::kFound) {
    return errno = ENOENT, -1;
  }
  const uint64_t sequence = zim_sim::feed_draw(rooms.feed, token);
  zim_sim::index_remove(rooms.index, table_id, key, &value);
  publish(rooms, sequence, FeedKind::unindexed, table_id, key, value);
  return 0;
}
