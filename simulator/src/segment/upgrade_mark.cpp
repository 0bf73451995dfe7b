// SPDX-License-Identifier: Apache-2.0
// libzim_memory: what the rooms below the upgrade say while one is under way.

#include "segment/upgrade_mark.hpp"

#include <cstdio>

#include "codec/printable.hpp"

namespace zim_sim {

bool upgrade_forbids(PoolHeader* hdr, const char* doing, const char* pool) {
  {
    PoolLock lock(hdr);
    if (!upgrade_under_way(hdr)) return false;
  }
  std::fprintf(stderr,
               "zim_memory: cannot %s pool %s: an upgrade to a versioned pool is under way: "
               "finish it first (zim_shm_pool_upgrade)\n",
               doing, zim_codec::printable(pool != nullptr ? pool : "").c_str());
  return true;
}

}  // namespace zim_sim
