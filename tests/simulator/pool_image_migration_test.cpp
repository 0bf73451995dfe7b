// SPDX-License-Identifier: Apache-2.0
// A pool saved by zim_tables_inspect and restored after its types' layouts
// changed: this program (probe_defs/b) adopts the restored pool, whose
// objects a program of layout a made, and migrates it as any handed-over
// pool, every object found again by its key with its pool id and values.

#include <gtest/gtest.h>
#include <unistd.h>
#include <zim/sim/shm_pool.h>

#include <string>
#include <vector>

#include "migration_test_util.hpp"

namespace zim_sim_test {
namespace {

TEST(PoolImage, ARestoredPoolOfAnotherLayoutIsMigratedAsAHandedOverOne) {
  constexpr uint32_t kObjects = 40;
  const std::string name = unique_pool_name(), restored = name + ".restored";
  const std::string file = ::testing::TempDir() + "migrated_image." + std::to_string(getpid());
  const zim_shm_pool_options_t options{1, 0, 64, 256};
  ASSERT_EQ(zim_shm_pool_create_with(name.c_str(), 4u << 20, &options), 0);
  ASSERT_NE(fill_pool(PROBE_A, kObjects), 0u);
  std::vector<uint64_t> pool_ids;
  for (uint32_t i = 0; i < kObjects; ++i) {
    pool_ids.push_back(zim_shm_pool_id_of(zim_shm_pool_index_get(ZIM_TABLE_ID_PROBE_ENTRY, i)));
  }
  ASSERT_EQ(zim_shm_pool_hand_over(), 0);
  const std::string tool = ZIM_INSPECT_TOOL;
  const auto saved = command_output(tool + " save " + name + " " + file);
  ASSERT_EQ(saved.first, 0) << saved.second;
  ASSERT_EQ(zim_shm_pool_destroy_name(name.c_str()), 0);
  const auto made = command_output(tool + " restore " + file + " " + restored);
  unlink(file.c_str());
  ASSERT_EQ(made.first, 0) << made.second;

  ASSERT_EQ(zim_shm_pool_adopt(restored.c_str()), 0);
  ASSERT_EQ(zim_shm_pool_migrate(nullptr, nullptr), 0);
  const uint32_t npd = qor_npd_get_table_size(ZIM_TABLE_ID_PROBE_ENTRY);
  for (uint32_t i = 0; i < kObjects; ++i) {
    void* obj = zim_shm_pool_index_get(ZIM_TABLE_ID_PROBE_ENTRY, i);
    uint32_t table_id = 0;
    uint64_t size = 0;
    ASSERT_EQ(zim_shm_pool_block_at(zim_shm_pool_offset_of(obj), &table_id, &size), obj);
    EXPECT_EQ(size, entry_size()) << "object " << i << " has this program's layout";
    EXPECT_TRUE(PROBE_OBJECT(PROBE_ENTRY, obj, false, i, size, npd)) << "object " << i;
    EXPECT_EQ(zim_shm_pool_id_of(obj), pool_ids[i]) << "object " << i;
  }
  EXPECT_EQ(zim_shm_pool_root(),
            zim_shm_pool_offset_of(zim_shm_pool_index_get(ZIM_TABLE_ID_PROBE_ENTRY, 0)));
  EXPECT_EQ(zim_shm_pool_destroy(), 0);
}

}  // namespace
}  // namespace zim_sim_test
