// SPDX-License-Identifier: Apache-2.0
// zim_shm_pool_walk over a segment of arbitrary bytes. Input: a flags byte (1
// stamps a valid magic, version and size into the header, 2 also a carve point
// at the end of the body, 4 makes the visitor cut the segment short, 8 walks
// headers only, each visit reading its piece); a byte
// for the piece at whose visit the cut comes, two for the segment's length
// after it past the header (little-endian); the header's first bytes, up to and
// including the carve point; then the bytes from ZIM_SHM_POOL_HEADER_SIZE on.
// The segment is at least ZIM_SHM_POOL_MIN_SIZE bytes, zero-filled.
// Aborts unless every piece lies inside the segment's carved part, after the
// piece before (a block's header included), with its bytes as the segment
// holds them (and no others readable), a cut ends the walk with ENODATA, a
// valid header makes the pool walkable, and the reason a walk of headers gives
// agrees with its result.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "segment/segment.hpp"

namespace {

using zim_sim::PoolHeader;

constexpr uint64_t kHeader = ZIM_SHM_POOL_HEADER_SIZE;
constexpr size_t kPrefix = offsetof(PoolHeader, carve) + sizeof(uint64_t);

struct Walk {
  const std::vector<unsigned char>* segment;
  uint64_t carve;  // as the header gives it
  uint64_t root;
  uint64_t next;  // first offset the next piece may take
  unsigned cut_at;
  uint64_t cut_to;  // 0: no cut
  int fd;
  unsigned pieces;
  bool cut;
  bool headers;
};

bool zero(unsigned char b) { return b == 0; }

[[noreturn]] void die(const char* what, const zim_shm_pool_piece_t* p) {
  std::fprintf(stderr, "%s: offset %llu size %llu table %u\n", what,
               static_cast<unsigned long long>(p->offset), static_cast<unsigned long long>(p->size),
               p->table_id);
  std::abort();
}

int visit(const zim_shm_pool_piece_t* p, void* context) {
  auto& w = *static_cast<Walk*>(context);
  const bool damaged = p->table_id == ZIM_SHM_POOL_DAMAGED;
  const uint64_t start = damaged ? p->offset : p->offset - ZIM_SHM_POOL_BLOCK_HEADER_SIZE;
  if (p->size == 0 || p->offset < kHeader || start < w.next || p->offset > w.carve ||
      p->size > w.carve - p->offset) {
    die("piece out of place", p);
  }
  if (!damaged && p->table_id > ZIM_SHM_POOL_MAX_TABLE_ID && p->table_id != ZIM_SHM_POOL_UNTYPED &&
      p->table_id != ZIM_SHM_POOL_CONFIG && p->table_id != ZIM_SHM_POOL_LAYOUT &&
      p->table_id != ZIM_SHM_POOL_ID_PAGE && p->table_id != ZIM_SHM_POOL_MIGRATION &&
      p->table_id != ZIM_SHM_POOL_VERSION_LINE && p->table_id != ZIM_SHM_POOL_FEED &&
      p->table_id != ZIM_SHM_POOL_INDEX) {
    die("table id", p);
  }
  if (p->retired > (damaged ? 0u : 1u)) die("retired", p);
  if (p->is_root != (!damaged && p->offset == w.root ? 1u : 0u)) die("root", p);
  w.next = p->offset + (damaged ? p->size : (p->size + 15) / 16 * 16);
  // Every byte is read (ASan checks the copy's bounds) and compared.
  const unsigned char* bytes = w.segment->data() + p->offset;
  if ((p->data == nullptr) != w.headers) die("data", p);
  std::vector<unsigned char> read(w.headers ? p->size : 0);
  unsigned char past;
  if (zim_shm_pool_piece_read(p, p->size, 1, &past) != -1 || errno != EINVAL) die("past", p);
  if (w.headers && zim_shm_pool_piece_read(p, 0, p->size, read.data()) != 0) {
    if (!w.cut || errno != ENODATA) die("piece read", p);
    return -1;
  }
  const void* data = w.headers ? read.data() : p->data;
  if (!w.cut && std::memcmp(data, bytes, p->size) != 0) die("bytes differ", p);
  if (damaged && std::all_of(bytes, bytes + 16, zero)) die("damage starts with free space", p);
  if (w.cut_to != 0 && w.pieces == w.cut_at) {
    if (ftruncate(w.fd, static_cast<off_t>(w.cut_to)) != 0) std::abort();
    w.cut = true;
  }
  ++w.pieces;
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint8_t flags = data[0];
  const unsigned cut_at = data[1];
  const uint64_t cut_len = data[2] | uint64_t{data[3]} << 8;
  data += 4;
  size -= 4;
  const size_t prefix = size < kPrefix ? size : kPrefix;
  const size_t body = size - prefix;
  constexpr uint64_t kLeast = ZIM_SHM_POOL_MIN_SIZE - kHeader;
  const uint64_t segment_size = kHeader + (body > kLeast ? body : kLeast);
  std::vector<unsigned char> segment(segment_size, 0);
  std::memcpy(segment.data(), data, prefix);
  std::memcpy(segment.data() + kHeader, data + prefix, body);
  const auto put = [&](size_t at, auto v) { std::memcpy(segment.data() + at, &v, sizeof v); };
  if (flags & 1) {
    put(offsetof(PoolHeader, magic), uint64_t{zim_sim::kPoolMagic});
    put(offsetof(PoolHeader, version), uint32_t{zim_sim::kPoolVersion});
    put(offsetof(PoolHeader, size), segment_size);
  }
  if (flags & 2) put(offsetof(PoolHeader, carve), kHeader + (body & ~uint64_t{15}));
  // A segment of its own per input, gone again after the walk.
  static const std::string name = "/zim_walk_fuzz." + std::to_string(getpid());
  const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(segment_size)) != 0 ||
      pwrite(fd, segment.data(), segment_size, 0) != static_cast<ssize_t>(segment_size)) {
    std::abort();
  }
  Walk w{&segment, 0, 0,     kHeader,         cut_at, (flags & 4) ? kHeader + cut_len : 0,
         fd,       0, false, (flags & 8) != 0};
  std::memcpy(&w.carve, segment.data() + offsetof(PoolHeader, carve), sizeof w.carve);
  std::memcpy(&w.root, segment.data() + offsetof(PoolHeader, root), sizeof w.root);
  errno = 0;
  zim_shm_pool_walk_facts_t facts{};
  const int rc = w.headers ? zim_shm_pool_walk_headers(name.c_str(), visit, &w, &facts)
                           : zim_shm_pool_walk(name.c_str(), visit, &w);
  const int err = errno;
  shm_unlink(name.c_str());
  close(fd);
  errno = err;
  if (rc != 0 && rc != -1) std::abort();                  // the visitor never stops the walk
  if (rc == -1 && w.pieces != 0 && !w.cut) std::abort();  // failed after it began, uncut
  if (rc == -1 && w.pieces == 0 && errno != EINVAL) std::abort();  // not a pool of this version
  if (w.cut && (w.cut_to < w.carve) != (rc == -1 && errno == ENODATA)) std::abort();
  if ((flags & 3) == 3 && !w.cut && rc != 0) std::abort();  // a complete pool is walkable
  if (w.headers && (rc == 0 ? facts.fault != ZIM_SHM_POOL_FAULT_NONE || facts.root != w.root
                    : errno == ENODATA ? facts.fault != ZIM_SHM_POOL_FAULT_SHRANK
                                       : facts.fault == ZIM_SHM_POOL_FAULT_NONE)) {
    std::abort();
  }
  // A walkable pool with a carved part has a piece in it, unless all of it is free space.
  if (rc == 0 && w.pieces == 0 && w.carve > kHeader &&
      !std::all_of(segment.data() + kHeader, segment.data() + w.carve, zero)) {
    std::abort();
  }
  return 0;
}
