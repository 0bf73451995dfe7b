// SPDX-License-Identifier: Apache-2.0
// Names and ownership: the pool's names in the shm folder and who owns a pool.
// Internal to libzim_memory.
//  - this header, shm_names.cpp: what a name may be, whose a name is, how a
//    new pool claims one and how one is removed; for the other rooms, the
//    pool this process maps and whether this process owns it;
//  - mapping.hpp, mapping.cpp: this process's mapping of a pool and what it
//    owns of it, and mapping an existing pool by name (attach, adopt), for
//    this room and attach/;
//  - shm_pool_owner.cpp: adopting a pool, handing it over, destroying it.
//
// Its rules (shm_names.cpp says how they hold): the owner of a pool, its
// creator and then each adopter, holds an exclusive flock on the segment for
// as long as it maps it. A name only ever leads to a complete pool or to
// something that is not one of ours. Whoever removes a name holds the flock of
// the segment behind it and removes the name only if it still leads there. A
// pool kept for a successor (PoolHeader::kept) loses its name only to
// zim_shm_pool_destroy.
//
// What it writes: names in the shm folder (a new pool's link, a stale or
// destroyed pool's name moved aside and unlinked, and moved back when it was
// not the pool's); the owner's flock; of the segment, only PoolHeader::kept
// (set when the owner hands the pool over, and by an adopter) and, adopting,
// PoolHeader::epoch (+1) and owner_pid, under the pool's lock once the
// handshake passed. What it only reads: a named file's header facts, kept and
// owner_pid, with pread, before a new pool takes its name; a pool's header
// facts and creator_base once mapped; owner_pid and kept, to tell whether the
// owner lives and for messages.
//
// Uses segment/, records/ (the handshake; the checked layouts a new mapping
// forgets) and platform/ (printable names).
#ifndef ZIM_SIM_SRC_NAMES_NAMES_HPP
#define ZIM_SIM_SRC_NAMES_NAMES_HPP

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "segment/segment.hpp"

namespace zim_sim {

constexpr size_t kNameMax = 255;  // "/" and 254 more, as the kernel allows

constexpr char kShmDir[] = "/dev/shm";  // where shm_open keeps its segments

// Whether name is usable as a pool name: "/" then 1 to 254 characters, no
// "/", and neither "/." nor "/..".
bool valid_pool_name(const char* name);

// The pool this process maps, null if none. Safe to call from any thread
// (mapping.cpp).
PoolHeader* mapped_pool();

// The descriptor of the segment whose pool this process owns (created or
// adopted, not inherited through fork), -1 when it owns none
// (shm_pool_owner.cpp).
int owned_pool_fd();

// The mapped pool became versioned in place (an upgrade): the views and the
// stamp kept for its mapping are dropped and the accessors' span published
// (mapping.cpp).
void versioned_in_place();

std::string shm_path(const char* name);

// A file's identity: what a name must lead to for a process to remove it.
struct FileId {
  dev_t dev;
  ino_t ino;
};

bool file_id(int fd, FileId* id);

// Whether the name at `path` (not followed) leads to the file `id`.
bool leads_to(const char* path, FileId id);

enum class Removal { kDone, kFailed, kStranded };

// Removes the name at `path` if it leads to the file `id`; kDone also when it
// leads elsewhere or nowhere; kStranded when what was moved aside could not go
// back (it stays at `aside`); kFailed with errno when the name cannot be
// moved. Only system calls: a SIGABRT handler may call it.
Removal remove_name(const char* path, const char* aside, FileId id);

// The name this process moves names to before removing them; `suffix` keeps
// the SIGABRT handler's apart.
std::string aside_path(const char* suffix = "");

// remove_name, with a message when it fails.
void remove_name_reporting(const char* name, FileId id);

// Gives the complete pool open on fd the name `name`, first unlinking a stale
// pool of that name. 0, or -1 with errno: EEXIST, after a message, when a live
// pool, a pool kept for a successor or something that is not a pool has the
// name.
int claim_name(const char* name, int fd);

// A new, unnamed file in the shm folder, locked; -1 with errno: EOPNOTSUPP
// when the folder cannot hold unnamed files.
int open_unnamed();

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_NAMES_NAMES_HPP
