// SPDX-License-Identifier: Apache-2.0
// Copy hooks per table id: off until set and enabled; misuse stops before a null hook is called.

#include <gtest/gtest.h>
#include <zim/sim/table_props.h>

#include <csignal>
#include <string>

namespace {

int shm_hook(void*, zim_bool_t) { return 0; }
int src_hook(void*, void*) { return 0; }

TEST(TablePropsTest, HooksAreOffUntilSetAndEnabledPerTableId) {
  for (uint32_t id = 0; id < ZIM_NUM_TABLE_TYPES; ++id) {
    const zim_table_props_t* props = zim_srv_table_props_get(id);
    EXPECT_TRUE(props->copy_hooks_on == 0 && !props->copy_shm_hook && !props->copy_src_hook) << id;
    EXPECT_TRUE(id == 0 || props == zim_srv_table_props_get(id - 1) + 1) << "one record per id";
  }
  constexpr uint32_t kId = 268;
  const zim_table_props_t* props = zim_srv_table_props_get(kId);
  zim_table_props_set_copy_hooks(kId, shm_hook, src_hook);
  EXPECT_EQ(props->copy_hooks_on, 0) << "setting hooks must not enable them";
  zim_table_props_enable_copy_hooks(kId, 7);
  EXPECT_EQ(props->copy_hooks_on, 1);
  EXPECT_EQ(props->copy_shm_hook, &shm_hook);
  EXPECT_EQ(props->copy_src_hook, &src_hook);
  EXPECT_EQ(zim_srv_table_props_get(kId - 1)->copy_hooks_on, 0);
  EXPECT_EQ(zim_srv_table_props_get(kId + 1)->copy_shm_hook, nullptr);
  zim_table_props_enable_copy_hooks(kId, 0);
  EXPECT_EQ(props->copy_hooks_on, 0);
  zim_table_props_set_copy_hooks(kId, nullptr, nullptr);
}

TEST(TablePropsTest, MisuseAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto aborted = ::testing::KilledBySignal(SIGABRT);
  const std::string past_catalogue = std::to_string(ZIM_NUM_TABLE_TYPES);
  EXPECT_EXIT(zim_srv_table_props_get(ZIM_NUM_TABLE_TYPES), aborted, past_catalogue);
  EXPECT_EXIT(zim_table_props_set_copy_hooks(ZIM_NUM_TABLE_TYPES, shm_hook, src_hook), aborted,
              past_catalogue);
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
