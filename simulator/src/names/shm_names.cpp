// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the pool's names in the shm folder.
//
// Names are owned. The owner of a pool, its creator and then each adopter,
// holds an exclusive flock on its segment for as long as it maps it (the lock
// goes with the open file description, so a child forked meanwhile holds it
// too until it gives the pool up or ends); the kernel drops it when they are
// gone, however they end.
//
// A name only ever leads to a complete pool or to something that is not one
// of ours: the creator builds the pool in an unnamed file of the shm folder
// (O_TMPFILE), locked from the start, and links it under its name only when
// the magic is stored; link fails if the name exists, so claiming a name is
// one atomic step, and a creator killed before it leaves nothing. A complete
// pool whose lock can be taken has no live owner: anyone's destroy removes
// it, and so does creating a pool of its name unless the pool is kept for a
// successor (handed over or adopted), which only an adopter or a destroy may
// take on (the kept word is read under the lock, and set before an owner
// gives the lock up, so the two cannot cross). Whoever removes a name
// does so while holding the lock of the segment behind it, and removes it only
// if it still leads there (remove_name): so two processes racing for a name
// end with one pool, a live pool's name is never taken, what is not a pool is
// never removed, and neither is a name that passed to another pool behind the
// remover's back (taken out of /dev/shm by hand, say).

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "names/names.hpp"
#include "platform/env.hpp"
#include "segment/segment.hpp"

namespace zim_sim {

bool valid_pool_name(const char* name) {
  if (name == nullptr || name[0] != '/') return false;
  const size_t len = std::strlen(name);
  return len >= 2 && len <= kNameMax && std::strchr(name + 1, '/') == nullptr &&
         std::strcmp(name, "/.") != 0 && std::strcmp(name, "/..") != 0;
}

std::string shm_path(const char* name) { return std::string(kShmDir) + name; }

bool file_id(int fd, FileId* id) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  *id = {st.st_dev, st.st_ino};
  return true;
}

bool leads_to(const char* path, FileId id) {
  struct stat st;
  return lstat(path, &st) == 0 && st.st_dev == id.dev && st.st_ino == id.ino;
}

// Checking a name and then unlinking it would leave a window in which the
// name could pass to another pool; instead the name is moved to `aside` (a
// name of this process's own in the same folder) in one step and what was
// moved is checked: unlinked if it is the file, else moved back, never over a
// name taken meanwhile.
Removal remove_name(const char* path, const char* aside, FileId id) {
  if (!leads_to(path, id)) return Removal::kDone;  // the usual case when it passed on
  if (renameat2(AT_FDCWD, path, AT_FDCWD, aside, RENAME_NOREPLACE) != 0) {
    return errno == ENOENT ? Removal::kDone : Removal::kFailed;
  }
  if (leads_to(aside, id)) return unlink(aside), Removal::kDone;
  return renameat2(AT_FDCWD, aside, AT_FDCWD, path, RENAME_NOREPLACE) == 0 ? Removal::kDone
                                                                           : Removal::kStranded;
}

std::string aside_path(const char* suffix) {
  return std::string(kShmDir) + "/.zim_pool_aside." + std::to_string(getpid()) + suffix;
}

void remove_name_reporting(const char* name, FileId id) {
  const std::string path = shm_path(name), aside = aside_path();
  const Removal r = remove_name(path.c_str(), aside.c_str(), id);
  if (r == Removal::kFailed) {
    std::fprintf(stderr, "zim_memory: cannot remove the pool's name \"%s\": %s\n",
                 printable(name).c_str(), std::strerror(errno));
  } else if (r == Removal::kStranded) {
    std::fprintf(stderr,
                 "zim_memory: the name \"%s\" passed to another file while this process "
                 "removed it; that file is now %s\n",
                 printable(name).c_str(), aside.c_str());
  }
}

namespace {

int refuse(const char* name, const char* why) {
  std::fprintf(stderr, "zim_memory: cannot create the pool \"%s\": %s\n", printable(name).c_str(),
               why);
  errno = EEXIST;
  return -1;
}

constexpr char kNotAPool[] =
    "the name belongs to something that is not a pool of this version; it is left alone";

// Whether the file open on fd, of status st, is a complete pool of this
// version; facts gets its header, and *kept and *owner the header's words.
bool is_pool(int fd, const struct stat& st, HeaderFacts* facts, uint32_t* kept, int32_t* owner) {
  return S_ISREG(st.st_mode) && read_header_facts(fd, facts) &&
         is_complete_pool(*facts, static_cast<uint64_t>(st.st_size)) &&
         read_at(fd, kept, sizeof *kept, offsetof(PoolHeader, kept)) &&
         read_at(fd, owner, sizeof *owner, offsetof(PoolHeader, owner_pid));
}

// What stands under `name` when linking a new pool there failed with EEXIST:
// 0 after unlinking a stale pool or when the name went meanwhile (try again),
// or -1 with errno: EEXIST, after a message, when a live pool or something
// that is not a pool has the name. Looks only through a descriptor of its own
// (a symlink, a FIFO or a directory under the name is not a pool) and removes
// nothing before it has checked, under the file's lock, that it is a complete
// pool of this version. A complete pool whose lock is held although its
// creator is gone is, most likely, being checked by another creator right
// now: unless last_try, that also means try again.
int clear_stale(const char* name, bool last_try) {
  const int fd = open(shm_path(name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return 0;
    if (errno == ELOOP) return refuse(name, kNotAPool);
    return -1;
  }
  const auto done = [fd](int rc) {
    const int err = errno;
    close(fd);
    errno = err;
    return rc;
  };
  struct stat st;
  HeaderFacts facts{};
  uint32_t kept = 0;
  int32_t owner = 0;
  if (fstat(fd, &st) != 0) return done(-1);
  const bool pool = is_pool(fd, st, &facts, &kept, &owner);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) return done(-1);
    // Only complete pools are ever named, so a live one names its owner.
    if (!pool || owner <= 0) return done(refuse(name, kNotAPool));
    if (!last_try && kill(owner, 0) != 0 && errno == ESRCH) {
      usleep(1000);
      return done(0);
    }
    const std::string why = "the name belongs to the live pool of process " + std::to_string(owner);
    return done(refuse(name, why.c_str()));
  }
  // Checked again under the lock: another program may have rewritten the
  // file since, or its owner handed it over.
  if (fstat(fd, &st) != 0 || !is_pool(fd, st, &facts, &kept, &owner)) {
    return done(refuse(name, kNotAPool));
  }
  if (kept != 0) {
    const std::string why =
        "the name belongs to a pool kept for a successor; its last owner, "
        "process " +
        std::to_string(owner) + ", ended or handed over: adopt or destroy it";
    return done(refuse(name, why.c_str()));
  }
  // Stale: its owner is gone.
  const std::string path = shm_path(name), aside = aside_path();
  switch (remove_name(path.c_str(), aside.c_str(), {st.st_dev, st.st_ino})) {
    case Removal::kDone:
      return done(0);
    case Removal::kFailed:
      return done(-1);
    case Removal::kStranded:
      break;
  }
  const std::string why =
      "the name passed to another file while a stale pool was removed; "
      "that file is now " +
      aside;
  return done(refuse(name, why.c_str()));
}

}  // namespace

int claim_name(const char* name, int fd) {
  // The link goes through /proc: linking a descriptor itself (AT_EMPTY_PATH)
  // takes a privilege that an ordinary process lacks.
  const std::string from = "/proc/self/fd/" + std::to_string(fd);
  const std::string to = shm_path(name);
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (linkat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    if (errno != EEXIST) return -1;
    if (clear_stale(name, attempt == 7) < 0) return -1;
  }
  return refuse(name, "the name kept changing hands");
}

int open_unnamed() {
  const int fd = open(kShmDir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    // Kernels before O_TMPFILE see a directory opened for writing.
    if (errno == EISDIR || errno == EOPNOTSUPP || errno == EINVAL) {
      std::fprintf(stderr,
                   "zim_memory: cannot create a pool: %s does not support unnamed files "
                   "(O_TMPFILE), which pool creation needs\n",
                   kShmDir);
      errno = EOPNOTSUPP;
    }
    return -1;
  }
  // Nobody else can reach the file yet: the lock is taken at once.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

}  // namespace zim_sim
