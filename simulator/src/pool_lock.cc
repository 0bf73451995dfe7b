#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pool.h"

namespace zim_sim {

PoolLock::PoolLock(PoolHeader *hdr) : hdr_(hdr) {
  const int rc = pthread_mutex_lock(&hdr_->lock);
  if (rc == EOWNERDEAD) {
    // A process died holding the lock. Carve keeps the state consistent after
    // each of its stores (at worst a chunk is lost), so the state can be kept.
    pthread_mutex_consistent(&hdr_->lock);
  } else if (rc != 0) {
    std::fprintf(stderr, "zim_memory: cannot lock the table pool: %s\n", std::strerror(rc));
    std::abort();
  }
}

PoolLock::~PoolLock() { pthread_mutex_unlock(&hdr_->lock); }

}  // namespace zim_sim
