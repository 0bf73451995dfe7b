// SPDX-License-Identifier: Apache-2.0
// Readers without a lock, in threads and in another process that maps the
// index elsewhere, while a writer replaces, inserts and removes keys of one
// crowded cluster, so that removals move the keys being read.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <thread>
#include <vector>

#include "index_test_util.hpp"

namespace zim_sim_test {
namespace {

using zim_sim::Index;
using zim_sim::IndexFound;
using zim_sim::IndexValue;

constexpr uint64_t kCapacity = 48;
constexpr uint32_t kTableId = 1;
constexpr size_t kKeys = 36;
constexpr unsigned kRounds = 20000;  // at least, and until readers read kReads times
constexpr uint64_t kReads = 10000000;

// Shared with the readers, after the index's bytes: what they saw, and for
// each key, removals so far << 1 | whether it is in the index now.
struct Shared {
  std::atomic<uint64_t> done, reads, missing, torn, older, busy;
  std::atomic<uint64_t> presence[kKeys];
};

// Each value names its key and version, and its offset is derived from both:
// a value put together from two stores shows.
IndexValue value_of(uint64_t key, uint64_t version) {
  const uint64_t pool_id = key << 24 | version;
  return {pool_id * 0x9e3779b97f4a7c15ull, pool_id};
}
bool whole(uint64_t key, const IndexValue& v) {
  return v.pool_id >> 24 == key && v.offset == v.pool_id * 0x9e3779b97f4a7c15ull;
}

// Reads keys until the writer is done: a key present before and after a get
// must be found, and a key's versions only grow.
void read_until_done(const Index& index, const std::vector<uint64_t>& keys, Shared* shared) {
  std::vector<uint64_t> last(kKeys);
  for (size_t i = 0; shared->done.load() == 0; i = (i + 7) % kKeys) {
    const uint64_t presence = shared->presence[i].load(std::memory_order_acquire);
    IndexValue v;
    const IndexFound found = zim_sim::index_get(index, kTableId, keys[i], &v);
    std::atomic_thread_fence(std::memory_order_acquire);
    const bool stayed = (presence & 1) != 0 && shared->presence[i].load() == presence;
    shared->reads.fetch_add(1, std::memory_order_relaxed);
    shared->busy += found == IndexFound::kBusy;
    shared->missing += found == IndexFound::kAbsent && stayed;
    if (found != IndexFound::kFound) continue;
    shared->torn += !whole(keys[i], v);
    const uint64_t version = v.pool_id & 0xffffff;
    shared->older += version < last[i];
    last[i] = version;
  }
}

// Takes the oldest key out and puts it back at the end of the cluster, so
// that every removal moves the keys behind it, and gives another key a new
// version in place.
void write_round(const Index& index, const std::vector<uint64_t>& keys, unsigned round,
                 std::vector<uint64_t>* version, Shared* shared) {
  const size_t oldest = round % kKeys, other = (round * 5 + 3) % kKeys;
  IndexValue old;
  shared->presence[oldest].store(((shared->presence[oldest].load() >> 1) + 1) << 1);
  zim_sim::index_remove(index, kTableId, keys[oldest], &old);
  zim_sim::index_put(index, kTableId, keys[other], value_of(keys[other], ++(*version)[other]),
                     &old);
  zim_sim::index_put(index, kTableId, keys[oldest], value_of(keys[oldest], ++(*version)[oldest]),
                     &old);
  shared->presence[oldest].store(shared->presence[oldest].load() | 1);
}

TEST(IndexReaderTest, ReadersSeeWholeValuesAndNeverLoseAPresentKey) {
  const uint64_t bytes = zim_sim::index_bytes(kCapacity);
  SharedRegion region(bytes + sizeof(Shared));
  ASSERT_NE(region.base, nullptr);
  Index index;
  ASSERT_TRUE(zim_sim::index_init(region.base, bytes, kCapacity, &index));
  auto* shared = reinterpret_cast<Shared*>(static_cast<char*>(region.base) + bytes);
  const std::vector<uint64_t> keys = colliding_keys(kTableId, index.slot_count, 20, 3, kKeys);
  std::vector<uint64_t> version(kKeys, 1);
  for (size_t i = 0; i < kKeys; ++i) {
    IndexValue old;
    zim_sim::index_put(index, kTableId, keys[i], value_of(keys[i], 1), &old);
    shared->presence[i] = 1;
  }
  const pid_t reader = fork();
  if (reader == 0) {
    Index mine;
    if (!zim_sim::index_open(region.map_again(), bytes, &mine, nullptr)) _exit(1);
    read_until_done(mine, keys, shared);
    _exit(0);
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) threads.emplace_back(read_until_done, index, keys, shared);
  for (unsigned round = 0; round < kRounds || shared->reads.load() < kReads; ++round) {
    write_round(index, keys, round, &version, shared);
  }
  shared->done = 1;
  for (std::thread& t : threads) t.join();
  int status = 0;
  ASSERT_EQ(waitpid(reader, &status, 0), reader);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_GT(index.header->moves.load(), kRounds * 10);
  EXPECT_EQ(shared->missing.load(), 0u);
  EXPECT_EQ(shared->torn.load(), 0u);
  EXPECT_EQ(shared->older.load(), 0u);
  EXPECT_EQ(shared->busy.load(), 0u);
  EXPECT_EQ(zim_sim::index_check(index), "");
}

}  // namespace
}  // namespace zim_sim_test
