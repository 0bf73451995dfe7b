// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the pool a process creates for itself when it allocates
// before creating or attaching one.

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "attach/attach.hpp"
#include "names/names.hpp"
#include "platform/env.hpp"
#include "segment/segment.hpp"

namespace zim_sim {

PoolHeader* map_default_pool() {
  static std::mutex once;  // one creator among the threads that race here
  std::lock_guard<std::mutex> guard(once);
  if (PoolHeader* hdr = mapped_pool()) return hdr;

  constexpr const char kComponent[] = "zim_memory";
  char name[64];
  const char* env_name = std::getenv("ZIM_SHM_POOL_NAME");
  if (env_name != nullptr) {
    if (!valid_pool_name(env_name)) {
      die_bad_env(kComponent, "ZIM_SHM_POOL_NAME", env_name,
                  "\"/\" followed by 1 to 254 characters other than \"/\", not \"/.\" or \"/..\"");
    }
  } else {
    std::snprintf(name, sizeof name, "/zim_table_pool.%ld", static_cast<long>(getpid()));
  }
  uint64_t size = ZIM_SHM_POOL_DEFAULT_SIZE;
  static_assert(ZIM_SHM_POOL_MIN_SIZE == 49152, "message below names the minimum");
  if (const char* env_size = std::getenv("ZIM_SHM_POOL_SIZE")) {
    if (!parse_decimal(env_size, std::strlen(env_size), INT64_MAX, &size) ||
        size < ZIM_SHM_POOL_MIN_SIZE) {
      die_bad_env(kComponent, "ZIM_SHM_POOL_SIZE", env_size,
                  "a decimal number of bytes without a leading zero, at least 49152");
    }
  }
  const char* pool_name = env_name != nullptr ? env_name : name;
  if (zim_shm_pool_create(pool_name, size) != 0) {
    const int err = errno;
    if (err == EBUSY) return mapped_pool();  // another thread created one meanwhile
    std::fprintf(stderr, "%s: cannot create the table pool \"%s\" of %" PRIu64 " bytes: %s\n",
                 kComponent, printable(pool_name).c_str(), size, std::strerror(err));
    return nullptr;
  }
  return mapped_pool();
}

}  // namespace zim_sim
