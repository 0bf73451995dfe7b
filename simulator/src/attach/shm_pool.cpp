// SPDX-License-Identifier: Apache-2.0
// libzim_memory: creating a pool, attaching to one and detaching, and the
// accessors of the mapped pool. Which names a process may take or remove, and
// how, is names/shm_names.cpp's business; this process's mapping and what it
// owns, names/mapping.cpp's; who owns a pool, and how it passes on,
// names/shm_pool_owner.cpp's.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <new>

#include "attach/attach.hpp"
#include "attach/attach_locks.hpp"
#include "names/mapping.hpp"
#include "names/names.hpp"
#include "records/pool_records.hpp"
#include "segment/segment.hpp"
#include "versions/pool_news.hpp"

namespace zim_sim {

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
using zim_sim::open_unnamed;
using zim_sim::owns_name;
using zim_sim::publish;
using zim_sim::Role;
using zim_sim::Segment;
using zim_sim::unmap;

}  // namespace

using zim_sim::PoolHeader;

int zim_sim::create_pool(const char* name, uint64_t size, const PrepareHeader& prepare) {
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
  if (prepare && !prepare(hdr)) return fail(fd, map, size);
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

extern "C" ZIM_SIM_API int zim_shm_pool_create(const char* name, uint64_t size) {
  return zim_sim::create_pool(name, size, nullptr);
}

extern "C" ZIM_SIM_API int zim_shm_pool_attach(const char* name) {
  // Locked before the handshake takes the pool's lock, and moved to the
  // epoch that stands under it: whoever reads the locks under the pool's lock
  // (a migration) sees every attacher that passed the handshake.
  uint32_t epoch = 0;
  const auto epoch_of = [](const Segment& seg) {
    return static_cast<PoolHeader*>(seg.map)->epoch.load(std::memory_order_acquire);
  };
  return zim_sim::join_pool(
      name, Role::kAttacher,
      [&](const Segment& seg) {
        epoch = epoch_of(seg);
        return zim_sim::lock_attach(seg.fd, epoch) ? 0 : -1;
      },
      [&](const Segment& seg) {
        const uint32_t now = epoch_of(seg);
        if (!zim_sim::move_attach_lock(seg.fd, epoch, now)) return errno;
        epoch = now;
        return 0;
      });
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
  bool follower = false;
  {
    std::lock_guard<std::mutex> guard(zim_sim::g_control);
    follower = g_mapping.follower;
  }
  if (follower) return;  // a follower writes nothing of the pool's
  if (PoolHeader* hdr = zim_sim::mapped_pool()) zim_sim::set_root_announced(hdr, offset);
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
