// SPDX-License-Identifier: Apache-2.0
// libzim_memory: creating, attaching and detaching the pool's mapping, and
// the accessors of the mapped pool. Which names a process may
// take or remove, and how, is shm_names.cpp's business; who owns a pool, and
// how it passes on, is shm_pool_owner.cpp's.

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

#include "attach/attach_locks.hpp"
#include "names/mapping.hpp"
#include "names/names.hpp"
#include "platform/env.hpp"
#include "records/pool_records.hpp"
#include "segment/segment.hpp"

namespace zim_sim {

std::mutex g_control;
Mapping g_mapping{nullptr, 0, {}, 0, -1, false, false, false, {}};

namespace {

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

}  // namespace

// Failure exit of the system-call sequences below: keeps errno for the caller.
int fail(int fd, void* map, uint64_t size) {
  const int err = errno;
  if (map != MAP_FAILED) munmap(map, size);
  if (fd >= 0) close(fd);
  errno = err;
  return -1;
}

// Unmaps the pool, first removing its name if remove (the caller holds the
// segment's lock then), and gives up the segment's descriptor and its lock.
void unmap(bool remove) {
  if (g_mapping.hdr == nullptr) return;
  g_pool.store(nullptr, std::memory_order_release);
  g_abort_owner.store(0);
  munmap(g_mapping.hdr, g_mapping.size);
  if (remove) remove_name_reporting(g_mapping.name, g_mapping.id);
  if (g_mapping.fd >= 0) close(g_mapping.fd);
  g_mapping.fd = -1;
  g_mapping.hdr = nullptr;
  g_mapping.size = 0;
  g_mapping.owner = false;
  g_mapping.removes_name = false;
  g_mapping.name[0] = '\0';
}

namespace {

// A mapping inherited through fork is the parent's business: give it up
// without unlinking so that this process can map a pool of its own.
void drop_inherited() {
  if (g_mapping.hdr != nullptr && g_mapping.mapped_by != getpid()) unmap(false);
}

}  // namespace

// Whether this process may map a pool now (the caller holds g_control);
// sets EBUSY when it already maps one of its own.
bool free_to_map() {
  drop_inherited();
  if (g_mapping.hdr == nullptr) return true;
  errno = EBUSY;
  return false;
}

bool owns_pool() { return g_mapping.owner && g_mapping.mapped_by == getpid(); }
bool owns_name() { return g_mapping.removes_name && g_mapping.mapped_by == getpid(); }

namespace {

void remove_at_exit() {
  std::lock_guard<std::mutex> guard(g_control);
  if (g_mapping.hdr != nullptr && owns_name()) {
    // The mapping itself may still be in use by other exit-time code.
    g_abort_owner.store(0);
    remove_name_reporting(g_mapping.name, g_mapping.id);
    g_mapping.removes_name = false;
  }
}

}  // namespace

// fd: the segment, holding the owner's flock or the attacher's attach lock.
void publish(zim_sim::PoolHeader* hdr, uint64_t size, FileId id, const char* name, int fd,
             Role role) {
  g_mapping.hdr = hdr;
  g_mapping.size = size;
  g_mapping.id = id;
  g_mapping.mapped_by = getpid();
  g_mapping.fd = fd;
  g_mapping.owner = role != Role::kAttacher;
  g_mapping.removes_name = role == Role::kCreator;
  std::strcpy(g_mapping.name, name);
  if (g_mapping.removes_name) {
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
  zim_sim::forget_checked_layouts();
  g_pool_size.store(size, std::memory_order_relaxed);
  g_pool.store(hdr, std::memory_order_release);
}

namespace {

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

// The pool `name`, mapped at another address than its creator's, and its
// segment's descriptor, size and identity; -1 with errno (EINVAL: not a
// complete pool of this version).
int map_existing(const char* name, Segment* seg) {
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
  if (!zim_sim::is_complete_pool(zim_sim::header_facts(static_cast<zim_sim::PoolHeader*>(map)),
                                 size)) {
    errno = EINVAL;
    return fail(fd, map, size);
  }
  // Clients must see the pool at another address than the server so that
  // the pointer fix-up is exercised: while the creator's address is still
  // occupied by the first mapping, a second one necessarily lands elsewhere.
  if (reinterpret_cast<uintptr_t>(map) == static_cast<zim_sim::PoolHeader*>(map)->creator_base) {
    void* again = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (again == MAP_FAILED) return fail(fd, map, size);
    munmap(map, size);
    map = again;
  }
  *seg = {fd, map, size, {st.st_dev, st.st_ino}};
  return 0;
}

PoolHeader* mapped_pool() { return g_pool.load(std::memory_order_acquire); }

bool valid_pool_name(const char* name) {
  if (name == nullptr || name[0] != '/') return false;
  const size_t len = std::strlen(name);
  return len >= 2 && len <= kNameMax && std::strchr(name + 1, '/') == nullptr &&
         std::strcmp(name, "/.") != 0 && std::strcmp(name, "/..") != 0;
}

}  // namespace zim_sim

namespace {

using zim_sim::claim_name;
using zim_sim::fail;
using zim_sim::file_id;
using zim_sim::FileId;
using zim_sim::free_to_map;
using zim_sim::g_control;
using zim_sim::g_mapping;
using zim_sim::g_pool_size;
using zim_sim::init_lock;
using zim_sim::map_existing;
using zim_sim::open_unnamed;
using zim_sim::owns_name;
using zim_sim::owns_pool;
using zim_sim::publish;
using zim_sim::Role;
using zim_sim::Segment;
using zim_sim::unmap;

}  // namespace

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
  hdr->owner_pid.store(hdr->creator_pid, std::memory_order_relaxed);
  hdr->size = size;
  hdr->creator_base = reinterpret_cast<uintptr_t>(map);
  hdr->carve.store(ZIM_SHM_POOL_HEADER_SIZE, std::memory_order_relaxed);
  if (const int rc = init_lock(&hdr->lock); rc != 0) {
    errno = rc;
    return fail(fd, map, size);
  }
  if (!zim_sim::write_config(hdr, size)) return fail(fd, map, size);
  ZIM_POOL_KILL_POINT();
  hdr->magic.store(zim_sim::kPoolMagic, std::memory_order_release);
  ZIM_POOL_KILL_POINT();
  if (claim_name(name, fd) != 0) return fail(fd, map, size);
  ZIM_POOL_KILL_POINT();
  FileId id{};
  file_id(fd, &id);  // fstat of a descriptor just used: cannot fail
  publish(hdr, size, id, name, fd, Role::kCreator);
  return 0;
}

extern "C" ZIM_SIM_API int zim_shm_pool_attach(const char* name) {
  if (!zim_sim::valid_pool_name(name)) {
    errno = EINVAL;
    return -1;
  }
  std::lock_guard<std::mutex> guard(g_control);
  if (!free_to_map()) return -1;
  Segment seg{};
  if (map_existing(name, &seg) != 0) return -1;
  auto* hdr = static_cast<PoolHeader*>(seg.map);
  // Locked before the handshake takes the pool's lock, and moved to the
  // epoch that stands under it: whoever reads the locks under the pool's lock
  // (a migration) sees every attacher that passed the handshake.
  uint32_t epoch = hdr->epoch.load(std::memory_order_acquire);
  if (!zim_sim::lock_attach(seg.fd, epoch)) return fail(seg.fd, seg.map, seg.size);
  const int err = zim_sim::handshake(hdr, seg.size, name, zim_sim::Handshake::kAttach, [&] {
    const uint32_t now = hdr->epoch.load(std::memory_order_acquire);
    if (!zim_sim::move_attach_lock(seg.fd, epoch, now)) return errno;
    epoch = now;
    return 0;
  });
  if (err != 0) return errno = err, fail(seg.fd, seg.map, seg.size);
  publish(hdr, seg.size, seg.id, name, seg.fd, Role::kAttacher);
  return 0;
}

extern "C" ZIM_SIM_API void zim_shm_pool_detach(void) {
  std::lock_guard<std::mutex> guard(g_control);
  unmap(owns_name());
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
  if (static_cast<uint32_t>(tag) != zim_sim::kBlockMagic || !zim_sim::known_tag(id) || bytes == 0 ||
      bytes > end - offset) {
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
