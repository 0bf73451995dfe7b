// SPDX-License-Identifier: Apache-2.0
// libzim_memory: what a tool learns of a versioned pool by name, without
// mapping it: the sequence, the pool ids drawn, and the writes under way and
// left torn by dead writers.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "names/names.hpp"
#include "versions/versions.hpp"

namespace {

using zim_sim::kSlotBits;
using zim_sim::kWriterSlots;

// The words of a VersionState as a file holds them.
struct StateWords {
  uint64_t magic, feed_capacity, index_capacity, feed, index, next_pool_id;
  uint64_t generation[kWriterSlots];
};
static_assert(sizeof(StateWords) == offsetof(zim_sim::VersionState, pid), "same words");

struct Tally {
  int fd;
  const StateWords* state;
  zim_shm_pool_versions_report_t* report;
};

int visit(const zim_shm_pool_piece_t* piece, void* context) {
  auto& t = *static_cast<Tally*>(context);
  if (piece->table_id != ZIM_SHM_POOL_VERSION_LINE || piece->retired != 0 ||
      piece->size != zim_sim::kLineBytes) {
    return 0;
  }
  uint64_t words[4];
  if (zim_shm_pool_piece_read(piece, 0, sizeof words, words) != 0) return -1;
  if ((words[0] & 1) == 0) return 0;
  ++t.report->under_way;
  const uint64_t writer = words[2], slot = writer & ((uint64_t{1} << kSlotBits) - 1);
  const bool alive = writer != 0 && slot < kWriterSlots &&
                     t.state->generation[slot] == writer >> kSlotBits &&
                     zim_sim::slot_held(t.fd, static_cast<uint32_t>(slot));
  if (!alive && t.report->torn++ == 0) {
    t.report->first_torn = piece->offset + zim_sim::kLinedExtra;
  }
  return 0;
}

// The last sequence drawn, from the header of the feed whose data is at
// `feed`: 1, or -1 with errno (EINVAL: no feed there).
int last_sequence(int fd, uint64_t feed, uint64_t* sequence) {
  zim_sim::FeedHeader header;
  if (!zim_sim::read_at(fd, &header, sizeof header, feed)) return -1;
  const uint64_t next = header.next_sequence.load(std::memory_order_relaxed);
  if (header.magic.load(std::memory_order_relaxed) != zim_sim::kFeedMagic || next == 0) {
    return errno = EINVAL, -1;
  }
  *sequence = next - 1;
  return 1;
}

}  // namespace

extern "C" ZIM_SIM_API int zim_shm_pool_versions_read(const char* name,
                                                      zim_shm_pool_versions_report_t* report) {
  if (report == nullptr || !zim_sim::valid_pool_name(name)) return errno = EINVAL, -1;
  *report = {};
  const int fd = shm_open(name, O_RDONLY | O_NONBLOCK, 0);
  if (fd < 0) return -1;
  zim_sim::HeaderFacts facts;
  StateWords state;
  int rc = 0;
  if (!zim_sim::read_header_facts(fd, &facts)) {
    rc = -1;
  } else if (facts.magic != zim_sim::kPoolMagic) {
    rc = (errno = EINVAL, -1);
  } else if (facts.version == zim_sim::kVersionedPoolVersion) {
    rc = zim_sim::read_at(fd, &state, sizeof state, zim_sim::kVersionStateOffset) ? 1 : -1;
    if (rc == 1 && state.magic != zim_sim::kVersionsMagic) rc = (errno = EINVAL, -1);
  }
  if (rc == 1) rc = last_sequence(fd, state.feed, &report->sequence);
  if (rc == 1) {
    report->pool_ids = state.next_pool_id;
    Tally tally{fd, &state, report};
    if (zim_shm_pool_walk_headers(name, visit, &tally, nullptr) != 0) rc = -1;
  }
  const int err = errno;
  close(fd);
  errno = err;
  return rc;
}
