// SPDX-License-Identifier: Apache-2.0
// The attach handshake over a pool of arbitrary bytes: the configuration
// record, the id pages and the layout records it follows from the header are
// anyone's to write. Input: the segment's first bytes (a 1 MiB segment,
// zero-filled past them). The program carries the layout notes of olist and
// testglobaldiscard, so their slots and records are read and compared. Aborts
// unless the handshake answers 0, EPROTO, EINVAL or EBUSY (a header that
// names a migration under way); ASan catches any read outside the segment.
#include <pthread.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "records/pool_records.hpp"
#include "segment/segment.hpp"
#include "zim/tables/olist.h"
#include "zim/tables/testglobaldiscard.h"

namespace {

constexpr uint64_t kSegment = uint64_t{1} << 20;

// The lock's bytes come from the input too: a fresh robust, process-shared
// mutex in their place, as a creator leaves it.
void fresh_lock(zim_sim::PoolHeader* hdr) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(&hdr->lock, &attr);
  pthread_mutexattr_destroy(&attr);
  hdr->undo.armed.store(0);  // a restore would write the pool: not what is tested here
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // 16-byte aligned, as a mapping is.
  std::vector<__int128> words(kSegment / sizeof(__int128));
  auto* segment = reinterpret_cast<unsigned char*>(words.data());
  std::memcpy(segment, data, size < kSegment ? size : kSegment);
  auto* hdr = reinterpret_cast<zim_sim::PoolHeader*>(segment);
  fresh_lock(hdr);
  const int rc =
      zim_sim::handshake(hdr, kSegment, "/fuzz", zim_sim::Handshake::kAttach, [] { return 0; });
  pthread_mutex_destroy(&hdr->lock);
  if (rc != 0 && rc != EPROTO && rc != EINVAL && rc != EBUSY) std::abort();
  return 0;
}
