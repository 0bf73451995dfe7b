// SPDX-License-Identifier: Apache-2.0
// libzim_memory: creating, attaching and releasing the pool's mapping, and the
// accessors of the mapped pool.
//
// Names are owned. The creator of a pool holds an exclusive flock on its
// segment for as long as it maps it (the lock goes with the open file
// description, so a child forked meanwhile holds it too until it gives the
// pool up or ends); the kernel drops it when they are gone, however they end.
//
// A name only ever leads to a complete pool or to something that is not one
// of ours: the creator builds the pool in an unnamed file of the shm folder
// (O_TMPFILE), locked from the start, and links it under its name only when
// the magic is stored; link fails if the name exists, so claiming a name is
// one atomic step, and a creator killed before it leaves nothing. A complete
// pool whose lock can be taken has no live creator: it is stale, and creating
// a pool of its name, or anyone's destroy, removes it. Whoever removes a name
// does so while holding the lock of the segment behind it, and removes it only
// if it still leads there (remove_name): so two processes racing for a name
// end with one pool, a live pool's name is never taken, what is not a pool is
// never removed, and neither is a name that passed to another pool behind the
// remover's back (taken out of /dev/shm by hand, say).

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "env.hpp"
#include "pool.hpp"

namespace {

constexpr size_t kNameMax = 255;  // "/" and 254 more, as the kernel allows

constexpr char kShmDir[] = "/dev/shm";  // where shm_open keeps its segments

std::string shm_path(const char* name) { return std::string(kShmDir) + name; }

// A file's identity: what a name must lead to for a process to remove it.
struct FileId {
  dev_t dev;
  ino_t ino;
};

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

enum class Removal { kDone, kFailed, kStranded };

// Removes the name at `path` if it leads to the file `id`; kDone also when it
// leads elsewhere or nowhere. Checking and then unlinking by name would leave
// a window in which the name could pass to another pool; instead the name is
// moved to `aside` (a name of this process's own in the same folder) in one
// step and what was moved is checked: unlinked if it is the file, else moved
// back, never over a name taken meanwhile (kStranded when one was: what was
// moved stays at `aside`). kFailed with errno when the name cannot be moved.
// Only system calls: the SIGABRT handler calls it.
Removal remove_name(const char* path, const char* aside, FileId id) {
  if (!leads_to(path, id)) return Removal::kDone;  // the usual case when it passed on
  if (renameat2(AT_FDCWD, path, AT_FDCWD, aside, RENAME_NOREPLACE) != 0) {
    return errno == ENOENT ? Removal::kDone : Removal::kFailed;
  }
  if (leads_to(aside, id)) return unlink(aside), Removal::kDone;
  return renameat2(AT_FDCWD, aside, AT_FDCWD, path, RENAME_NOREPLACE) == 0 ? Removal::kDone
                                                                           : Removal::kStranded;
}

// The name this process moves names to before removing them; `suffix` keeps
// the SIGABRT handler's apart.
std::string aside_path(const char* suffix = "") {
  return std::string(kShmDir) + "/.zim_pool_aside." + std::to_string(getpid()) + suffix;
}

// remove_name, with a message when it fails.
void remove_name_reporting(const char* name, FileId id) {
  const std::string path = shm_path(name), aside = aside_path();
  const Removal r = remove_name(path.c_str(), aside.c_str(), id);
  if (r == Removal::kFailed) {
    std::fprintf(stderr, "zim_memory: cannot remove the pool's name \"%s\": %s\n",
                 zim_sim::printable(name).c_str(), std::strerror(errno));
  } else if (r == Removal::kStranded) {
    std::fprintf(stderr,
                 "zim_memory: the name \"%s\" passed to another file while this process "
                 "removed it; that file is now %s\n",
                 zim_sim::printable(name).c_str(), aside.c_str());
  }
}

// This process's mapping. Guarded by g_control; g_pool and g_pool_size mirror
// hdr and size for the lock-free readers.
struct Mapping {
  zim_sim::PoolHeader* hdr;
  uint64_t size;
  FileId id;        // of the segment
  pid_t mapped_by;  // another pid than ours: inherited through fork
  int lock_fd;      // the creator's locked descriptor of the segment, or -1
  bool created;     // mapped_by created the segment and removes its name
  bool exit_hook;   // the at-exit unlink is registered
  char name[kNameMax + 1];
};

std::mutex g_control;
Mapping g_mapping{nullptr, 0, {}, 0, -1, false, false, {}};
std::atomic<zim_sim::PoolHeader*> g_pool{nullptr};
std::atomic<uint64_t> g_pool_size{0};

// For the SIGABRT handler: the pool this process created and has not yet
// removed. g_abort_owner is 0 while the rest changes.
std::atomic<pid_t> g_abort_owner{0};
char g_abort_path[sizeof kShmDir + kNameMax];
char g_abort_aside[sizeof kShmDir + 64];
FileId g_abort_id;
struct sigaction g_prev_abort;
bool g_abort_hook = false;
static_assert(std::atomic<pid_t>::is_always_lock_free, "read in a signal handler");

// A stop on a report (abort) runs no exit handlers: remove this process's
// pool, then let the signal take its course.
void remove_on_abort(int sig) {
  if (g_abort_owner.load() == getpid()) remove_name(g_abort_path, g_abort_aside, g_abort_id);
  sigaction(SIGABRT, &g_prev_abort, nullptr);
  raise(sig);
}

// Failure exit of the system-call sequences below: keeps errno for the caller.
int fail(int fd, void* map, uint64_t size) {
  const int err = errno;
  if (map != MAP_FAILED) munmap(map, size);
  if (fd >= 0) close(fd);
  errno = err;
  return -1;
}

// Unmaps the pool, first removing its name if remove (the caller holds the
// segment's lock then).
void unmap(bool remove) {
  if (g_mapping.hdr == nullptr) return;
  g_pool.store(nullptr, std::memory_order_release);
  g_abort_owner.store(0);
  munmap(g_mapping.hdr, g_mapping.size);
  if (remove) remove_name_reporting(g_mapping.name, g_mapping.id);
  if (g_mapping.lock_fd >= 0) close(g_mapping.lock_fd);
  g_mapping.lock_fd = -1;
  g_mapping.hdr = nullptr;
  g_mapping.size = 0;
  g_mapping.created = false;
  g_mapping.name[0] = '\0';
}

// A mapping inherited through fork is the parent's business: give it up
// without unlinking so that this process can map a pool of its own.
void drop_inherited() {
  if (g_mapping.hdr != nullptr && g_mapping.mapped_by != getpid()) unmap(false);
}

// Whether this process may map a pool now (the caller holds g_control);
// sets EBUSY when it already maps one of its own.
bool free_to_map() {
  drop_inherited();
  if (g_mapping.hdr == nullptr) return true;
  errno = EBUSY;
  return false;
}

bool owns_name() { return g_mapping.created && g_mapping.mapped_by == getpid(); }

void remove_at_exit() {
  std::lock_guard<std::mutex> guard(g_control);
  if (g_mapping.hdr != nullptr && owns_name()) {
    // The mapping itself may still be in use by other exit-time code.
    g_abort_owner.store(0);
    remove_name_reporting(g_mapping.name, g_mapping.id);
    g_mapping.created = false;
  }
}

// lock_fd >= 0: this process created the pool and holds its lock.
void publish(zim_sim::PoolHeader* hdr, uint64_t size, FileId id, const char* name, int lock_fd) {
  g_mapping.hdr = hdr;
  g_mapping.size = size;
  g_mapping.id = id;
  g_mapping.mapped_by = getpid();
  g_mapping.lock_fd = lock_fd;
  g_mapping.created = lock_fd >= 0;
  std::strcpy(g_mapping.name, name);
  if (g_mapping.created) {
    if (!g_mapping.exit_hook) g_mapping.exit_hook = std::atexit(remove_at_exit) == 0;
    if (!g_abort_hook) {
      struct sigaction sa = {};
      sa.sa_handler = remove_on_abort;
      sigemptyset(&sa.sa_mask);
      g_abort_hook = sigaction(SIGABRT, &sa, &g_prev_abort) == 0;
    }
    std::snprintf(g_abort_path, sizeof g_abort_path, "%s", shm_path(name).c_str());
    std::snprintf(g_abort_aside, sizeof g_abort_aside, "%s", aside_path(".abort").c_str());
    g_abort_id = id;
    g_abort_owner.store(g_mapping.mapped_by);
  }
  g_pool_size.store(size, std::memory_order_relaxed);
  g_pool.store(hdr, std::memory_order_release);
}

int refuse(const char* name, const char* why) {
  std::fprintf(stderr, "zim_memory: cannot create the pool \"%s\": %s\n",
               zim_sim::printable(name).c_str(), why);
  errno = EEXIST;
  return -1;
}

constexpr char kNotAPool[] =
    "the name belongs to something that is not a pool of this version; it is left alone";

// Whether the file open on fd, of status st, is a complete pool of this
// version; facts gets its header.
bool is_pool(int fd, const struct stat& st, zim_sim::HeaderFacts* facts) {
  return S_ISREG(st.st_mode) && zim_sim::read_header_facts(fd, facts) &&
         zim_sim::is_complete_pool(*facts, static_cast<uint64_t>(st.st_size));
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
  zim_sim::HeaderFacts facts{};
  if (fstat(fd, &st) != 0) return done(-1);
  const bool pool = is_pool(fd, st, &facts);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) return done(-1);
    // Only complete pools are ever named, so a live one names its creator.
    if (!pool || facts.creator_pid <= 0) return done(refuse(name, kNotAPool));
    if (!last_try && kill(facts.creator_pid, 0) != 0 && errno == ESRCH) {
      usleep(1000);
      return done(0);
    }
    const std::string why =
        "the name belongs to the live pool of process " + std::to_string(facts.creator_pid);
    return done(refuse(name, why.c_str()));
  }
  // Checked again under the lock: another program may have rewritten the
  // file since.
  if (fstat(fd, &st) != 0 || !is_pool(fd, st, &facts)) return done(refuse(name, kNotAPool));
  // Stale: its creator is gone.
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

// Gives the complete pool open on fd the name `name`, first unlinking a stale
// pool of that name. 0, or -1 with errno: EEXIST, after a message, when a live
// pool or something that is not a pool has the name.
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

// A new, unnamed file in the shm folder, locked; -1 with errno: EOPNOTSUPP
// when the folder cannot hold unnamed files.
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

int init_lock(pthread_mutex_t* lock) {
  pthread_mutexattr_t attr;
  int rc = pthread_mutexattr_init(&attr);
  if (rc == 0) rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  if (rc == 0) rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  if (rc == 0) rc = pthread_mutex_init(lock, &attr);
  pthread_mutexattr_destroy(&attr);
  return rc;
}

}  // namespace

namespace zim_sim {

PoolHeader* mapped_pool() { return g_pool.load(std::memory_order_acquire); }

bool valid_pool_name(const char* name) {
  if (name == nullptr || name[0] != '/') return false;
  const size_t len = std::strlen(name);
  return len >= 2 && len <= kNameMax && std::strchr(name + 1, '/') == nullptr &&
         std::strcmp(name, "/.") != 0 && std::strcmp(name, "/..") != 0;
}

}  // namespace zim_sim

using zim_sim::PoolHeader;

extern "C" ZIM_SIM_API int zim_shm_pool_create(const char* name, uint64_t size) {
  if (!zim_sim::valid_pool_name(name) || size < ZIM_SHM_POOL_MIN_SIZE ||
      size > static_cast<uint64_t>(INT64_MAX)) {
    errno = EINVAL;
    return -1;
  }
  std::lock_guard<std::mutex> guard(g_control);
  if (!free_to_map()) return -1;
  // A creator that dies at any step before the pool has its name leaves
  // nothing behind: the unnamed file goes with its last descriptor.
  const int fd = open_unnamed();
  if (fd < 0) return -1;
  ZIM_POOL_KILL_POINT();
  void* map = MAP_FAILED;
  if (ftruncate(fd, static_cast<off_t>(size)) != 0 ||
      (map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)) == MAP_FAILED) {
    return fail(fd, map, size);
  }
  ZIM_POOL_KILL_POINT();

  // The fresh segment is all zeros, which is also the empty allocation state.
  auto* hdr = new (map) PoolHeader();
  hdr->version = zim_sim::kPoolVersion;
  hdr->creator_pid = static_cast<int32_t>(getpid());
  hdr->size = size;
  hdr->creator_base = reinterpret_cast<uintptr_t>(map);
  hdr->carve.store(ZIM_SHM_POOL_HEADER_SIZE, std::memory_order_relaxed);
  if (const int rc = init_lock(&hdr->lock); rc != 0) {
    errno = rc;
    return fail(fd, map, size);
  }
  ZIM_POOL_KILL_POINT();
  hdr->magic.store(zim_sim::kPoolMagic, std::memory_order_release);
  ZIM_POOL_KILL_POINT();
  if (claim_name(name, fd) != 0) return fail(fd, map, size);
  ZIM_POOL_KILL_POINT();
  FileId id{};
  file_id(fd, &id);  // fstat of a descriptor just used: cannot fail
  publish(hdr, size, id, name, fd);
  return 0;
}

extern "C" ZIM_SIM_API int zim_shm_pool_attach(const char* name) {
  if (!zim_sim::valid_pool_name(name)) {
    errno = EINVAL;
    return -1;
  }
  std::lock_guard<std::mutex> guard(g_control);
  if (!free_to_map()) return -1;
  // O_NONBLOCK: a FIFO planted under the name must not stop the caller.
  const int fd = shm_open(name, O_RDWR | O_NONBLOCK, 0);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0) return fail(fd, MAP_FAILED, 0);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (!S_ISREG(st.st_mode) || size < ZIM_SHM_POOL_MIN_SIZE) {
    errno = EINVAL;
    return fail(fd, MAP_FAILED, 0);
  }
  void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) return fail(fd, map, size);
  auto* hdr = static_cast<PoolHeader*>(map);
  if (!zim_sim::is_complete_pool(zim_sim::header_facts(hdr), size)) {
    errno = EINVAL;
    return fail(fd, map, size);
  }
  // Clients must see the pool at another address than the server so that
  // the pointer fix-up is exercised: while the creator's address is still
  // occupied by the first mapping, a second one necessarily lands elsewhere.
  if (reinterpret_cast<uintptr_t>(map) == hdr->creator_base) {
    void* again = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (again == MAP_FAILED) return fail(fd, map, size);
    munmap(map, size);
    map = again;
  }
  close(fd);
  publish(static_cast<PoolHeader*>(map), size, {st.st_dev, st.st_ino}, name, -1);
  return 0;
}

extern "C" ZIM_SIM_API void zim_shm_pool_detach(void) {
  std::lock_guard<std::mutex> guard(g_control);
  unmap(owns_name());
}

extern "C" ZIM_SIM_API int zim_shm_pool_destroy(void) {
  std::lock_guard<std::mutex> guard(g_control);
  if (g_mapping.hdr == nullptr || owns_name()) return unmap(true), 0;
  // A child's share of its parent's claim goes first: the claim is the parent's.
  if (g_mapping.lock_fd >= 0) close(g_mapping.lock_fd);
  g_mapping.lock_fd = -1;
  g_mapping.created = false;
  // Whether the owner lives is whether its lock on the segment is held.
  const int fd =
      open(shm_path(g_mapping.name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  FileId id{};
  if (fd < 0 || !file_id(fd, &id) || id.dev != g_mapping.id.dev || id.ino != g_mapping.id.ino) {
    const int err = errno;
    if (fd >= 0) close(fd);
    errno = err;
    if (fd < 0 && errno != ENOENT && errno != ELOOP) return -1;
    return unmap(false), 0;  // the name is gone or leads elsewhere: nothing of ours to remove
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    close(fd);
    if (err != EWOULDBLOCK) return errno = err, -1;
    std::fprintf(stderr,
                 "zim_memory: cannot destroy the pool \"%s\": it belongs to process %ld, which "
                 "is alive and removes it when it is done; detach instead\n",
                 zim_sim::printable(g_mapping.name).c_str(),
                 static_cast<long>(g_mapping.hdr->creator_pid));
    errno = EPERM;
    return -1;
  }
  remove_name_reporting(g_mapping.name, id);  // under the lock, as a creator would
  close(fd);
  return unmap(false), 0;
}

extern "C" ZIM_SIM_API const char* zim_shm_pool_name(void) {
  return zim_sim::mapped_pool() != nullptr ? g_mapping.name : nullptr;
}

extern "C" ZIM_SIM_API void* zim_shm_pool_base(void) { return zim_sim::mapped_pool(); }

// The readers below take the size from this process's mapping, not from the
// header, which any process of the pool's user can write.
extern "C" ZIM_SIM_API uint64_t zim_shm_pool_size(void) {
  return zim_sim::mapped_pool() != nullptr ? g_pool_size.load(std::memory_order_relaxed) : 0;
}

extern "C" ZIM_SIM_API uint64_t zim_shm_pool_offset_of(const void* p) {
  const PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr) return ZIM_SHM_POOL_BAD_OFFSET;
  const uintptr_t base = reinterpret_cast<uintptr_t>(hdr);
  const uintptr_t addr = reinterpret_cast<uintptr_t>(p);
  return addr >= base && addr - base < g_pool_size.load(std::memory_order_relaxed)
             ? addr - base
             : ZIM_SHM_POOL_BAD_OFFSET;
}

namespace {

// The end of the carved part: the carve point, but never past the start map.
uint64_t carved_end(const PoolHeader* hdr) {
  const uint64_t carve = hdr->carve.load(std::memory_order_acquire);
  const uint64_t map = zim_sim::start_map_offset(g_pool_size.load(std::memory_order_relaxed));
  return carve < map ? carve : map;
}

}  // namespace

extern "C" ZIM_SIM_API void* zim_shm_pool_at(uint64_t offset) {
  PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr || offset < ZIM_SHM_POOL_HEADER_SIZE || offset >= carved_end(hdr)) {
    return nullptr;
  }
  return reinterpret_cast<char*>(hdr) + offset;
}

extern "C" ZIM_SIM_API void* zim_shm_pool_block_at(uint64_t offset, uint32_t* table_id,
                                                   uint64_t* size) {
  PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr) return nullptr;
  const uint64_t end = carved_end(hdr);
  if (offset < ZIM_SHM_POOL_HEADER_SIZE + ZIM_SHM_POOL_BLOCK_HEADER_SIZE || offset >= end ||
      offset % ZIM_SHM_POOL_ALIGN != 0) {
    return nullptr;
  }
  const uint64_t word =
      zim_sim::start_word(hdr, g_pool_size.load(std::memory_order_relaxed), offset)
          .load(std::memory_order_acquire);
  if ((word & zim_sim::start_bit(offset)) == 0) return nullptr;
  // Written before the bit; checked all the same, as any byte of the segment.
  const zim_sim::BlockHeader& header =
      zim_sim::block_header_at(hdr, offset - ZIM_SHM_POOL_BLOCK_HEADER_SIZE);
  const uint64_t tag = header.tag.load(std::memory_order_relaxed);
  const uint64_t bytes = header.size.load(std::memory_order_relaxed);
  const auto id = static_cast<uint32_t>(tag >> 32);
  if (static_cast<uint32_t>(tag) != zim_sim::kBlockMagic ||
      zim_sim::region_of(id) >= zim_sim::kRegions || bytes == 0 || bytes > end - offset) {
    return nullptr;
  }
  if (table_id != nullptr) *table_id = id;
  if (size != nullptr) *size = bytes;
  return reinterpret_cast<char*>(hdr) + offset;
}

extern "C" ZIM_SIM_API void zim_shm_pool_set_root(uint64_t offset) {
  if (PoolHeader* hdr = zim_sim::mapped_pool()) hdr->root.store(offset, std::memory_order_release);
}

extern "C" ZIM_SIM_API uint64_t zim_shm_pool_root(void) {
  const PoolHeader* hdr = zim_sim::mapped_pool();
  return hdr != nullptr ? hdr->root.load(std::memory_order_acquire) : 0;
}

extern "C" ZIM_SIM_API uint32_t zim_shm_pool_next_uid(void) {
  PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr) return 0;
  return hdr->next_uid.fetch_add(1, std::memory_order_relaxed) % 0x7fffffffu + 1;
}
