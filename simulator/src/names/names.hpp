// SPDX-License-Identifier: Apache-2.0
// The pool's names in the shm folder (shm_names.cpp): whose a name is, how a
// name is removed, and how a new pool claims one. Internal: nothing here is
// exported.
#ifndef ZIM_SIM_SRC_SHM_NAMES_HPP
#define ZIM_SIM_SRC_SHM_NAMES_HPP

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace zim_sim {

constexpr size_t kNameMax = 255;  // "/" and 254 more, as the kernel allows

constexpr char kShmDir[] = "/dev/shm";  // where shm_open keeps its segments

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

#endif  // ZIM_SIM_SRC_SHM_NAMES_HPP
