// libzim_memory: walking the blocks of a pool through their headers, for
// tools that inspect a pool, possibly one that another process still uses or
// that holds damage.
//
// The walk trusts nothing in the segment: the carve point is checked against
// the segment's real size and a block header only counts when its block ends
// before the carve point, so every line it reads lies inside the mapping.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "pool.hpp"

namespace {

using zim_sim::BlockHeader;
using zim_sim::PoolHeader;

using Visit = int (*)(const zim_shm_pool_piece_t* piece, void* context);

constexpr uint64_t kLine = ZIM_SHM_POOL_ALIGN;

// Walks [ZIM_SHM_POOL_HEADER_SIZE, carve) of the pool at base, line by line;
// carve is aligned and at most the mapping's size.
int walk(const char* base, uint64_t carve, Visit visit, void* context) {
  const uint64_t root =
      reinterpret_cast<const PoolHeader*>(base)->root.load(std::memory_order_acquire);
  uint64_t damage = 0;  // start of the unrecognised bytes before pos, 0 for none
  const auto report = [&](uint64_t offset, uint64_t size, uint32_t table_id) {
    const uint32_t is_root = table_id != ZIM_SHM_POOL_DAMAGED && offset == root ? 1 : 0;
    const zim_shm_pool_piece_t piece{offset, size, table_id, is_root, base + offset};
    return visit(&piece, context);
  };
  for (uint64_t pos = ZIM_SHM_POOL_HEADER_SIZE; pos < carve;) {
    const auto& line = *reinterpret_cast<const BlockHeader*>(base + pos);
    const uint64_t tag = line.tag.load(std::memory_order_acquire);
    const uint64_t size = line.size.load(std::memory_order_relaxed);
    const uint64_t room = carve - pos - ZIM_SHM_POOL_BLOCK_HEADER_SIZE;  // carve - pos >= kLine
    const bool block = static_cast<uint32_t>(tag) == zim_sim::kBlockMagic &&
                       tag >> 32 < ZIM_NUM_TABLE_TYPES && size != 0 && size <= room;
    if (!block && (tag != 0 || size != 0)) {
      if (damage == 0) damage = pos;
      pos += kLine;
      continue;
    }
    if (damage != 0) {
      if (const int rc = report(damage, pos - damage, ZIM_SHM_POOL_DAMAGED)) return rc;
      damage = 0;
    }
    if (!block) {  // free space
      pos += kLine;
      continue;
    }
    // room is a multiple of kLine, so the rounded size fits too.
    pos += ZIM_SHM_POOL_BLOCK_HEADER_SIZE;
    if (const int rc = report(pos, size, static_cast<uint32_t>(tag >> 32))) return rc;
    pos += (size + kLine - 1) & ~(kLine - 1);
  }
  return damage != 0 ? report(damage, carve - damage, ZIM_SHM_POOL_DAMAGED) : 0;
}

// The carve point of the pool at hdr, mapped with `size` bytes; 0 when the
// segment is not a complete pool of this version (a segment still being
// created has no magic yet, a truncated one is smaller than its header says)
// or its carve point is out of place.
uint64_t checked_carve(const PoolHeader* hdr, uint64_t size) {
  if (hdr->magic.load(std::memory_order_acquire) != zim_sim::kPoolMagic ||
      hdr->version != zim_sim::kPoolVersion || hdr->size != size) {
    return 0;
  }
  const uint64_t carve = hdr->carve.load(std::memory_order_acquire);
  return carve >= ZIM_SHM_POOL_HEADER_SIZE && carve <= size && carve % kLine == 0 ? carve : 0;
}

int fail(int err) {
  errno = err;
  return -1;
}

}  // namespace

extern "C" ZIM_SIM_API int zim_shm_pool_walk(const char* name, Visit visit, void* context) {
  if (!zim_sim::valid_pool_name(name) || visit == nullptr) return fail(EINVAL);
  const int fd = shm_open(name, O_RDONLY, 0);
  if (fd < 0) return -1;
  struct stat st;
  void* map = MAP_FAILED;
  int err = EINVAL;
  if (fstat(fd, &st) != 0) {
    err = errno;
  } else if (static_cast<uint64_t>(st.st_size) >= ZIM_SHM_POOL_MIN_SIZE) {
    map = mmap(nullptr, static_cast<uint64_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    err = errno;
  }
  close(fd);
  if (map == MAP_FAILED) return fail(err);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const uint64_t carve = checked_carve(static_cast<const PoolHeader*>(map), size);
  const int rc = carve != 0 ? walk(static_cast<const char*>(map), carve, visit, context) : 0;
  munmap(map, size);
  return carve != 0 ? rc : fail(EINVAL);
}

extern "C" ZIM_SIM_API int zim_shm_pool_walk_mapped(Visit visit, void* context) {
  const PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr) return fail(ENOENT);
  const uint64_t carve = visit != nullptr ? checked_carve(hdr, hdr->size) : 0;
  if (carve == 0) return fail(EINVAL);
  return walk(reinterpret_cast<const char*>(hdr), carve, visit, context);
}
