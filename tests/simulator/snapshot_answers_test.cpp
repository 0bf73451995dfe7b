// SPDX-License-Identifier: Apache-2.0
// What a snapshot answers where it cannot copy a whole version at once: a
// live writer's write past the bound (EBUSY), a dead one's (EOWNERDEAD, which
// the scope guard tells its next writer), and the versions it gives; and
// what ends the process: sizes that disagree in a whole version, including
// a size and count that agree with each other but not with the block.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/olist.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <zim/tables/write_scope.hpp>

#include "snapshot_test_util.hpp"

namespace zim_test {
namespace {

using Clock = std::chrono::steady_clock;

qor_olist_obj* versioned_olist() {
  qor_olist_obj* obj = zim_srv_olist_ctor_with_shm(2);
  if (obj == nullptr) return nullptr;
  zim_olist_set_field_5(obj, 77);  // inside the allocation's write
  return zim_shm_pool_write_end(obj) == 0 ? obj : nullptr;
}

TEST(SnapshotAnswersTest, VersionsOfPoolObjectsAndNoneOfHeapOnes) {
  const VersionedPool pool;
  ASSERT_TRUE(pool.ok());
  qor_olist_obj* obj = versioned_olist();
  ASSERT_NE(obj, nullptr);
  uint64_t version = 1;
  qor_olist_obj* copy = zim_olist_snapshot_with_version(obj, &version);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(version, zim_shm_pool_version_of(obj));
  EXPECT_EQ(zim_olist_get_field_5(copy), 77u);
  EXPECT_EQ(zim_olist_field_2_length(copy), 2u);
  qor_olist_obj* heap = zim_olist_snapshot_with_version(copy, &version);
  ASSERT_NE(heap, nullptr);
  EXPECT_EQ(version, 0u);
  EXPECT_EQ(zim_olist_get_field_5(heap), 77u);
  EXPECT_EQ(zim_olist_field_2_length(heap), 2u);
  zim_olist_clnt_copy_dtor(heap);
  zim_olist_clnt_copy_dtor(copy);
}

TEST(SnapshotAnswersTest, ALiveWritersWritePastTheBoundIsBusyADeadOnesTorn) {
  const VersionedPool pool;
  ASSERT_TRUE(pool.ok());
  qor_olist_obj* obj = versioned_olist();
  ASSERT_NE(obj, nullptr);
  const uint64_t at = zim_shm_pool_offset_of(obj);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t writer = spawn([&] {
    zim_shm_pool_detach();
    if (zim_shm_pool_attach(pool.name().c_str()) != 0) return 2;
    if (zim_shm_pool_write_begin(zim_shm_pool_at(at)) != 0) return 3;
    if (write(ready[1], "w", 1) != 1) return 4;
    pause();
    return 0;
  });
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  const auto start = Clock::now();
  errno = 0;
  EXPECT_EQ(zim_olist_snapshot(obj), nullptr);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_GE(Clock::now() - start, std::chrono::microseconds(ZIM_SHM_POOL_WRITE_BOUND_US));
  kill(writer, SIGKILL);
  EXPECT_EQ(wait_exit(writer), -1);
  errno = 0;
  EXPECT_EQ(zim_olist_snapshot(obj), nullptr);
  EXPECT_EQ(errno, EOWNERDEAD);
  EXPECT_TRUE(zim_tables::write_scope(obj).torn());
  close(ready[0]);
  close(ready[1]);
}

// A writer's change of total_obj_size and count, made whole.
struct SizeCase {
  const char* what;
  uint32_t count;       // written at the count
  int64_t size_change;  // from the size that count gives
  const char* report;
};

TEST(SnapshotAnswersTest, SizesThatDisagreeInAWholeVersionEndTheProcess) {
  const SizeCase cases[] = {
      {"a size one byte short", 2, -1, "total_obj_size == the size of its count"},
      {"a count that the size does not give", 3, -int64_t{8},
       "total_obj_size == the size of its count"},
      {"a count and size past the block", 1000, 0,
       "total_obj_size <= the size of the object's block"},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.what);
    const auto [status, err] = run_in_child_stderr([&] {
      const VersionedPool pool;
      qor_olist_obj* obj = pool.ok() ? versioned_olist() : nullptr;
      if (obj == nullptr || zim_shm_pool_write_begin(obj) != 0) return 2;
      const uint32_t size = static_cast<uint32_t>(qor_olist_get_obj_size(c.count) + c.size_change);
      std::memcpy(reinterpret_cast<char*>(obj) + ZIM_OLIST_COUNT_OFFSET, &c.count, 4);
      std::memcpy(reinterpret_cast<char*>(obj) + ZIM_OBJ_TOTAL_SIZE_OFFSET, &size, 4);
      if (zim_shm_pool_write_end(obj) != 0) return 3;
      return zim_olist_snapshot(obj) == nullptr ? 4 : 5;
    });
    EXPECT_EQ(status, -1);
    EXPECT_NE(err.find("zim_olist_snapshot_with_version"), std::string::npos) << err;
    EXPECT_NE(err.find(c.report), std::string::npos) << err;
  }
}

}  // namespace
}  // namespace zim_test
