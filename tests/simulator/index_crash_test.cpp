// SPDX-License-Identifier: Apache-2.0
// The index's writers built with kill points: a writer killed after any of
// its stores, and a recovery killed after any of its own, leave readers the
// old or the new value of every key, and the next recovery leaves the index
// consistent and as it was before the call or after it.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstring>
#include <functional>
#include <vector>

#include "index_test_util.hpp"
#include "segment/segment.hpp"

namespace zim_sim_test {
namespace {

using zim_sim::Index;
using zim_sim::IndexFound;
using zim_sim::IndexValue;

constexpr uint64_t kCapacity = 16;  // 32 slots
constexpr uint32_t kTableId = 4;
constexpr size_t kKeys = 10;

// Keys whose probes start in the last two slots: their cluster wraps, and
// some of them can move back into a hole while others cannot.
const std::vector<uint64_t>& cluster() {
  static const std::vector<uint64_t> keys = colliding_keys(kTableId, 2 * kCapacity, 30, 2, kKeys);
  return keys;
}
IndexValue value_of(size_t i) { return {16 * (i + 1), 1 + i % 3}; }

enum Kind { kPut, kRemove, kRewrite };
const struct Call {
  const char* what;
  size_t before;  // keys of the cluster put first
  Kind kind;
  size_t key;      // of the cluster; for a rewrite, the pool id
  uint64_t moves;  // at least
} kCalls[] = {
    {"an insert at the end of a wrapped cluster", kKeys - 1, kPut, kKeys - 1, 0},
    {"a put that replaces", kKeys, kPut, 2, 0},
    {"removing the first key of the cluster", kKeys, kRemove, 0, 3},
    {"removing the last key of the cluster", kKeys, kRemove, kKeys - 1, 0},
    {"rewriting the offset of a pool id", kKeys, kRewrite, 1, 0},
};

void run(const Call& call, const Index& index) {
  IndexValue v;
  if (call.kind == kPut) zim_sim::index_put(index, kTableId, cluster()[call.key], {4096, 7}, &v);
  if (call.kind == kRemove) zim_sim::index_remove(index, kTableId, cluster()[call.key], &v);
  if (call.kind == kRewrite) zim_sim::index_rewrite_offset(index, call.key, 4096);
}

void PrintTo(const Call& call, std::ostream* os) { *os << call.what; }

// Runs fn in a child stopped at its n-th kill point and kills it there;
// false when it ran past them all.
bool killed_at(unsigned n, const std::function<void()>& fn) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(5);
    zim_sim::stop_at_kill_point(n);
    fn();
    _exit(0);
  }
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, WUNTRACED), pid);
  if (!WIFSTOPPED(status)) {
    EXPECT_TRUE(WIFEXITED(status)) << status;
    return false;
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return true;
}

// Every key present before and after the call reads as one of its two
// values; a key present in neither reads as absent.
void expect_readers_see_old_or_new(const Index& index, const IndexModel& before,
                                   const IndexModel& after) {
  for (uint64_t key : cluster()) {
    const auto b = before.find({kTableId, key}), a = after.find({kTableId, key});
    IndexValue v;
    const IndexFound found = zim_sim::index_get(index, kTableId, key, &v);
    if (b == before.end() && a == after.end()) {
      EXPECT_EQ(found, IndexFound::kAbsent);
    }
    if (b == before.end() || a == after.end()) continue;
    ASSERT_EQ(found, IndexFound::kFound) << "key " << key;
    EXPECT_TRUE(v == b->second || v == a->second) << "key " << key;
  }
}

class IndexCrashTest : public testing::TestWithParam<Call> {};

TEST_P(IndexCrashTest, KilledAtEveryStoreThenRecoveredIsBeforeOrAfter) {
  const uint64_t bytes = zim_sim::index_bytes(kCapacity);
  std::vector<uint64_t> made(bytes / 8);
  Index index;
  ASSERT_TRUE(zim_sim::index_init(made.data(), bytes, kCapacity, &index));
  for (size_t i = 0; i < GetParam().before; ++i) {
    IndexValue v;
    zim_sim::index_put(index, kTableId, cluster()[i], value_of(i), &v);
  }
  const IndexModel before = index_contents(index);
  std::vector<uint64_t> done = made;
  ASSERT_TRUE(zim_sim::index_open(done.data(), bytes, &index, nullptr));
  run(GetParam(), index);
  EXPECT_GE(index.header->moves.load(), GetParam().moves);
  const IndexModel after = index_contents(index);
  ASSERT_NE(before, after);
  unsigned kills = 0;
  for (unsigned n = 1; n < 1000; ++n) {
    SharedRegion region(bytes);
    std::memcpy(region.base, made.data(), bytes);
    ASSERT_TRUE(zim_sim::index_open(region.base, bytes, &index, nullptr));
    if (!killed_at(n, [&] { run(GetParam(), index); })) break;
    ++kills;
    ASSERT_NO_FATAL_FAILURE(expect_readers_see_old_or_new(index, before, after)) << "at " << n;
    // A recovery killed at each of its stores in turn, then one that ends.
    for (unsigned m = 1; killed_at(m, [&] { zim_sim::index_recover(index); }); ++m) {
      ASSERT_NO_FATAL_FAILURE(expect_readers_see_old_or_new(index, before, after))
          << n << ", " << m;
    }
    zim_sim::index_recover(index);
    ASSERT_EQ(zim_sim::index_check(index), "") << "killed at " << n;
    const IndexModel left = index_contents(index);
    EXPECT_TRUE(left == before || left == after) << "killed at " << n;
  }
  EXPECT_GE(kills, 4u);
}

INSTANTIATE_TEST_SUITE_P(Calls, IndexCrashTest, testing::ValuesIn(kCalls));

}  // namespace
}  // namespace zim_sim_test
