// SPDX-License-Identifier: Apache-2.0
// libzim_memory: upgrading the owned pool of layout version 8 to a versioned
// pool in place (zim_shm_pool_upgrade).
//
// The steps, each a transaction of the allocator's kind or one word: carve
// the feed and the index, mark the upgrade (VersionState magic), move each
// object into a lined block (the old one retired), make the root follow its
// object and turn the layout version to 9, report every move, end the
// upgrade (the versioned pool's magic). A process killed at any point leaves
// a pool of version 8 without the mark (the rooms it carved are found again),
// or an upgrade under way that the next owner's call finishes.

#include "upgrade/upgrade.hpp"

#include <zim/sim/shm_pool.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <string>

#include "names/names.hpp"
#include "platform/env.hpp"

namespace zim_sim {
namespace {

int refuse(int err) {
  errno = err;
  return -1;
}

// Why the options cannot make the pool versioned; null when they can.
const char* refusal(const zim_shm_pool_options_t* o) {
  if (o == nullptr) return "no options";
  if (o->versioned != 1) return "versioned must be 1";
  if (o->reserved != 0) return "reserved must be 0";
  if (o->feed_capacity == 0 || o->feed_capacity > ZIM_SHM_POOL_MAX_FEED_CAPACITY) {
    return "the feed's capacity must be 1 to 1048576 entries";
  }
  if (o->index_capacity == 0 || o->index_capacity > ZIM_SHM_POOL_MAX_INDEX_CAPACITY) {
    return "the index's capacity must be 1 to 67108864 keys";
  }
  return nullptr;
}

void report(const Upgrade& u) {
  for (const std::string& line : u.lines) {
    std::fprintf(stderr, "%s%s\n", u.prefix.c_str(), line.c_str());
  }
}

// Serialises this process's upgrades.
std::mutex g_upgrading;

// One pass: the checks, and with them under the same holding of the lock,
// the beginning, or, once no object is left without a line, the turn to
// version 9. 0, or an errno after the lines in u->lines.
int check_and_begin(PoolHeader* hdr, Upgrade* u) {
  PoolLock lock(hdr);
  const int err = prepare_upgrade(hdr, u);
  if (err != 0) return err;
  if (u->stage == UpgradeStage::kNone) begin_upgrade(hdr, *u);
  if ((u->stage == UpgradeStage::kNone || u->stage == UpgradeStage::kMoving) &&
      u->objects.empty()) {
    turn_versioned(hdr);
    versioned_in_place();
  }
  return 0;
}

}  // namespace

}  // namespace zim_sim

using zim_sim::PoolHeader;

extern "C" ZIM_SIM_API int zim_shm_pool_upgrade(const zim_shm_pool_options_t* options,
                                                void (*moved)(uint64_t old_offset,
                                                              uint64_t new_offset,
                                                              uint32_t table_id, void* context),
                                                void* context) {
  PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr) return zim_sim::refuse(ENOENT);
  const int fd = zim_sim::owned_pool_fd();
  if (fd < 0) return zim_sim::refuse(EPERM);
  const std::string prefix =
      "zim_memory: cannot upgrade pool " + zim_sim::printable(zim_shm_pool_name()) + ": ";
  if (const char* why = zim_sim::refusal(options)) {
    std::fprintf(stderr, "%s%s\n", prefix.c_str(), why);
    return zim_sim::refuse(EINVAL);
  }
  std::lock_guard<std::mutex> guard(zim_sim::g_upgrading);
  // Objects the owner makes while others move are moved by the next pass.
  for (;;) {
    zim_sim::Upgrade u;
    u.prefix = prefix;
    u.fd = fd;
    u.feed_capacity = options->feed_capacity;
    u.index_capacity = options->index_capacity;
    int err = zim_sim::check_and_begin(hdr, &u);
    if (err == 0 && !u.objects.empty()) err = zim_sim::move_objects(hdr, &u);
    zim_sim::report(u);
    if (err != 0) return zim_sim::refuse(err);
    if (u.stage == zim_sim::UpgradeStage::kVersioned) return 0;
    if (u.objects.empty()) break;
  }
  zim_sim::report_moves(hdr, moved, context);
  return 0;
}
