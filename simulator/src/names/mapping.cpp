// SPDX-License-Identifier: Apache-2.0
// libzim_memory: this process's mapping of the pool and what it owns of it:
// publishing a mapping, giving it up (removing the name when this process
// created the pool, also at exit and on abort), mapping an existing pool by
// name, and the steps that attaching and adopting share.

#include "names/mapping.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "names/names.hpp"
#include "records/checked_layouts.hpp"
#include "records/pool_records.hpp"
#include "segment/segment.hpp"
#include "versions/lines_span.hpp"
#include "zim/tables/versions.h"

// The span zim/tables/versions.h declares for the accessors' inline check.
extern "C" {
ZIM_SIM_API zim_tables_span_t zim_tables_versioned_span = {0, 0};
}

namespace zim_sim {

std::mutex g_control;
Mapping g_mapping{nullptr, 0, {}, 0, -1, false, false, false, false, {}};

std::atomic<uint64_t> g_pool_size{0};
std::atomic<uint64_t> g_mapping_epoch{1};

namespace {

// The span that the accessors' writers compare objects against: a mapped
// versioned pool's, else empty (bytes 0 first, so no reader sees a stale size
// with a new start).
void mirror_span(const PoolHeader* hdr, uint64_t size) {
  const bool versioned = hdr != nullptr && hdr->version == kVersionedPoolVersion;
  __atomic_store_n(&zim_tables_versioned_span.bytes, uintptr_t{0}, __ATOMIC_RELAXED);
  __atomic_store_n(&zim_tables_versioned_span.begin, reinterpret_cast<uintptr_t>(hdr),
                   __ATOMIC_RELAXED);
  __atomic_store_n(&zim_tables_versioned_span.bytes, versioned ? uintptr_t{size} : 0,
                   __ATOMIC_RELAXED);
  mirror_lines_span(hdr, size, versioned);
}

std::atomic<zim_sim::PoolHeader*> g_pool{nullptr};

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
  g_mapping_epoch.fetch_add(1, std::memory_order_acq_rel);
  mirror_span(nullptr, 0);
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
  g_mapping.owner = role == Role::kCreator || role == Role::kAdopter;
  g_mapping.follower = role == Role::kFollower;
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
  g_mapping_epoch.fetch_add(1, std::memory_order_acq_rel);
  g_pool.store(hdr, std::memory_order_release);
  mirror_span(hdr, size);
}

void versioned_in_place() {
  g_mapping_epoch.fetch_add(1, std::memory_order_acq_rel);
  mirror_span(g_mapping.hdr, g_mapping.size);
}

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

int join_pool(const char* name, Role role, const Join& claim, const Join& admitted) {
  if (!valid_pool_name(name)) {
    errno = EINVAL;
    return -1;
  }
  std::lock_guard<std::mutex> guard(g_control);
  if (!free_to_map()) return -1;
  Segment seg{};
  if (map_existing(name, &seg) != 0) return -1;
  if (claim(seg) != 0) return fail(seg.fd, seg.map, seg.size);
  auto* hdr = static_cast<PoolHeader*>(seg.map);
  const Handshake kind = role == Role::kAdopter ? Handshake::kAdopt : Handshake::kAttach;
  const int err = handshake(hdr, seg.size, name, kind, [&] { return admitted(seg); });
  if (err != 0) return errno = err, fail(seg.fd, seg.map, seg.size);
  publish(hdr, seg.size, seg.id, name, seg.fd, role);
  return 0;
}

}  // namespace zim_sim
