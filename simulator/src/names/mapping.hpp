// SPDX-License-Identifier: Apache-2.0
// This process's mapping of the pool and what it owns of it (mapping.cpp),
// shared by creation, attachment and detachment (attach/shm_pool.cpp) and by
// the owner's part: adoption, hand-over and destruction (shm_pool_owner.cpp).
// Internal: nothing here is exported.
#ifndef ZIM_SIM_SRC_NAMES_MAPPING_HPP
#define ZIM_SIM_SRC_NAMES_MAPPING_HPP

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "names/names.hpp"
#include "segment/segment.hpp"

namespace zim_sim {

// A follower maps a versioned pool to read it and follow its feed only: it
// holds no attach lock, so retirements and migrations do not wait for it,
// and it never writes an object nor allocates (attach/follower.cpp).
enum class Role { kAttacher, kCreator, kAdopter, kFollower };

// This process's mapping. Guarded by g_control; g_pool and g_pool_size mirror
// hdr and size for the lock-free readers.
struct Mapping {
  zim_sim::PoolHeader* hdr;
  uint64_t size;
  FileId id;        // of the segment
  pid_t mapped_by;  // another pid than ours: inherited through fork
  // The segment, open while it is mapped: an owner's holds the owner's flock,
  // an attacher's its attach lock (attach/attach_locks.hpp).
  int fd;
  bool owner;         // mapped_by created or adopted the pool
  bool follower;      // mapped as a follower: no writer slot, no allocation
  bool removes_name;  // mapped_by created the pool and did not hand it over
  bool exit_hook;     // the at-exit unlink is registered
  char name[kNameMax + 1];
};

extern std::mutex g_control;
extern Mapping g_mapping;
extern std::atomic<uint64_t> g_pool_size;
// Moves on at every mapping and unmapping, so that what a room caches of one
// mapping is never taken for another's at the same address.
extern std::atomic<uint64_t> g_mapping_epoch;

int fail(int fd, void* map, uint64_t size);
void unmap(bool remove);
bool free_to_map();
bool owns_pool();
bool owns_name();
void publish(PoolHeader* hdr, uint64_t size, FileId id, const char* name, int fd, Role role);

// The pool `name`, mapped at another address than its creator's, and its
// segment's descriptor, size and identity; -1 with errno (EINVAL: not a
// complete pool of this version).
struct Segment {
  int fd;
  void* map;
  uint64_t size;
  FileId id;
};
int map_existing(const char* name, Segment* seg);

// What attaching and adopting share. Maps the existing pool `name` for this
// process, which must map none of its own; `claim` takes the segment for
// `role` (kAttacher or kAdopter): 0, or -1 with errno; the role's handshake
// holds the pool against this process and, once its checks pass, runs
// `admitted` under the pool's lock: 0, or an errno that fails it; then the
// mapping is published. 0, or -1 with errno: EINVAL for a name that
// valid_pool_name refuses, EBUSY while this process maps a pool of its own,
// or what mapping the segment, `claim` or the handshake gave.
using Join = std::function<int(const Segment& seg)>;
int join_pool(const char* name, Role role, const Join& claim, const Join& admitted);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_NAMES_MAPPING_HPP
