// SPDX-License-Identifier: Apache-2.0
// libzim_memory: creating a pool with options, a versioned one among them.

#include <sys/random.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "attach/attach.hpp"
#include "names/names.hpp"
#include "versions/versions.hpp"

namespace {

static_assert(ZIM_SHM_POOL_MAX_FEED_CAPACITY == 1048576u, "the message's limit");
static_assert(ZIM_SHM_POOL_MAX_INDEX_CAPACITY == 67108864u, "the message's limit");

// Why the options cannot make a pool; null when they can.
const char* refusal(const zim_shm_pool_options_t& o) {
  if (o.versioned > 1) return "versioned must be 0 or 1";
  if (o.reserved != 0) return "reserved must be 0";
  if (o.versioned == 0) return nullptr;
  if (o.feed_capacity == 0 || o.feed_capacity > ZIM_SHM_POOL_MAX_FEED_CAPACITY) {
    return "the feed's capacity must be 1 to 1048576 entries";
  }
  if (o.index_capacity == 0 || o.index_capacity > ZIM_SHM_POOL_MAX_INDEX_CAPACITY) {
    return "the index's capacity must be 1 to 67108864 keys";
  }
  return nullptr;
}

}  // namespace

uint64_t zim_sim::draw_pool_identity() {
  uint64_t identity = 0;
  // getrandom of 8 bytes from the urandom source does not block once the
  // kernel's pool is ready and is not cut short by signals.
  while (identity == 0) {
    if (getrandom(&identity, sizeof identity, 0) != sizeof identity) identity = 0;
  }
  return identity;
}

extern "C" ZIM_SIM_API uint64_t zim_shm_pool_identity(void) {
  zim_sim::PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr || !zim_sim::is_versioned(hdr)) return 0;
  return __atomic_load_n(&zim_sim::version_state(hdr).identity, __ATOMIC_RELAXED);
}

bool zim_sim::prepare_versioned(PoolHeader* hdr, uint64_t feed_capacity, uint64_t index_capacity) {
  hdr->version = kVersionedPoolVersion;
  VersionState& state = version_state(hdr);  // zero, as the whole fresh segment
  state.magic = kVersionsMagic;
  state.feed_capacity = feed_capacity;
  state.index_capacity = index_capacity;
  state.identity = draw_pool_identity();
  return carve_rooms(hdr);
}

extern "C" ZIM_SIM_API int zim_shm_pool_create_with(const char* name, uint64_t size,
                                                    const zim_shm_pool_options_t* options) {
  if (options == nullptr || options->versioned == 0) {
    if (options != nullptr && refusal(*options) != nullptr) {
      std::fprintf(stderr, "zim_memory: cannot create a pool with these options: %s\n",
                   refusal(*options));
      errno = EINVAL;
      return -1;
    }
    return zim_sim::create_pool(name, size, nullptr);
  }
  if (const char* why = refusal(*options)) {
    std::fprintf(stderr,
                 "zim_memory: cannot create a versioned pool: %s (given %" PRIu64 " and %" PRIu64
                 ")\n",
                 why, options->feed_capacity, options->index_capacity);
    errno = EINVAL;
    return -1;
  }
  const zim_shm_pool_options_t o = *options;
  return zim_sim::create_pool(name, size, [o](zim_sim::PoolHeader* hdr) {
    return zim_sim::prepare_versioned(hdr, o.feed_capacity, o.index_capacity);
  });
}
