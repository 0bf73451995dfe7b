// SPDX-License-Identifier: Apache-2.0
// Snapshots of a versioned pool's objects while their server rewrites them
// at full speed, in client processes: a server sets every field of olist
// objects to one counter inside brackets, and clients take ten million
// snapshots between them; each must hold one counter throughout, at an even
// version no older than the last one the client saw of that object.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/olist.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>
#include <zim/tables/write_scope.hpp>

#include "olist_counter.hpp"
#include "snapshot_test_util.hpp"

namespace zim_test {
namespace {

constexpr int kObjects = 4;
constexpr uint32_t kCount = kCounterCount;
constexpr int kClients = 2;
constexpr uint64_t kSnapshots = 10'000'000;

// What a client tells the server: its snapshots, retries and faults.
struct ClientReport {
  std::atomic<uint64_t> whole, busy, torn, stale;
};

int client(const std::string& pool, const uint64_t* offsets, uint64_t wanted,
           ClientReport* report) {
  zim_shm_pool_detach();
  if (zim_shm_pool_attach(pool.c_str()) != 0) return 2;
  uint64_t last[kObjects] = {}, whole = 0, busy = 0;
  for (uint64_t n = 0; whole < wanted; ++n) {
    const int k = static_cast<int>(n % kObjects);
    auto* obj = static_cast<qor_olist_obj*>(zim_shm_pool_at(offsets[k]));
    uint64_t version = 0;
    qor_olist_obj* copy = zim_olist_snapshot_with_version(obj, &version);
    if (copy == nullptr) {
      if (errno != EBUSY || ++busy > wanted / 100) return 3;
      report->busy.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    if (!one_counter(copy)) report->torn.fetch_add(1, std::memory_order_relaxed);
    if (version == 0 || (version & 1) != 0 || version < last[k]) {
      report->stale.fetch_add(1, std::memory_order_relaxed);
    }
    last[k] = version;
    zim_olist_clnt_copy_dtor(copy);
    ++whole;
  }
  report->whole.fetch_add(whole, std::memory_order_relaxed);
  return 0;
}

TEST(WholeSnapshotTest, ClientsSnapshotEveryObjectWholeWhileItsServerRewritesIt) {
  const VersionedPool pool;
  ASSERT_TRUE(pool.ok());
  uint64_t offsets[kObjects];
  std::vector<qor_olist_obj*> objects;
  for (uint64_t& at : offsets) {
    qor_olist_obj* obj = zim_srv_olist_ctor_with_shm(kCount);
    ASSERT_NE(obj, nullptr);
    set_all(obj, 1);  // a new object is under way until its first write_end
    ASSERT_EQ(zim_shm_pool_write_end(obj), 0);
    at = zim_shm_pool_offset_of(obj);
    objects.push_back(obj);
  }
  auto* report = shared_zeroed<ClientReport>();
  ASSERT_NE(report, nullptr);
  std::vector<pid_t> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.push_back(
        spawn([&] { return client(pool.name(), offsets, kSnapshots / kClients, report); }));
  }
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  uint64_t counter = 2, writes = 0;
  while (running(clients) && std::chrono::steady_clock::now() < give_up) {
    qor_olist_obj* obj = objects[counter % kObjects];
    zim_tables::write_scope scope(obj);
    set_all(obj, counter++);
    ++writes;
  }
  for (const pid_t pid : clients) EXPECT_EQ(wait_exit(pid), 0);
  EXPECT_EQ(report->torn.load(), 0u);
  EXPECT_EQ(report->stale.load(), 0u);
  EXPECT_GE(report->whole.load(), kSnapshots) << report->busy.load() << " busy";
  EXPECT_GT(writes, 1000u);
  std::printf("%llu writes, %llu snapshots whole, %llu busy\n",
              static_cast<unsigned long long>(writes),
              static_cast<unsigned long long>(report->whole.load()),
              static_cast<unsigned long long>(report->busy.load()));
}

}  // namespace
}  // namespace zim_test
