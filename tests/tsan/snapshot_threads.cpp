// SPDX-License-Identifier: Apache-2.0
// Threads of one process under ThreadSanitizer: a writer rewrites olist
// objects of a versioned pool inside brackets, every field to one counter,
// while readers snapshot them. Every snapshot must be whole, and the
// sanitizer must find no race but the copy's, which races by design and is
// checked by the version. Exit status 0 when both hold.
#include <unistd.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "../simulator/olist_counter.hpp"

namespace {

constexpr int kObjects = 4, kReaders = 2;
constexpr uint64_t kSnapshotsEach = 100'000;

struct Tally {
  std::atomic<uint64_t> whole{0}, torn{0}, busy{0}, failed{0};
};

void read_objects(qor_olist_obj* const* objects, Tally* tally) {
  uint64_t last[kObjects] = {};
  for (uint64_t n = 0, whole = 0; whole < kSnapshotsEach; ++n) {
    const int k = static_cast<int>(n % kObjects);
    uint64_t version = 0;
    qor_olist_obj* copy = zim_olist_snapshot_with_version(objects[k], &version);
    if (copy == nullptr) {
      (errno == EBUSY ? tally->busy : tally->failed).fetch_add(1);
      if (errno != EBUSY) return;
      continue;
    }
    if (!zim_test::one_counter(copy) || (version & 1) != 0 || version < last[k]) {
      tally->torn.fetch_add(1);
    }
    last[k] = version;
    zim_olist_clnt_copy_dtor(copy);
    ++whole;
  }
  tally->whole.fetch_add(kSnapshotsEach);
}

}  // namespace

int main() {
  const std::string name = "/zim_tsan_snapshots." + std::to_string(getpid());
  const zim_shm_pool_options_t options{1, 0, 64, 64};
  if (zim_shm_pool_create_with(name.c_str(), 4u << 20, &options) != 0)
    return std::perror("create"), 2;
  qor_olist_obj* objects[kObjects];
  for (auto& obj : objects) {
    obj = zim_srv_olist_ctor_with_shm(zim_test::kCounterCount);
    if (obj == nullptr) return 3;
    zim_test::set_all(obj, 1);
    if (zim_shm_pool_write_end(obj) != 0) return 4;
  }
  Tally tally;
  std::atomic<int> reading{kReaders};
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&] {
      read_objects(objects, &tally);
      reading.fetch_sub(1);
    });
  }
  uint64_t writes = 0;
  for (uint64_t counter = 2; reading.load() != 0; ++counter, ++writes) {
    qor_olist_obj* obj = objects[counter % kObjects];
    if (zim_shm_pool_write_begin(obj) != 0) return 5;
    zim_test::set_all(obj, counter);
    if (zim_shm_pool_write_end(obj) != 0) return 6;
  }
  for (auto& t : readers) t.join();
  zim_shm_pool_destroy();
  std::printf("%llu writes; snapshots: %llu whole, %llu torn, %llu busy, %llu failed\n",
              static_cast<unsigned long long>(writes),
              static_cast<unsigned long long>(tally.whole.load()),
              static_cast<unsigned long long>(tally.torn.load()),
              static_cast<unsigned long long>(tally.busy.load()),
              static_cast<unsigned long long>(tally.failed.load()));
  const bool ok = tally.torn.load() == 0 && tally.failed.load() == 0 &&
                  tally.whole.load() == kReaders * kSnapshotsEach && writes > 0;
  return ok ? 0 : 1;
}
