// SPDX-License-Identifier: Apache-2.0
// libzim_memory: what a tool learns of a versioned pool's feed and index by
// name, without mapping it, and the objects that need an eye: torn by a dead
// writer, or live without a key where their table id has keys.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <set>
#include <unordered_set>
#include <utility>
#include <vector>

#include "names/names.hpp"
#include "versions/versions.hpp"

namespace {

using zim_sim::kSlotBits;
using zim_sim::kWriterSlots;

using Visit = int (*)(const zim_shm_pool_object_fault_t* fault, void* context);

// The words of a VersionState as a file holds them.
struct StateWords {
  uint64_t magic, feed_capacity, index_capacity, feed, index, next_pool_id;
  uint64_t generation[kWriterSlots];
  int32_t pid[kWriterSlots];
};
static_assert(offsetof(StateWords, pid) == offsetof(zim_sim::VersionState, pid), "same words");

struct PairHash {
  size_t operator()(const std::pair<uint64_t, uint64_t>& p) const {
    return std::hash<uint64_t>()(p.first * 0x9e3779b97f4a7c15ull ^ p.second);
  }
};

// What the index names: its keys' objects, and the table ids that have keys.
struct IndexedObjects {
  std::unordered_set<std::pair<uint64_t, uint64_t>, PairHash> objects;  // offset, pool id
  std::set<uint32_t> table_ids;
};

struct Pass {
  int fd;
  const StateWords* state;
  const IndexedObjects* indexed;
  zim_shm_pool_rooms_report_t* report;
  Visit visit;
  void* context;
  uint64_t line[4] = {};
  uint64_t line_at = 0;  // the line just walked, 0 after any other piece
};

bool writer_alive(const Pass& p, uint64_t writer) {
  const uint64_t slot = writer & ((uint64_t{1} << kSlotBits) - 1);
  return writer != 0 && slot < kWriterSlots && p.state->generation[slot] == writer >> kSlotBits &&
         zim_sim::slot_held(p.fd, static_cast<uint32_t>(slot));
}

int on_piece(const zim_shm_pool_piece_t* piece, void* context) {
  auto& p = *static_cast<Pass*>(context);
  const uint64_t line_at = p.line_at;
  p.line_at = 0;
  if (piece->table_id == ZIM_SHM_POOL_VERSION_LINE) {
    if (piece->retired != 0 || piece->size != zim_sim::kLineBytes) return 0;
    if (zim_shm_pool_piece_read(piece, 0, sizeof p.line, p.line) != 0) return -1;
    p.line_at = piece->offset;
    return 0;
  }
  if (line_at == 0 || piece->offset != line_at + zim_sim::kLinedExtra || piece->retired != 0) {
    return 0;
  }
  zim_shm_pool_object_fault_t f{piece->offset, p.line[1], p.line[0], piece->table_id, 0, 0, 0};
  if ((f.version & 1) != 0 && !writer_alive(p, p.line[2])) {
    f.state = ZIM_SHM_POOL_OBJECT_TORN;
    const uint64_t slot = p.line[2] & ((uint64_t{1} << kSlotBits) - 1);
    f.writer_pid = slot < kWriterSlots ? p.state->pid[slot] : 0;
    ++p.report->torn;
  } else if (p.indexed->table_ids.count(piece->table_id) != 0 &&
             p.indexed->objects.count({piece->offset, f.pool_id}) == 0) {
    f.state = ZIM_SHM_POOL_OBJECT_UNINDEXED;
    ++p.report->unindexed;
  } else {
    return 0;
  }
  return p.visit != nullptr && p.visit(&f, p.context) != 0 ? 1 : 0;
}

// The feed's header at `at`, checked as feed_open checks it.
bool read_feed(int fd, uint64_t size, uint64_t at, zim_shm_pool_rooms_report_t* report) {
  zim_sim::FeedHeader h;
  if (at > size || !zim_sim::read_at(fd, &h, sizeof h, at)) return false;
  const uint64_t capacity = h.capacity;
  if (h.magic.load(std::memory_order_relaxed) != zim_sim::kFeedMagic ||
      capacity < zim_sim::kFeedMinCapacity || capacity > zim_sim::kFeedMaxCapacity ||
      (capacity & (capacity - 1)) != 0 || zim_sim::feed_bytes(capacity) > size - at) {
    return false;
  }
  report->next_sequence = h.next_sequence.load(std::memory_order_relaxed);
  report->feed_capacity = capacity;
  return true;
}

// The index's header at `at`, checked, and its keys' objects, read a run of
// slots at a time; no more objects are kept than the index may hold.
bool read_index(int fd, uint64_t size, uint64_t at, zim_shm_pool_rooms_report_t* report,
                IndexedObjects* indexed) {
  zim_sim::IndexHeader h;
  if (at > size || !zim_sim::read_at(fd, &h, sizeof h, at)) return false;
  const uint64_t capacity = h.capacity;
  if (h.magic.load(std::memory_order_relaxed) != zim_sim::kIndexMagic || capacity == 0 ||
      capacity > zim_sim::kIndexMaxCapacity || h.slot_count != 2 * capacity ||
      h.format != (zim_sim::kIndexFormat | uint64_t{sizeof(zim_sim::IndexSlot)} << 32) ||
      zim_sim::index_bytes(capacity) > size - at) {
    return false;
  }
  report->index_keys = h.live.load(std::memory_order_relaxed);
  report->index_capacity = capacity;
  std::vector<zim_sim::IndexSlot> run(1024);
  for (uint64_t slot = 0; slot < h.slot_count; slot += run.size()) {
    const uint64_t n = std::min<uint64_t>(run.size(), h.slot_count - slot);
    const uint64_t from = at + sizeof h + slot * sizeof(zim_sim::IndexSlot);
    if (!zim_sim::read_at(fd, run.data(), n * sizeof(zim_sim::IndexSlot), from)) return false;
    for (uint64_t i = 0; i < n && indexed->objects.size() < capacity; ++i) {
      const uint64_t control = run[i].control.load(std::memory_order_relaxed);
      if (!zim_sim::control_occupied(control)) continue;
      const zim_sim::IndexEntry& e = run[i].copies[zim_sim::control_copy(control)];
      indexed->objects.insert(
          {e.offset.load(std::memory_order_relaxed), e.pool_id.load(std::memory_order_relaxed)});
      indexed->table_ids.insert(zim_sim::control_table_id(control));
    }
  }
  return true;
}

// 1 and the state of the versioned pool open on fd, 0 for another pool, -1.
int read_state(int fd, StateWords* state, uint64_t* size) {
  zim_sim::HeaderFacts facts;
  struct stat st;
  if (!zim_sim::read_header_facts(fd, &facts) || fstat(fd, &st) != 0) return -1;
  *size = static_cast<uint64_t>(st.st_size);
  if (facts.magic != zim_sim::kPoolMagic) return errno = EINVAL, -1;
  if (facts.version != zim_sim::kVersionedPoolVersion) return 0;
  if (!zim_sim::read_at(fd, state, sizeof *state, zim_sim::kVersionStateOffset)) return -1;
  return state->magic == zim_sim::kVersionsMagic ? 1 : (errno = EINVAL, -1);
}

}  // namespace

extern "C" ZIM_SIM_API int zim_shm_pool_rooms_read(const char* name,
                                                   zim_shm_pool_rooms_report_t* report, Visit visit,
                                                   void* context) {
  if (report == nullptr || !zim_sim::valid_pool_name(name)) return errno = EINVAL, -1;
  *report = {};
  const int fd = shm_open(name, O_RDONLY | O_NONBLOCK, 0);
  if (fd < 0) return -1;
  StateWords state;
  uint64_t size = 0;
  IndexedObjects indexed;
  int rc = read_state(fd, &state, &size);
  if (rc == 1 && (!read_feed(fd, size, state.feed, report) ||
                  !read_index(fd, size, state.index, report, &indexed))) {
    rc = errno == ENODATA ? -1 : (errno = EINVAL, -1);
  }
  if (rc == 1) {
    Pass pass{fd, &state, &indexed, report, visit, context};
    const int walked = zim_shm_pool_walk_headers(name, on_piece, &pass, nullptr);
    if (walked == -1) rc = -1;
  }
  const int err = errno;
  close(fd);
  errno = err;
  return rc;
}
