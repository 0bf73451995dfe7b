// SPDX-License-Identifier: Apache-2.0
// libzim_misc: object uids.

#include <zim/sim/shm_pool.h>

#include <atomic>
#include <cstdint>

extern "C" ZIM_SIM_API uint32_t qor_getuid(void) {
  // With a pool mapped, the pool's counter makes uids unique among all the
  // processes sharing it (1 to 0x7fffffff). Without one, uids are unique in
  // this process only and come from the upper half so that they never clash
  // with the pool's.
  if (const uint32_t uid = zim_shm_pool_next_uid(); uid != 0) return uid;
  static std::atomic<uint32_t> next{0};
  return 0x80000000u | next.fetch_add(1, std::memory_order_relaxed);
}
