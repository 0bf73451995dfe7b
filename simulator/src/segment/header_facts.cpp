// SPDX-License-Identifier: Apache-2.0
// libzim_memory: what a reader of a segment takes from its header, in place
// or with pread from a segment it has not mapped (names a pool may hold, a
// walk).

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "segment/segment.hpp"

namespace zim_sim {

void facts_from(const unsigned char* bytes, HeaderFacts* facts) {
  const auto field = [bytes](size_t offset, auto* value) {
    std::memcpy(value, bytes + offset, sizeof *value);
  };
  field(offsetof(PoolHeader, magic), &facts->magic);
  field(offsetof(PoolHeader, version), &facts->version);
  field(offsetof(PoolHeader, creator_pid), &facts->creator_pid);
  field(offsetof(PoolHeader, size), &facts->size);
  field(offsetof(PoolHeader, root), &facts->root);
  field(offsetof(PoolHeader, carve), &facts->carve);
}

bool read_at(int fd, void* buf, uint64_t n, uint64_t offset) {
  auto* to = static_cast<unsigned char*>(buf);
  while (n != 0) {
    const size_t want = n < (uint64_t{1} << 30) ? static_cast<size_t>(n) : size_t{1} << 30;
    const ssize_t got = pread(fd, to, want, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return errno = ENODATA, false;
    to += got;
    offset += static_cast<uint64_t>(got);
    n -= static_cast<uint64_t>(got);
  }
  return true;
}

HeaderFacts header_facts(const PoolHeader* hdr) {
  return {hdr->magic.load(std::memory_order_acquire),
          hdr->version,
          hdr->creator_pid,
          hdr->size,
          hdr->root.load(std::memory_order_acquire),
          hdr->carve.load(std::memory_order_acquire)};
}

bool read_header_facts(int fd, HeaderFacts* facts) {
  unsigned char bytes[kFactsBytes];
  if (!read_at(fd, bytes, sizeof bytes, 0)) return false;
  facts_from(bytes, facts);
  return true;
}

}  // namespace zim_sim
