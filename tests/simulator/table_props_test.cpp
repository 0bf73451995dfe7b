// SPDX-License-Identifier: Apache-2.0
// Copy hooks per table id: off until set and enabled; misuse stops before a null hook is called.

#include <gtest/gtest.h>
#include <zim/sim/table_props.h>

#include <csignal>
#include <string>

#include "sim_test_util.hpp"

namespace {

int shm_hook(void*, zim_bool_t) { return 0; }
int src_hook(void*, void*) { return 0; }

bool off(uint32_t id) {
  const zim_table_props_t* props = zim_srv_table_props_get(id);
  return props->copy_hooks_on == 0 && !props->copy_shm_hook && !props->copy_src_hook;
}

// Records of ids of any catalogue, taken only for the ids whose hooks are set
// (records of every id would take 40 MiB).
TEST(TablePropsTest, HooksAreOffUntilSetAndEnabledPerTableId) {
  for (uint32_t id = 0; id <= 65535; ++id) ASSERT_TRUE(off(id)) << id;
  const uint64_t heap = zim_sim_test::heap_bytes();
  for (const uint32_t id : {0u, 342u, 343u, 1000u, 65535u}) {
    zim_table_props_set_copy_hooks(id, shm_hook, src_hook);
    EXPECT_EQ(zim_srv_table_props_get(id)->copy_hooks_on, 0) << "setting must not enable " << id;
    zim_table_props_enable_copy_hooks(id, 7);
    const zim_table_props_t* props = zim_srv_table_props_get(id);
    EXPECT_TRUE(props->copy_hooks_on == 1 && props->copy_shm_hook == &shm_hook &&
                props->copy_src_hook == &src_hook)
        << id;
    EXPECT_TRUE(off(id == 65535 ? id - 1 : id + 1)) << "a neighbour of " << id;
  }
  EXPECT_LT(zim_sim_test::heap_bytes() - heap, 65536u);
  // A record for every id would take 37 MiB; sanitizer builds pad the globals.
  EXPECT_LT(zim_sim_test::writable_bytes("libzim_table_props.so"), 1u << 20);
  for (const uint32_t id : {0u, 342u, 343u, 1000u, 65535u}) {
    zim_table_props_enable_copy_hooks(id, 0);
    EXPECT_EQ(zim_srv_table_props_get(id)->copy_hooks_on, 0) << id;
    zim_table_props_set_copy_hooks(id, nullptr, nullptr);
    EXPECT_TRUE(off(id)) << id;
  }
}

TEST(TablePropsTest, MisuseAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto aborted = ::testing::KilledBySignal(SIGABRT);
  EXPECT_EXIT(zim_srv_table_props_get(65536), aborted, "65536");
  EXPECT_EXIT(zim_table_props_set_copy_hooks(65536, shm_hook, src_hook), aborted, "65536");
  EXPECT_EXIT(zim_table_props_enable_copy_hooks(UINT32_MAX, 0), aborted, "4294967295");
  EXPECT_EXIT(zim_table_props_enable_copy_hooks(5, 1), aborted, "before both are set");
  EXPECT_EXIT((zim_table_props_set_copy_hooks(5, nullptr, src_hook),
               zim_table_props_enable_copy_hooks(5, 1)),
              aborted, "before both are set");
  EXPECT_EXIT((zim_table_props_set_copy_hooks(5, shm_hook, src_hook),
               zim_table_props_enable_copy_hooks(5, 1),
               zim_table_props_set_copy_hooks(5, shm_hook, nullptr)),
              aborted, "unset while the hooks are on");
}

}  // namespace
