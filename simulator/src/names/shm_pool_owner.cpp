// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the owner's part of the pool: adopting it, handing it over
// and destroying it.
//
// The owner of a pool, its creator and then each adopter, holds an exclusive
// flock on the segment for as long as it maps it: whether that lock can be
// taken is whether the owner is gone. The creator removes the name when it
// ends, unless it handed the pool over; once handed over or adopted, the pool
// is kept (PoolHeader::kept) and only zim_shm_pool_destroy removes its name.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "attach/attach_gate.hpp"
#include "names/mapping.hpp"
#include "names/names.hpp"
#include "platform/env.hpp"
#include "segment/segment.hpp"
#include "versions/pool_news.hpp"

namespace zim_sim {

int owned_pool_fd() {
  std::lock_guard<std::mutex> guard(g_control);
  return g_mapping.hdr != nullptr && owns_pool() ? g_mapping.fd : -1;
}

}  // namespace zim_sim

namespace {

using zim_sim::file_id;
using zim_sim::FileId;
using zim_sim::g_control;
using zim_sim::g_mapping;
using zim_sim::leads_to;
using zim_sim::owns_pool;
using zim_sim::remove_name_reporting;
using zim_sim::Role;
using zim_sim::Segment;
using zim_sim::shm_path;
using zim_sim::unmap;

// The owner's flock of the segment seg, for an adopter: 0, or -1 with errno:
// EEXIST, after a message, while the owner (or a process it forked, which
// shares its lock) lives.
int take_ownership(const char* name, const Segment& seg) {
  const auto* hdr = static_cast<const zim_sim::PoolHeader*>(seg.map);
  // A creator checking whether the pool is stale holds the lock for a moment.
  for (int attempt = 0;; ++attempt) {
    if (flock(seg.fd, LOCK_EX | LOCK_NB) == 0) break;
    if (errno != EWOULDBLOCK) return -1;
    const pid_t owner = hdr->owner_pid.load(std::memory_order_relaxed);
    const bool owner_gone = owner <= 0 || (kill(owner, 0) != 0 && errno == ESRCH);
    if (owner_gone && attempt < 8) {
      usleep(1000);
      continue;
    }
    std::fprintf(stderr, "zim_memory: cannot adopt the pool \"%s\": its owner, process %ld, %s\n",
                 zim_sim::printable(name).c_str(), static_cast<long>(owner),
                 owner_gone ? "is gone, but a process it forked still holds the pool"
                            : "is alive; it must hand the pool over first");
    errno = EEXIST;
    return -1;
  }
  // Names are removed under this lock: the name still leading here, it stays.
  if (!leads_to(shm_path(name).c_str(), seg.id)) return errno = ENOENT, -1;
  return 0;
}

}  // namespace

using zim_sim::PoolHeader;

extern "C" ZIM_SIM_API int zim_shm_pool_adopt(const char* name) {
  const int rc = zim_sim::join_pool(
      name, Role::kAdopter, [name](const Segment& seg) { return take_ownership(name, seg); },
      // Kept first: an adopter killed on the way leaves a pool whose name stays.
      [](const Segment& seg) {
        auto* hdr = static_cast<PoolHeader*>(seg.map);
        hdr->kept.store(1, std::memory_order_release);
        hdr->epoch.fetch_add(1, std::memory_order_acq_rel);
        hdr->owner_pid.store(static_cast<int32_t>(getpid()), std::memory_order_release);
        return 0;
      });
  if (rc == 0) {
    PoolHeader* hdr = zim_sim::mapped_pool();
    zim_sim::PoolNews(hdr).tell(zim_sim::news_entry(zim_sim::FeedKind::adopted, 0, 0, 0, 0));
  }
  return rc;
}

extern "C" ZIM_SIM_API int zim_shm_pool_hand_over(void) {
  PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr || zim_sim::owned_pool_fd() < 0) return errno = EPERM, -1;
  // Closed before followers read the news: one that waits for the gate then
  // sleeps until the successor's migration ends. Told before the lock below,
  // which claiming the writer slot takes.
  zim_sim::close_attach_gate(hdr);
  zim_sim::PoolNews(hdr).tell(zim_sim::news_entry(zim_sim::FeedKind::handed_over, 0, 0, 0, 0));
  std::lock_guard<std::mutex> guard(g_control);
  if (g_mapping.hdr == nullptr || !owns_pool()) return errno = EPERM, -1;
  g_mapping.hdr->kept.store(1, std::memory_order_release);
  unmap(false);  // gives up the owner's lock last: the successor finds the pool kept
  return 0;
}

namespace {

// Removes the name of the pool open on fd (the file `id`) unless its owner
// lives: whether the owner's lock on the segment can be taken. 0, or -1 with
// errno: EPERM, after a message naming the owner, while it lives.
int remove_unless_owned(const char* name, int fd, FileId id, bool kept, int32_t owner) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) return -1;
    std::fprintf(stderr,
                 "zim_memory: cannot destroy the pool \"%s\": it belongs to process %ld, which "
                 "is alive and %s; detach instead\n",
                 zim_sim::printable(name).c_str(), static_cast<long>(owner),
                 kept ? "keeps it for a successor" : "removes it when it is done");
    errno = EPERM;
    return -1;
  }
  remove_name_reporting(name, id);  // under the lock, as a creator would
  return 0;
}

}  // namespace

extern "C" ZIM_SIM_API int zim_shm_pool_destroy(void) {
  std::lock_guard<std::mutex> guard(g_control);
  if (g_mapping.hdr == nullptr || owns_pool()) return unmap(true), 0;
  // A child's share of its parent's claim goes first: the claim is the parent's.
  if (g_mapping.owner) {
    close(g_mapping.fd);
    g_mapping.fd = -1;
    g_mapping.owner = g_mapping.removes_name = false;
  }
  const int fd =
      open(shm_path(g_mapping.name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  FileId id{};
  if (fd < 0 || !file_id(fd, &id) || id.dev != g_mapping.id.dev || id.ino != g_mapping.id.ino) {
    const int err = errno;
    if (fd >= 0) close(fd);
    errno = err;
    if (fd < 0 && errno != ENOENT && errno != ELOOP) return -1;
    return unmap(false), 0;  // the name is gone or leads elsewhere: nothing of ours to remove
  }
  const int rc = remove_unless_owned(g_mapping.name, fd, id,
                                     g_mapping.hdr->kept.load(std::memory_order_relaxed) != 0,
                                     g_mapping.hdr->owner_pid.load(std::memory_order_relaxed));
  const int err = errno;
  close(fd);
  if (rc != 0) return errno = err, -1;
  return unmap(false), 0;
}

extern "C" ZIM_SIM_API int zim_shm_pool_destroy_name(const char* name) {
  if (!zim_sim::valid_pool_name(name)) return errno = EINVAL, -1;
  const int fd = open(shm_path(name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ELOOP ? (errno = EINVAL, -1) : -1;
  // Only a complete pool of this version: anything else under the name is left alone.
  struct stat st;
  zim_sim::HeaderFacts facts{};
  FileId id{};
  int32_t owner = 0;
  uint32_t kept = 0;
  const bool pool = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && file_id(fd, &id) &&
                    zim_sim::read_header_facts(fd, &facts) &&
                    zim_sim::is_complete_pool(facts, static_cast<uint64_t>(st.st_size)) &&
                    zim_sim::read_at(fd, &owner, sizeof owner, offsetof(PoolHeader, owner_pid)) &&
                    zim_sim::read_at(fd, &kept, sizeof kept, offsetof(PoolHeader, kept));
  const int rc = pool ? remove_unless_owned(name, fd, id, kept != 0, owner) : (errno = EINVAL, -1);
  const int err = errno;
  close(fd);
  errno = err;
  return rc;
}
