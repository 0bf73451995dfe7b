// SPDX-License-Identifier: Apache-2.0
// What a snapshot of a versioned pool's object answers when the block
// headers around it are damaged: the object's or its line's header no longer
// says a live object with its line (EINVAL, nothing copied, and the repaired
// object copies again), or the object's block is too small for the header
// the snapshot reads first (the process ends with a report naming the
// snapshot).
#include <gtest/gtest.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/olist.h>
#include <zim/tables/testglobaldiscard.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "snapshot_test_util.hpp"

namespace zim_test {
namespace {

// Bytes in front of an object: its block header's tag and size, and its
// line's block header's tag and size.
constexpr long kBlockTag = -16;
constexpr long kBlockId = -12;
constexpr long kBlockSize = -8;
constexpr long kLineTag = -64;
constexpr long kLineSize = -56;

struct Damage {
  const char* what;
  long at;  // from the object's first byte
  uint32_t value;
};

qor_olist_obj* versioned_olist() {
  qor_olist_obj* obj = zim_srv_olist_ctor_with_shm(2);
  return obj != nullptr && zim_shm_pool_write_end(obj) == 0 ? obj : nullptr;
}

void overwrite(void* obj, long at, uint32_t value, uint32_t* was) {
  char* where = static_cast<char*>(obj) + at;
  std::memcpy(was, where, sizeof *was);
  std::memcpy(where, &value, sizeof value);
}

TEST(SnapshotDamageTest, HeadersThatNoLongerSayALiveObjectAnswerEinval) {
  const Damage cases[] = {
      {"a retired block's magic", kBlockTag, 0x7465727au},
      {"a table id past the last", kBlockId, ZIM_SHM_POOL_MAX_TABLE_ID + 1},
      {"the line's block magic", kLineTag, 0},
      {"a line block of another size", kLineSize, 64},
  };
  const VersionedPool pool;
  ASSERT_TRUE(pool.ok());
  qor_olist_obj* obj = versioned_olist();
  ASSERT_NE(obj, nullptr);
  for (const Damage& c : cases) {
    SCOPED_TRACE(c.what);
    uint32_t was = 0;
    overwrite(obj, c.at, c.value, &was);
    errno = 0;
    EXPECT_EQ(zim_olist_snapshot(obj), nullptr);
    EXPECT_EQ(errno, EINVAL);
    overwrite(obj, c.at, was, &was);
    qor_olist_obj* copy = zim_olist_snapshot(obj);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(zim_olist_field_2_length(copy), 2u);
    zim_olist_clnt_copy_dtor(copy);
  }
}

// A counted type checks the block before it reads the count; a type
// without one reads the size first and checks the block with it.
qor_testglobaldiscard_obj* versioned_testglobaldiscard() {
  qor_testglobaldiscard_obj* obj = zim_srv_testglobaldiscard_ctor_with_shm();
  return obj != nullptr && zim_shm_pool_write_end(obj) == 0 ? obj : nullptr;
}

int snapshot_damaged(const char* type, long at, uint32_t value) {
  uint32_t was = 0;
  if (std::strcmp(type, "olist") == 0) {
    qor_olist_obj* obj = versioned_olist();
    if (obj == nullptr) return 2;
    overwrite(obj, at, value, &was);
    return zim_olist_snapshot(obj) == nullptr ? 3 : 4;
  }
  qor_testglobaldiscard_obj* obj = versioned_testglobaldiscard();
  if (obj == nullptr) return 2;
  overwrite(obj, at, value, &was);
  return zim_testglobaldiscard_snapshot(obj) == nullptr ? 3 : 4;
}

TEST(SnapshotDamageTest, ABlockSmallerThanTheHeaderEndsTheProcess) {
  const Damage cases[] = {
      {"an empty block", kBlockSize, 0},
      {"a block that ends before the size", kBlockSize, ZIM_OBJ_TOTAL_SIZE_OFFSET},
  };
  for (const char* type : {"olist", "testglobaldiscard"}) {
    for (const Damage& c : cases) {
      SCOPED_TRACE(std::string(type) + ": " + c.what);
      const auto [status, err] = run_in_child_stderr([&] {
        const VersionedPool pool;
        return pool.ok() ? snapshot_damaged(type, c.at, c.value) : 2;
      });
      EXPECT_EQ(status, -1);
      EXPECT_NE(err.find(std::string("zim_") + type + "_snapshot_with_version"), std::string::npos)
          << err;
      EXPECT_NE(err.find("the object's block holds its header"), std::string::npos) << err;
    }
  }
}

}  // namespace
}  // namespace zim_test
