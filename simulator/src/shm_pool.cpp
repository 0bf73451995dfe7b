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
// a pool of its name unlinks it first. Whoever unlinks a name does so while
// holding the lock of the segment behind it and after checking that the name
// still leads there; so two processes racing for a name end with one pool, a
// live pool's name is never taken, and what is not a pool is never removed.

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

// This process's mapping. Guarded by g_control; g_pool mirrors hdr for the
// lock-free readers.
struct Mapping {
  zim_sim::PoolHeader* hdr;
  uint64_t size;
  pid_t mapped_by;  // another pid than ours: inherited through fork
  int lock_fd;      // the creator's locked descriptor of the segment, or -1
  bool created;     // mapped_by created the segment and unlinks it
  bool exit_hook;   // the at-exit unlink is registered
  char name[kNameMax + 1];
};

std::mutex g_control;
Mapping g_mapping{nullptr, 0, 0, -1, false, false, {}};
std::atomic<zim_sim::PoolHeader*> g_pool{nullptr};

// For the SIGABRT handler: the pool this process created and has not yet
// unlinked. g_abort_owner is 0 while g_abort_name changes.
std::atomic<pid_t> g_abort_owner{0};
char g_abort_name[kNameMax + 1];
struct sigaction g_prev_abort;
bool g_abort_hook = false;
static_assert(std::atomic<pid_t>::is_always_lock_free, "read in a signal handler");

// A stop on a report (abort) runs no exit handlers: remove this process's
// pool, then let the signal take its course.
void unlink_on_abort(int sig) {
  if (g_abort_owner.load() == getpid()) shm_unlink(g_abort_name);
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

void unmap(bool unlink) {
  if (g_mapping.hdr == nullptr) return;
  g_pool.store(nullptr, std::memory_order_release);
  g_abort_owner.store(0);
  munmap(g_mapping.hdr, g_mapping.size);
  if (unlink) shm_unlink(g_mapping.name);  // still holding the lock, if ours
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

void unlink_at_exit() {
  std::lock_guard<std::mutex> guard(g_control);
  if (g_mapping.hdr != nullptr && g_mapping.created && g_mapping.mapped_by == getpid()) {
    // The mapping itself may still be in use by other exit-time code.
    shm_unlink(g_mapping.name);
    g_mapping.created = false;
  }
}

// lock_fd >= 0: this process created the pool and holds its lock.
void publish(zim_sim::PoolHeader* hdr, uint64_t size, const char* name, int lock_fd) {
  g_mapping.hdr = hdr;
  g_mapping.size = size;
  g_mapping.mapped_by = getpid();
  g_mapping.lock_fd = lock_fd;
  g_mapping.created = lock_fd >= 0;
  std::strcpy(g_mapping.name, name);
  if (g_mapping.created) {
    if (!g_mapping.exit_hook) g_mapping.exit_hook = std::atexit(unlink_at_exit) == 0;
    if (!g_abort_hook) {
      struct sigaction sa = {};
      sa.sa_handler = unlink_on_abort;
      sigemptyset(&sa.sa_mask);
      g_abort_hook = sigaction(SIGABRT, &sa, &g_prev_abort) == 0;
    }
    std::strcpy(g_abort_name, name);
    g_abort_owner.store(g_mapping.mapped_by);
  }
  g_pool.store(hdr, std::memory_order_release);
}

constexpr char kShmDir[] = "/dev/shm";  // where shm_open keeps its segments

std::string shm_path(const char* name) { return std::string(kShmDir) + name; }

// Whether `name` leads to the file open on fd.
bool name_leads_to(const char* name, int fd) {
  struct stat a, b;
  return fstat(fd, &a) == 0 &&
         fstatat(AT_FDCWD, shm_path(name).c_str(), &b, AT_SYMLINK_NOFOLLOW) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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
  if (name_leads_to(name, fd)) unlink(shm_path(name).c_str());  // stale: its creator is gone
  return done(0);
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
  publish(hdr, size, name, fd);
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
  publish(static_cast<PoolHeader*>(map), size, name, -1);
  return 0;
}

extern "C" ZIM_SIM_API void zim_shm_pool_detach(void) {
  std::lock_guard<std::mutex> guard(g_control);
  unmap(g_mapping.created && g_mapping.mapped_by == getpid());
}

extern "C" ZIM_SIM_API void zim_shm_pool_destroy(void) {
  std::lock_guard<std::mutex> guard(g_control);
  unmap(true);
}

extern "C" ZIM_SIM_API const char* zim_shm_pool_name(void) {
  return zim_sim::mapped_pool() != nullptr ? g_mapping.name : nullptr;
}

extern "C" ZIM_SIM_API void* zim_shm_pool_base(void) { return zim_sim::mapped_pool(); }

extern "C" ZIM_SIM_API uint64_t zim_shm_pool_size(void) {
  const PoolHeader* hdr = zim_sim::mapped_pool();
  return hdr != nullptr ? hdr->size : 0;
}

extern "C" ZIM_SIM_API uint64_t zim_shm_pool_offset_of(const void* p) {
  const PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr) return ZIM_SHM_POOL_BAD_OFFSET;
  const uintptr_t base = reinterpret_cast<uintptr_t>(hdr);
  const uintptr_t addr = reinterpret_cast<uintptr_t>(p);
  return addr >= base && addr - base < hdr->size ? addr - base : ZIM_SHM_POOL_BAD_OFFSET;
}

extern "C" ZIM_SIM_API void* zim_shm_pool_at(uint64_t offset) {
  PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr || offset >= hdr->size) return nullptr;
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
