// SPDX-License-Identifier: Apache-2.0
// libzim_memory: mapping a versioned pool as a follower. A follower reads
// objects through the read brackets, the walk and the feed, all of which
// check every block against its header before trusting it, and blocks are
// never reused nor unmapped: an object retired or moved by a migration while
// a follower holds its offset reads as no longer an object, and the feed
// tells the follower so. It allocates nothing and writes no object, so it
// cannot make objects of a layout a retirement forgets. Hence it holds no
// attach lock: the owner's retirements and migrations do not count it.

#include <cerrno>

#include "names/mapping.hpp"
#include "versions/versions.hpp"

extern "C" ZIM_SIM_API int zim_shm_pool_attach_follower(const char* name) {
  return zim_sim::join_pool(
      name, zim_sim::Role::kFollower, [](const zim_sim::Segment&) { return 0; },
      [](const zim_sim::Segment& seg) {
        // Only a versioned pool has a feed to follow and versions to copy by.
        return zim_sim::is_versioned(static_cast<zim_sim::PoolHeader*>(seg.map)) ? 0 : ENOTSUP;
      });
}
