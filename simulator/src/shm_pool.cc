// libzim_memory: creating, attaching and releasing the pool's mapping, and the
// accessors of the mapped pool.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "pool.h"

namespace {

constexpr size_t kNameMax = 255;  // "/" and 254 more, as the kernel allows

// This process's mapping. Guarded by g_control; g_pool mirrors hdr for the
// lock-free readers.
struct Mapping {
  zim_sim::PoolHeader *hdr;
  uint64_t size;
  pid_t mapped_by;  // another pid than ours: inherited through fork
  bool created;     // mapped_by created the segment and unlinks it
  bool exit_hook;   // the at-exit unlink is registered
  char name[kNameMax + 1];
};

std::mutex g_control;
Mapping g_mapping;
std::atomic<zim_sim::PoolHeader *> g_pool{nullptr};

// Failure exit of the system-call sequences below: keeps errno for the caller.
int Fail(int fd, void *map, uint64_t size) {
  const int err = errno;
  if (map != MAP_FAILED) munmap(map, size);
  if (fd >= 0) close(fd);
  errno = err;
  return -1;
}

void Unmap(bool unlink) {
  if (g_mapping.hdr == nullptr) return;
  g_pool.store(nullptr, std::memory_order_release);
  munmap(g_mapping.hdr, g_mapping.size);
  if (unlink) shm_unlink(g_mapping.name);
  g_mapping.hdr = nullptr;
  g_mapping.size = 0;
  g_mapping.created = false;
  g_mapping.name[0] = '\0';
}

// A mapping inherited through fork is the parent's business: give it up
// without unlinking so that this process can map a pool of its own.
void DropInherited() {
  if (g_mapping.hdr != nullptr && g_mapping.mapped_by != getpid()) Unmap(false);
}

// Whether this process may map a pool now (the caller holds g_control);
// sets EBUSY when it already maps one of its own.
bool FreeToMap() {
  DropInherited();
  if (g_mapping.hdr == nullptr) return true;
  errno = EBUSY;
  return false;
}

void UnlinkAtExit() {
  std::lock_guard<std::mutex> guard(g_control);
  if (g_mapping.hdr != nullptr && g_mapping.created && g_mapping.mapped_by == getpid()) {
    // The mapping itself may still be in use by other exit-time code.
    shm_unlink(g_mapping.name);
    g_mapping.created = false;
  }
}

void Publish(zim_sim::PoolHeader *hdr, uint64_t size, const char *name, bool created) {
  g_mapping.hdr = hdr;
  g_mapping.size = size;
  g_mapping.mapped_by = getpid();
  g_mapping.created = created;
  std::strcpy(g_mapping.name, name);
  if (created && !g_mapping.exit_hook) g_mapping.exit_hook = std::atexit(UnlinkAtExit) == 0;
  g_pool.store(hdr, std::memory_order_release);
}

int InitLock(pthread_mutex_t *lock) {
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

PoolHeader *MappedPool() { return g_pool.load(std::memory_order_acquire); }

bool ValidPoolName(const char *name) {
  if (name == nullptr || name[0] != '/') return false;
  const size_t len = std::strlen(name);
  return len >= 2 && len <= kNameMax && std::strchr(name + 1, '/') == nullptr;
}

}  // namespace zim_sim

using zim_sim::PoolHeader;

extern "C" ZIM_SIM_API int zim_shm_pool_create(const char *name, uint64_t size) {
  if (!zim_sim::ValidPoolName(name) || size < ZIM_SHM_POOL_MIN_SIZE ||
      size > static_cast<uint64_t>(INT64_MAX)) {
    errno = EINVAL;
    return -1;
  }
  std::lock_guard<std::mutex> guard(g_control);
  if (!FreeToMap()) return -1;
  shm_unlink(name);  // a segment of a process that did not exit normally
  const int fd = shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd < 0) return -1;
  void *map = MAP_FAILED;
  if (ftruncate(fd, static_cast<off_t>(size)) != 0 ||
      (map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)) == MAP_FAILED) {
    const int rc = Fail(fd, map, size);
    shm_unlink(name);
    return rc;
  }
  close(fd);

  // The fresh segment is all zeros, which is also the empty allocation state.
  auto *hdr = new (map) PoolHeader();
  hdr->version = zim_sim::kPoolVersion;
  hdr->size = size;
  hdr->creator_base = reinterpret_cast<uintptr_t>(map);
  hdr->carve = ZIM_SHM_POOL_HEADER_SIZE;
  if (const int rc = InitLock(&hdr->lock); rc != 0) {
    munmap(map, size);
    shm_unlink(name);
    errno = rc;
    return -1;
  }
  hdr->magic.store(zim_sim::kPoolMagic, std::memory_order_release);
  Publish(hdr, size, name, true);
  return 0;
}

extern "C" ZIM_SIM_API int zim_shm_pool_attach(const char *name) {
  if (!zim_sim::ValidPoolName(name)) {
    errno = EINVAL;
    return -1;
  }
  std::lock_guard<std::mutex> guard(g_control);
  if (!FreeToMap()) return -1;
  const int fd = shm_open(name, O_RDWR, 0);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0) return Fail(fd, MAP_FAILED, 0);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size < ZIM_SHM_POOL_MIN_SIZE) {
    errno = EINVAL;
    return Fail(fd, MAP_FAILED, 0);
  }
  void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) return Fail(fd, map, size);
  auto *hdr = static_cast<PoolHeader *>(map);
  if (hdr->magic.load(std::memory_order_acquire) != zim_sim::kPoolMagic ||
      hdr->version != zim_sim::kPoolVersion || hdr->size != size) {
    errno = EINVAL;
    return Fail(fd, map, size);
  }
  // Clients must see the pool at another address than the server so that
  // the pointer fix-up is exercised: while the creator's address is still
  // occupied by the first mapping, a second one necessarily lands elsewhere.
  if (reinterpret_cast<uintptr_t>(map) == hdr->creator_base) {
    void *again = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (again == MAP_FAILED) return Fail(fd, map, size);
    munmap(map, size);
    map = again;
  }
  close(fd);
  Publish(static_cast<PoolHeader *>(map), size, name, false);
  return 0;
}

extern "C" ZIM_SIM_API void zim_shm_pool_detach(void) {
  std::lock_guard<std::mutex> guard(g_control);
  Unmap(g_mapping.created && g_mapping.mapped_by == getpid());
}

extern "C" ZIM_SIM_API void zim_shm_pool_destroy(void) {
  std::lock_guard<std::mutex> guard(g_control);
  Unmap(true);
}

extern "C" ZIM_SIM_API const char *zim_shm_pool_name(void) {
  return zim_sim::MappedPool() != nullptr ? g_mapping.name : nullptr;
}

extern "C" ZIM_SIM_API void *zim_shm_pool_base(void) { return zim_sim::MappedPool(); }

extern "C" ZIM_SIM_API uint64_t zim_shm_pool_size(void) {
  const PoolHeader *hdr = zim_sim::MappedPool();
  return hdr != nullptr ? hdr->size : 0;
}

extern "C" ZIM_SIM_API uint64_t zim_shm_pool_offset_of(const void *p) {
  const PoolHeader *hdr = zim_sim::MappedPool();
  if (hdr == nullptr) return ZIM_SHM_POOL_BAD_OFFSET;
  const uintptr_t base = reinterpret_cast<uintptr_t>(hdr);
  const uintptr_t addr = reinterpret_cast<uintptr_t>(p);
  return addr >= base && addr - base < hdr->size ? addr - base : ZIM_SHM_POOL_BAD_OFFSET;
}

extern "C" ZIM_SIM_API void *zim_shm_pool_at(uint64_t offset) {
  PoolHeader *hdr = zim_sim::MappedPool();
  if (hdr == nullptr || offset >= hdr->size) return nullptr;
  return reinterpret_cast<char *>(hdr) + offset;
}

extern "C" ZIM_SIM_API void zim_shm_pool_set_root(uint64_t offset) {
  if (PoolHeader *hdr = zim_sim::MappedPool()) hdr->root.store(offset, std::memory_order_release);
}

extern "C" ZIM_SIM_API uint64_t zim_shm_pool_root(void) {
  const PoolHeader *hdr = zim_sim::MappedPool();
  return hdr != nullptr ? hdr->root.load(std::memory_order_acquire) : 0;
}

extern "C" ZIM_SIM_API int zim_shm_pool_next_uid(uint32_t *out) {
  PoolHeader *hdr = zim_sim::MappedPool();
  if (hdr == nullptr) return 0;
  const uint32_t n = hdr->next_uid.fetch_add(1, std::memory_order_relaxed);
  *out = n % 0x7fffffffu + 1;
  return 1;
}
