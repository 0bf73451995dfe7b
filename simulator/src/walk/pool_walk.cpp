// SPDX-License-Identifier: Apache-2.0
// libzim_memory: walking the blocks of a pool through their headers, for
// tools that inspect a pool, possibly one that another process still uses or
// that holds damage.
//
// The walk trusts nothing in the segment: the carve point is checked against
// the segment's real size and a block header only counts when its block ends
// before the carve point. A walk by name reads the segment with pread, never
// through a mapping: a segment cut short meanwhile (by its owner or anybody
// with write access) makes a read come back short, which ends the walk with
// ENODATA, where a mapping would raise SIGBUS in the walker.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "names/names.hpp"
#include "segment/segment.hpp"
#include "walk/walk.hpp"

namespace {

using zim_sim::BlockHeader;
using zim_sim::facts_from;
using zim_sim::HeaderFacts;
using zim_sim::kFactsBytes;
using zim_sim::PoolHeader;

using Visit = int (*)(const zim_shm_pool_piece_t* piece, void* context);

constexpr uint64_t kLine = ZIM_SHM_POOL_ALIGN;
constexpr uint64_t kWindow = 64 * 1024;  // of lines read ahead; a multiple of kLine

int fail(int err) {
  errno = err;
  return -1;
}

// The pool this process maps, read in place.
class MappedSource {
 public:
  explicit MappedSource(const char* base) : base_(base) {}
  bool line(uint64_t pos, uint64_t* tag, uint64_t* size) {
    const auto& header = *reinterpret_cast<const BlockHeader*>(base_ + pos);
    *tag = header.tag.load(std::memory_order_acquire);
    *size = header.size.load(std::memory_order_relaxed);
    return true;
  }
  const void* data(uint64_t offset, uint64_t) { return base_ + offset; }
  bool read(uint64_t offset, uint64_t size, void* to) {
    std::memcpy(to, base_ + offset, size);
    return true;
  }

 private:
  const char* base_;
};

// A segment read through a window of lines and, for a block that the window
// does not hold, a buffer as large as the largest block so far: the memory a
// walk takes is bounded by its largest block, not by the pool (and is the
// window alone when the visits read what they need instead).
class ReadSource {
 public:
  ReadSource(int fd, uint64_t end) : fd_(fd), end_(end) {}
  bool line(uint64_t pos, uint64_t* tag, uint64_t* size) {
    if (pos < start_ || pos + kLine > start_ + len_) {
      if (window_ == nullptr) window_.reset(new (std::nothrow) unsigned char[kWindow]);
      if (window_ == nullptr) {
        errno = ENOMEM;
        return false;
      }
      start_ = pos;
      len_ = end_ - pos < kWindow ? end_ - pos : kWindow;  // whole lines: pos and end_ aligned
      if (!zim_sim::read_at(fd_, window_.get(), len_, pos)) {
        len_ = 0;
        return false;
      }
    }
    std::memcpy(tag, window_.get() + (pos - start_), sizeof *tag);
    std::memcpy(size, window_.get() + (pos - start_) + sizeof *tag, sizeof *size);
    return true;
  }
  const void* data(uint64_t offset, uint64_t size) {
    if (in_window(offset, size)) return window_.get() + (offset - start_);
    if (size > capacity_) {
      block_.reset(new (std::nothrow) unsigned char[size]);
      capacity_ = block_ != nullptr ? size : 0;
      if (block_ == nullptr) {
        errno = ENOMEM;
        return nullptr;
      }
    }
    return zim_sim::read_at(fd_, block_.get(), size, offset) ? block_.get() : nullptr;
  }
  bool read(uint64_t offset, uint64_t size, void* to) {
    if (!in_window(offset, size)) return zim_sim::read_at(fd_, to, size, offset);
    std::memcpy(to, window_.get() + (offset - start_), size);
    return true;
  }

 private:
  bool in_window(uint64_t offset, uint64_t size) const {
    return offset >= start_ && offset - start_ <= len_ && size <= len_ - (offset - start_);
  }
  int fd_;
  uint64_t end_;
  std::unique_ptr<unsigned char[]> window_;
  uint64_t start_ = 0, len_ = 0;  // of the window's bytes in the segment
  std::unique_ptr<unsigned char[]> block_;
  uint64_t capacity_ = 0;
};

// The piece being visited on this thread, which zim_shm_pool_piece_read reads.
struct Visiting {
  const zim_shm_pool_piece_t* piece;
  bool (*read)(void* source, uint64_t offset, uint64_t size, void* to);
  void* source;
};
thread_local const Visiting* t_visiting = nullptr;

// Walks [ZIM_SHM_POOL_HEADER_SIZE, carve) line by line; carve is aligned and
// at most the segment's size. Pieces get their bytes when with_data is set.
// -1 with errno when the source cannot be read.
template <typename Source>
int walk(Source& source, uint64_t carve, uint64_t root, bool with_data, Visit visit,
         void* context) {
  uint64_t damage = 0;  // start of the unrecognised bytes before pos, 0 for none
  const auto report = [&](uint64_t offset, uint64_t size, uint32_t table_id, uint32_t retired) {
    const void* data = with_data ? source.data(offset, size) : nullptr;
    if (with_data && data == nullptr) return -1;
    const uint32_t is_root = table_id != ZIM_SHM_POOL_DAMAGED && offset == root ? 1 : 0;
    const zim_shm_pool_piece_t piece{offset, size, table_id, is_root, data, retired, 0};
    const auto read = [](void* s, uint64_t at, uint64_t n, void* to) {
      return static_cast<Source*>(s)->read(at, n, to);
    };
    const Visiting visiting{&piece, read, &source};
    const Visiting* const outer = t_visiting;  // a visit may walk another pool
    t_visiting = &visiting;
    const int rc = visit(&piece, context);
    t_visiting = outer;
    return rc;
  };
  for (uint64_t pos = ZIM_SHM_POOL_HEADER_SIZE; pos < carve;) {
    uint64_t tag = 0, size = 0;
    if (!source.line(pos, &tag, &size)) return -1;
    const uint64_t room = carve - pos - ZIM_SHM_POOL_BLOCK_HEADER_SIZE;  // carve - pos >= kLine
    const bool retired = static_cast<uint32_t>(tag) == zim_sim::kRetiredMagic;
    const bool block = zim_sim::names_block(tag, size, room);
    if (!block && (tag != 0 || size != 0)) {
      if (damage == 0) damage = pos;
      pos += kLine;
      continue;
    }
    if (damage != 0) {
      if (const int rc = report(damage, pos - damage, ZIM_SHM_POOL_DAMAGED, 0)) return rc;
      damage = 0;
    }
    if (!block) {  // free space
      pos += kLine;
      continue;
    }
    // room is a multiple of kLine, so the rounded size fits too.
    pos += ZIM_SHM_POOL_BLOCK_HEADER_SIZE;
    if (const int rc = report(pos, size, static_cast<uint32_t>(tag >> 32), retired ? 1 : 0)) {
      return rc;
    }
    pos += (size + kLine - 1) & ~(kLine - 1);
  }
  return damage != 0 ? report(damage, carve - damage, ZIM_SHM_POOL_DAMAGED, 0) : 0;
}

// Why a segment of `size` bytes whose first bytes give these facts is not a
// complete pool of this version with its carve point in place; NONE when it is
// one. A segment still being created has no magic yet; a truncated or
// extended one disagrees with the size its creator gave it.
uint32_t fault_of(const HeaderFacts& facts, uint64_t size) {
  if (size == 0) return ZIM_SHM_POOL_FAULT_EMPTY;
  if (facts.magic != zim_sim::kPoolMagic) return ZIM_SHM_POOL_FAULT_NOT_A_POOL;
  if (size < kFactsBytes) return ZIM_SHM_POOL_FAULT_CUT_SHORT;
  if (!zim_sim::known_pool_version(facts.version)) return ZIM_SHM_POOL_FAULT_VERSION;
  if (size < facts.size || size < ZIM_SHM_POOL_MIN_SIZE) return ZIM_SHM_POOL_FAULT_CUT_SHORT;
  if (size > facts.size) return ZIM_SHM_POOL_FAULT_EXTENDED;
  if (!zim_sim::is_complete_pool(facts, size)) return ZIM_SHM_POOL_FAULT_NOT_A_POOL;
  const uint64_t carve = facts.carve;
  return carve >= ZIM_SHM_POOL_HEADER_SIZE && carve <= size && carve % kLine == 0
             ? ZIM_SHM_POOL_FAULT_NONE
             : ZIM_SHM_POOL_FAULT_CARVE;
}

// The walk of the segment open on fd; *facts gets what it learnt.
int walk_segment(int fd, bool with_data, Visit visit, void* context,
                 zim_shm_pool_walk_facts_t* facts) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) return facts->fault = ZIM_SHM_POOL_FAULT_NOT_A_POOL, fail(EINVAL);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  // What a segment too short for a header holds, followed by zeros.
  unsigned char bytes[kFactsBytes] = {};
  const uint64_t prefix = size < kFactsBytes ? size : kFactsBytes;
  const bool whole = zim_sim::read_at(fd, bytes, prefix, 0);
  if (!whole && errno != ENODATA) return -1;
  HeaderFacts header;
  facts_from(bytes, &header);
  facts->layout_version = header.magic == zim_sim::kPoolMagic ? header.version : 0;
  // A segment cut under the read is as short as it now is.
  facts->fault = whole ? fault_of(header, size) : ZIM_SHM_POOL_FAULT_CUT_SHORT;
  if (facts->fault != ZIM_SHM_POOL_FAULT_NONE) return fail(EINVAL);
  facts->root = header.root;
  ReadSource source(fd, header.carve);
  int rc = walk(source, header.carve, header.root, with_data, visit, context);
  // A cut that came after the last read, while a piece was being visited,
  // also means that the walk did not see what it reported as it now stands.
  if (rc == 0) {
    if (fstat(fd, &st) != 0) return -1;
    rc = static_cast<uint64_t>(st.st_size) < header.carve ? fail(ENODATA) : 0;
  }
  if (rc == -1 && errno == ENODATA) facts->fault = ZIM_SHM_POOL_FAULT_SHRANK;
  return rc;
}

int walk_by_name(const char* name, bool with_data, Visit visit, void* context,
                 zim_shm_pool_walk_facts_t* facts) {
  zim_shm_pool_walk_facts_t ignored;
  if (facts == nullptr) facts = &ignored;
  *facts = {};
  if (visit == nullptr) return fail(EINVAL);
  if (!zim_sim::valid_pool_name(name)) return facts->fault = ZIM_SHM_POOL_FAULT_NAME, fail(EINVAL);
  // O_NONBLOCK: a FIFO planted under the name must not stop the walk.
  const int fd = shm_open(name, O_RDONLY | O_NONBLOCK, 0);
  if (fd < 0) return -1;
  const int rc = walk_segment(fd, with_data, visit, context, facts);
  const int err = errno;
  close(fd);
  errno = err;
  return rc;
}

}  // namespace

extern "C" ZIM_SIM_API int zim_shm_pool_walk(const char* name, Visit visit, void* context) {
  return walk_by_name(name, true, visit, context, nullptr);
}

extern "C" ZIM_SIM_API int zim_shm_pool_walk_headers(const char* name, Visit visit, void* context,
                                                     zim_shm_pool_walk_facts_t* facts) {
  return walk_by_name(name, false, visit, context, facts);
}

extern "C" ZIM_SIM_API int zim_shm_pool_piece_read(const zim_shm_pool_piece_t* piece, uint64_t from,
                                                   uint64_t size, void* to) {
  const Visiting* const v = t_visiting;
  if (v == nullptr || piece != v->piece || from > piece->size || size > piece->size - from ||
      (to == nullptr && size != 0)) {
    return fail(EINVAL);
  }
  return size == 0 || v->read(v->source, piece->offset + from, size, to) ? 0 : -1;
}

extern "C" ZIM_SIM_API int zim_shm_pool_walk_mapped(Visit visit, void* context) {
  const PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr) return fail(ENOENT);
  const HeaderFacts facts = zim_sim::header_facts(hdr);
  if (visit == nullptr || fault_of(facts, hdr->size) != ZIM_SHM_POOL_FAULT_NONE)
    return fail(EINVAL);
  MappedSource source(reinterpret_cast<const char*>(hdr));
  return walk(source, facts.carve, facts.root, true, visit, context);
}
