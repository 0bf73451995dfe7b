// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the attach gate and the wait for a pool to become attachable.

#include "attach/attach_gate.hpp"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "names/names.hpp"

namespace zim_sim {

namespace {

uint64_t now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

// Attachable: the gate open and no migration under way.
bool attachable(const PoolHeader* hdr) {
  return hdr->attach_gate.load(std::memory_order_acquire) == 0 &&
         hdr->migration.load(std::memory_order_acquire) == 0;
}

// Sleeps on the gate while it holds `seen`, for at most timeout_ns.
void sleep_on(PoolHeader* hdr, uint32_t seen, uint64_t timeout_ns) {
  const timespec timeout{static_cast<time_t>(timeout_ns / 1'000'000'000u),
                         static_cast<long>(timeout_ns % 1'000'000'000u)};
  // EAGAIN (it changed), EINTR and ETIMEDOUT all send the caller to look again.
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&hdr->attach_gate), FUTEX_WAIT, seen, &timeout,
          nullptr, 0);
}

// Until the pool at hdr is attachable or the deadline: 0, or ETIMEDOUT.
int wait_open(PoolHeader* hdr, uint64_t timeout_us) {
  const uint64_t timeout_ns = timeout_us > UINT64_MAX / 1000u ? UINT64_MAX : timeout_us * 1000u;
  const uint64_t start = now_ns();
  for (;;) {
    // Loaded before the look: an opening after it changes the word or wakes the sleep.
    const uint32_t seen = hdr->attach_gate.load(std::memory_order_acquire);
    if (attachable(hdr)) return 0;
    const uint64_t spent = now_ns() - start;
    if (spent >= timeout_ns) return ETIMEDOUT;
    sleep_on(hdr, seen, timeout_ns - spent);
  }
}

}  // namespace

void close_attach_gate(PoolHeader* hdr) { hdr->attach_gate.store(1, std::memory_order_release); }

void open_attach_gate(PoolHeader* hdr) {
  hdr->attach_gate.store(0, std::memory_order_seq_cst);
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&hdr->attach_gate), FUTEX_WAKE, INT_MAX, nullptr,
          nullptr, 0);
}

}  // namespace zim_sim

extern "C" ZIM_SIM_API int zim_shm_pool_wait_attachable(const char* name, uint64_t timeout_us) {
  if (!zim_sim::valid_pool_name(name)) return errno = EINVAL, -1;
  const int fd = shm_open(name, O_RDWR | O_NONBLOCK | O_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) < ZIM_SHM_POOL_MIN_SIZE) {
    close(fd);
    return errno = EINVAL, -1;
  }
  // The header alone: the gate and the migration word are all it reads.
  void* map = mmap(nullptr, ZIM_SHM_POOL_HEADER_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  const int map_err = errno;
  close(fd);
  if (map == MAP_FAILED) return errno = map_err, -1;
  auto* hdr = static_cast<zim_sim::PoolHeader*>(map);
  int err = EINVAL;
  if (zim_sim::is_complete_pool(zim_sim::header_facts(hdr), static_cast<uint64_t>(st.st_size))) {
    err = zim_sim::wait_open(hdr, timeout_us);
  }
  munmap(map, ZIM_SHM_POOL_HEADER_SIZE);
  return err == 0 ? 0 : (errno = err, -1);
}
