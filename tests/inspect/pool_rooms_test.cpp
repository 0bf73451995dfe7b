// SPDX-License-Identifier: Apache-2.0
// zim_tables_inspect pool on a versioned pool: its feed's sequence and
// capacity, its index in use, the object a killed writer left torn (with that
// writer's pid) and the object made but never given a key, in text and JSON.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zim/sim/pool_upgrade.h>
#include <zim/sim/pool_versions.h>

#include <string>

#include "decode.hpp"
#include "sim_test_util.hpp"
#include "zim/tables/catalogue.hpp"

namespace {

namespace cat = zim_tables::catalogue;
using zim_inspect::Json;

// Offsets, pool ids and a pid that the pool's maker hands back.
struct Made {
  uint64_t indexed[2], unindexed, torn;
  uint64_t unindexed_pool_id, torn_pool_id;
};

std::string tool(const std::string& args) {
  return zim_sim_test::command_output(std::string(ZIM_INSPECT_TOOL) + " " + args).second;
}

TEST(PoolRooms, AVersionedPoolShowsItsFeedIndexTornAndUnindexedObjects) {
  const std::string name = zim_sim_test::unique_pool_name();
  auto* made = zim_sim_test::shared_zeroed<Made>();
  const uint32_t keyed = 0, other = 1;                  // table ids of the catalogue
  const zim_shm_pool_options_t options{1, 0, 100, 50};  // a ring of 128
  ASSERT_EQ(zim_sim_test::run_in_child([&] {
              if (zim_shm_pool_create_with(name.c_str(), 64u << 20, &options) != 0) return 1;
              void* objs[3];
              for (void*& obj : objs) {
                obj = cat::types[keyed].ops.srv_ctor_with_shm(2);
                if (obj == nullptr || zim_shm_pool_write_end(obj) != 0) return 2;
              }
              for (uint64_t key = 0; key < 2; ++key) {
                if (zim_shm_pool_index_put(keyed, key, objs[key], nullptr) != 0) return 3;
                made->indexed[key] = zim_shm_pool_offset_of(objs[key]);
              }
              made->unindexed = zim_shm_pool_offset_of(objs[2]);
              made->unindexed_pool_id = zim_shm_pool_id_of(objs[2]);
              void* lone = cat::types[other].ops.srv_ctor_with_shm(2);  // no key: its id has none
              if (lone == nullptr || zim_shm_pool_write_end(lone) != 0) return 4;
              made->torn = zim_shm_pool_offset_of(lone);
              made->torn_pool_id = zim_shm_pool_id_of(lone);
              return zim_shm_pool_hand_over();
            }),
            0);
  const pid_t writer = zim_sim_test::spawn([&] {
    if (zim_shm_pool_attach(name.c_str()) != 0) return 1;
    zim_shm_pool_write_begin(zim_shm_pool_at(made->torn));
    return raise(SIGKILL);
  });
  ASSERT_EQ(zim_sim_test::wait_exit(writer), -1);

  const Json v = Json::parse(tool("pool " + name + " --json"))["versions"];
  EXPECT_EQ(v["feed"],
            (Json{{"next_sequence", 8}, {"capacity", 128}}));  // 4 writes, 2 keys, the hand-over
  EXPECT_EQ(v["index"], (Json{{"keys", 2}, {"capacity", 50}}));
  EXPECT_EQ(v["unindexed"], 1);
  EXPECT_EQ(v["unindexed_objects"], (Json::array({{{"offset", made->unindexed},
                                                   {"table_id", keyed},
                                                   {"pool_id", made->unindexed_pool_id}}})));
  ASSERT_EQ(v["torn_objects"].size(), 1u);
  const Json& torn = v["torn_objects"][0];
  EXPECT_EQ(torn["offset"], made->torn);
  EXPECT_EQ(torn["table_id"], other);
  EXPECT_EQ(torn["pool_id"], made->torn_pool_id);
  EXPECT_EQ(torn["writer_pid"], writer);
  EXPECT_EQ(torn["version"].get<uint64_t>() % 2, 1u);

  const std::string text = tool("pool " + name);
  const std::string lines[] = {
      "feed: next sequence 8, 128 entries\n",
      "index: 2 keys of 50, 1 objects of indexed table ids without a key\n",
      "torn at offset " + std::to_string(made->torn) + ": table id " + std::to_string(other) +
          ", pool id " + std::to_string(made->torn_pool_id) + ", version " +
          std::to_string(torn["version"].get<uint64_t>()) + ", its dead writer was process " +
          std::to_string(writer) + "\n",
      "without a key at offset " + std::to_string(made->unindexed) + ": table id " +
          std::to_string(keyed) + ", pool id " + std::to_string(made->unindexed_pool_id) + "\n",
  };
  for (const std::string& line : lines)
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
  shm_unlink(name.c_str());
}

}  // namespace
