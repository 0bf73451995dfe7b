// SPDX-License-Identifier: Apache-2.0
// libzim_memory: making a kept versioned pool from a checked image. The pool
// is this process's own until the hand-over, the last step: no other process
// adopts a pool whose creator lives, and attachers find an empty or growing
// pool at most, never a kept one half made.

#include <zim/sim/shm_pool.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "alloc/alloc.hpp"
#include "image/image.hpp"
#include "names/names.hpp"
#include "versions/versions.hpp"

namespace zim_sim {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

// Makes one object at its new address, its line telling its pool id and
// version: whole, as its last write_end left it. Null when the pool is full
// (or, which the checks rule out, when the object cannot be laid out).
void* make_object(PoolHeader* hdr, const zim_shm_pool_image_object_t& o,
                  const CheckedImage& checked) {
  void* obj = nullptr;
  const auto layout = checked.layouts.find(o.table_id);
  if (o.table_id == ZIM_SHM_POOL_UNTYPED) {
    obj = calloc_block(ZIM_SHM_POOL_UNTYPED, o.size);
  } else {
    obj = calloc_block_recorded(o.table_id, o.size,
                                layout != checked.layouts.end() ? &layout->second : nullptr);
  }
  if (obj == nullptr) return nullptr;
  const auto plan = checked.plans.find(o.table_id);
  if (plan != checked.plans.end()) {
    // Checked sound: the pointers come out laid out for obj's address.
    if (zim_table_migration_convert(plan->second.get(), o.bytes, o.size, obj, o.size) != 0) {
      return nullptr;
    }
  } else {
    std::memcpy(obj, o.bytes, o.size);
  }
  bool in_pool = false;
  VersionLine* line = line_of(hdr, obj, &in_pool);
  if (line == nullptr) return nullptr;
  line->pool_id.store(o.pool_id, kRelaxed);
  line->version.store(o.version, std::memory_order_release);
  return obj;
}

// The pool's words an image gives besides its objects; the index under the
// pool's lock, as its writers take it.
int set_pool_state(PoolHeader* hdr, const zim_shm_pool_image_t& im, const CheckedImage& checked,
                   const std::vector<uint64_t>& offsets, std::string* why) {
  PoolRooms rooms;
  if (!open_rooms(hdr, &rooms)) return *why = "its feed or index did not open", EIO;
  PoolLock lock(hdr);
  VersionState& state = version_state(hdr);
  if (state.next_pool_id.load(kRelaxed) < checked.last_pool_id) {
    state.next_pool_id.store(checked.last_pool_id, kRelaxed);
  }
  rooms.feed.header->next_sequence.store(im.next_sequence, std::memory_order_release);
  for (uint64_t i = 0; i < im.key_count; ++i) {
    const zim_shm_pool_image_key_t& k = im.keys[i];
    const uint64_t at = offsets[checked.by_pool_id.at(k.pool_id)];
    IndexValue replaced;
    if (index_put(rooms.index, k.table_id, k.key, {at, k.pool_id}, &replaced) == IndexPut::kFull) {
      return *why = "its index is full", ENOSPC;
    }
  }
  if (im.root_pool_id != 0) put(hdr->root, offsets[checked.by_pool_id.at(im.root_pool_id)]);
  return 0;
}

int make_pool(const char* name, const zim_shm_pool_image_t& im, const CheckedImage& checked,
              std::string* why) {
  const zim_shm_pool_options_t options{1, 0, im.feed_capacity, im.index_capacity};
  if (zim_shm_pool_create_with(name, im.size, &options) != 0) {
    const int err = errno;
    *why = "cannot create it: " + std::string(std::strerror(err));
    return err;
  }
  PoolHeader* hdr = mapped_pool();
  std::vector<uint64_t> offsets(im.object_count);
  int err = 0;
  for (uint64_t i = 0; err == 0 && i < im.object_count; ++i) {
    void* obj = make_object(hdr, im.objects[i], checked);
    if (obj == nullptr) {
      *why = "the pool has no room left for object " + std::to_string(i);
      err = ENOSPC;
    } else {
      offsets[i] = offset_in(hdr, obj);
    }
  }
  if (err == 0) err = set_pool_state(hdr, im, checked, offsets, why);
  if (err == 0 && zim_shm_pool_hand_over() != 0) {
    err = errno;
    *why = "cannot hand it over: " + std::string(std::strerror(err));
  }
  if (err != 0) zim_shm_pool_destroy();
  return err;
}

void tell(const std::string& text, char* why, size_t why_size) {
  if (why == nullptr || why_size == 0) return;
  const size_t n = std::min(text.size(), why_size - 1);
  std::memcpy(why, text.data(), n);
  why[n] = '\0';
}

}  // namespace
}  // namespace zim_sim

extern "C" ZIM_SIM_API int zim_shm_pool_restore(const char* name, const zim_shm_pool_image_t* image,
                                                char* why, size_t why_size) {
  std::string text;
  int err = 0;
  if (name == nullptr || image == nullptr) {
    text = "no name or no image";
    err = EINVAL;
  } else if (zim_sim::mapped_pool() != nullptr) {
    text = "this process maps a pool already";
    err = EBUSY;
  } else {
    zim_sim::CheckedImage checked;
    err = zim_sim::check_image(*image, &checked, &text);
    if (err == 0) err = zim_sim::make_pool(name, *image, checked, &text);
  }
  zim_sim::tell(text, why, why_size);
  if (err == 0) return 0;
  errno = err;
  return -1;
}
