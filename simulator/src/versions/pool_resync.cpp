// SPDX-License-Identifier: Apache-2.0
// libzim_memory: a follower's resync by versions: one walk of the mapped
// pool's blocks giving every object changed or retired after a mark, with the
// follower's cursor set where the walk's view ends.

#include <cerrno>

#include "names/names.hpp"
#include "versions/versions.hpp"

namespace {

using zim_sim::PoolHeader;
using zim_sim::VersionLine;

using Visit = int (*)(const zim_shm_pool_object_version_t* object, void* context);

struct Resync {
  PoolHeader* hdr;
  uint64_t above;  // versions above this one are visited
  Visit visit;
  void* context;
  uint64_t line_at = 0;  // the data of the line just walked, 0 after any other piece
  int under_way = 0;
  bool stopped = false;
};

bool is_object_id(uint32_t table_id) {
  return table_id <= ZIM_SHM_POOL_MAX_TABLE_ID || table_id == ZIM_SHM_POOL_UNTYPED;
}

// A live object as a copy would find it: whole at an even version (after
// waiting for a write as read_begin waits), under way past the bound, or torn.
// False when it is no longer an object with a line (retired meanwhile).
bool live_version(void* obj, const VersionLine& line, zim_shm_pool_object_version_t* o) {
  uint64_t version = 0;
  if (zim_shm_pool_read_begin(obj, &version) == 0) {
    o->version = version;
    o->state = ZIM_SHM_POOL_OBJECT_WHOLE;
    return true;
  }
  if (errno != EOWNERDEAD && errno != EBUSY) return false;
  o->version = line.version.load(std::memory_order_acquire);
  o->state = errno == EBUSY ? ZIM_SHM_POOL_OBJECT_UNDER_WAY : ZIM_SHM_POOL_OBJECT_TORN;
  return true;
}

int on_piece(const zim_shm_pool_piece_t* piece, void* context) {
  auto& r = *static_cast<Resync*>(context);
  const uint64_t line_at = r.line_at;
  r.line_at = 0;
  if (piece->table_id == ZIM_SHM_POOL_VERSION_LINE) {
    if (piece->retired == 0 && piece->size == zim_sim::kLineBytes) r.line_at = piece->offset;
    return 0;
  }
  // Only the block right behind a line is its object; damage in between is not.
  if (line_at == 0 || piece->offset != line_at + zim_sim::kLinedExtra ||
      !is_object_id(piece->table_id)) {
    return 0;
  }
  char* const base = reinterpret_cast<char*>(r.hdr);
  const auto& line = *reinterpret_cast<const VersionLine*>(base + line_at);
  zim_shm_pool_object_version_t o{};
  o.pool_id = line.pool_id.load(std::memory_order_relaxed);
  o.offset = piece->offset;
  o.table_id = piece->table_id;
  if (piece->retired != 0) {
    o.kind = ZIM_SHM_POOL_CHANGE_RETIRED;
    o.version = line.retired.load(std::memory_order_acquire);
  } else {
    o.kind = ZIM_SHM_POOL_CHANGE_CHANGED;
    if (!live_version(base + piece->offset, line, &o)) return 0;
    if (o.state == ZIM_SHM_POOL_OBJECT_UNDER_WAY) ++r.under_way;
  }
  if (o.version <= r.above && o.state != ZIM_SHM_POOL_OBJECT_UNDER_WAY) return 0;
  if (r.visit(&o, r.context) == 0) return 0;
  r.stopped = true;
  return 1;
}

}  // namespace

extern "C" ZIM_SIM_API int zim_shm_pool_changed_since(uint64_t mark, zim_shm_pool_cursor_t* cursor,
                                                      Visit visit, void* context) {
  PoolHeader* hdr = nullptr;
  zim_sim::PoolRooms rooms;
  if (cursor == nullptr || visit == nullptr) return errno = EINVAL, -1;
  if (!zim_sim::mapped_rooms(&hdr, &rooms)) return -1;
  uint64_t next = 0;
  {
    // Retirements and index changes draw and publish under the lock: each
    // one drawn before `next` is whole before the walk starts.
    zim_sim::PoolLock lock(hdr);
    next = zim_sim::feed_next_sequence(rooms.feed);
  }
  const uint64_t patience_us = cursor->patience_us;
  *cursor = {};
  cursor->next = next;
  cursor->patience_us = patience_us != 0 ? patience_us : 500'000;
  // Versions are 2 x sequence: a mark past half the range leaves nothing above.
  Resync r{hdr, mark > UINT64_MAX / 2 ? UINT64_MAX : 2 * mark, visit, context};
  if (zim_shm_pool_walk_mapped(on_piece, &r) != 0) {
    if (r.stopped) errno = ECANCELED;
    return -1;
  }
  return r.under_way;
}
