// SPDX-License-Identifier: Apache-2.0
// A migration cut short, and the history a completed one leaves: a
// conversion the owner was making when it stopped is part of the migration;
// retired records tell the migrations done and the layouts they superseded,
// by which retired blocks decode.
#include <gtest/gtest.h>

#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

#include "crafted_migration.hpp"
#include "render.hpp"

namespace {

using zim_inspect::inspect_pool;

// A converted object of the user's type that a conversion was still writing:
// its base header not yet written.
Bytes half_converted() {
  Bytes b = g_pool[kConverted].bytes;
  put<uint16_t>(b, ZIM_OBJ_TABLE_ID_OFFSET, 0);
  return b;
}

void set_move_target(uint64_t offset) {
  const size_t at = sizeof(zim_shm_pool_migration_t) + sizeof(zim_shm_pool_migration_type_t) +
                    offsetof(zim_shm_pool_move_t, new_offset);
  std::memcpy(g_pool[kMigrationRecord].bytes.data() + at, &offset, sizeof offset);
}

// The block a conversion was writing is held apart only while it can be that
// block: the last of its id, made since the migration began, by no recorded
// conversion, while the migration converts.
TEST(MigrationHistory, AConversionCutShortIsPartOfTheMigration) {
  struct Case {
    const char* what;
    uint32_t state;
    bool another_after, recorded_as_converted, cut_short;
  };
  const Case cases[] = {
      {"the last block of its id", ZIM_SHM_POOL_MIGRATING, false, false, true},
      {"a block of its id follows", ZIM_SHM_POOL_MIGRATING, true, false, false},
      {"a recorded conversion made it", ZIM_SHM_POOL_MIGRATING, false, true, false},
      {"every object converted", ZIM_SHM_POOL_MIGRATED, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    craft_migration(c.state);
    const size_t broken = g_pool.size();
    g_pool.push_back({kUserId, half_converted()});
    if (c.another_after) g_pool.push_back({kUserId, g_pool[kConverted].bytes});
    if (c.recorded_as_converted) set_move_target(offset_of(broken));
    std::string error;
    const auto report = inspect_pool("/crafted", crafted_context(), error, true);
    ASSERT_TRUE(report) << error;
    const Json& migration = (*report)["records"]["migrations"][0];
    EXPECT_EQ(migration["under_way"], true);
    const std::string problems = problems_of(*report);
    const bool broken_reported =
        problems.find("\"offset\":" + std::to_string(offset_of(broken))) != std::string::npos;
    EXPECT_EQ(broken_reported, !c.cut_short) << problems;
    if (!c.cut_short) continue;
    EXPECT_TRUE((*report)["consistent"].get<bool>()) << problems;
    EXPECT_EQ(migration["cut_short"]["offset"], offset_of(broken));
    EXPECT_EQ((*report)["tables"][1]["objects"], 2);  // not an object
    EXPECT_EQ((*report)["blocks"].back()["cut_short"], true);
    std::ostringstream text;
    zim_inspect::print_pool(text, *report);
    const std::string expected[] = {"under way, converting: 1 of 2 objects converted\n",
                                    "a conversion cut short: the block of " +
                                        std::to_string(g_pool[broken].bytes.size()) +
                                        " bytes at offset " + std::to_string(offset_of(broken)),
                                    "converts the 1 objects left and completes it\n"};
    for (const std::string& e : expected) {
      EXPECT_NE(text.str().find(e), std::string::npos) << e << text.str();
    }
  }
}

// The migration's end as the pool leaves it: every object converted, the old
// layout record retired, the root moved on; the migration record live while
// the moves are being reported (an owner killed in `moved`), retired after.
void craft_converted(bool record_retired) {
  craft_migration(ZIM_SHM_POOL_MIGRATED);
  g_pool[3].retired = 1;  // converted too
  g_pool[5].is_root = 0;
  g_pool[kConverted].is_root = 1;
  g_pool[kOldRecord].retired = 1;
  g_pool[kMigrationRecord].retired = record_retired ? 1 : 0;
}

TEST(MigrationHistory, RetiredRecordsTellWhatCameBefore) {
  for (const bool completed : {false, true}) {
    SCOPED_TRACE(completed ? "completed" : "killed while it reported the moves");
    craft_converted(completed);
    std::string error;
    const auto report = inspect_pool("/crafted", crafted_context(), error);
    ASSERT_TRUE(report) << error;
    EXPECT_TRUE((*report)["consistent"].get<bool>()) << problems_of(*report);
    const Json& records = (*report)["records"];
    ASSERT_EQ(records["migrations"].size(), 1u);
    EXPECT_EQ(records["migrations"][0]["state"], completed ? "completed" : "migrated");
    EXPECT_EQ(records["migrations"][0]["under_way"], !completed);
    EXPECT_EQ(records["layout_records"].size(), 3u);  // the live ones
    EXPECT_EQ(records["retired_records"], completed ? 2 : 1);

    const auto history = zim_inspect::pool_history("/crafted", crafted_context(), error);
    ASSERT_TRUE(history) << error;
    EXPECT_EQ((*history)["completed_migrations"], completed ? 1 : 0);
    ASSERT_EQ((*history)["superseded_layouts"].size(), 1u);
    const Json& old = (*history)["superseded_layouts"][0];
    EXPECT_EQ(old["offset"], offset_of(kOldRecord));
    EXPECT_EQ(old["retired"], true);
    EXPECT_EQ(old["migration"], offset_of(kMigrationRecord));

    // The retired block decodes by the layout it was made with, the old one.
    bool decoded = false;
    const auto use = [&](const zim_inspect::PoolObject& object) {
      ASSERT_NE(object.type, nullptr);
      EXPECT_TRUE(object.retired);
      EXPECT_EQ(check(*object.type, *object.bytes, object.sizing(kUserId)),
                std::vector<std::string>{});
      decoded = true;
    };
    EXPECT_TRUE(zim_inspect::with_pool_object("/crafted", crafted_context(), {offset_of(5), {}},
                                              use, error))
        << error;
    EXPECT_TRUE(decoded);
  }
}

// A retired block whose layout the pool no longer records is said to be so,
// never read by another layout of its id.
TEST(MigrationHistory, ARetiredBlockOfAnUnrecordedLayoutIsNotGuessed) {
  craft_converted(true);
  g_pool[kOldRecord].tag = ZIM_SHM_POOL_UNTYPED;  // the old layout record gone
  std::string error;
  bool unrecorded = false;
  const TypeLayout* type = &layouts()[0];
  const auto use = [&](const zim_inspect::PoolObject& object) {
    unrecorded = object.layout_unrecorded;
    type = object.type;
  };
  EXPECT_TRUE(
      zim_inspect::with_pool_object("/crafted", crafted_context(), {offset_of(5), {}}, use, error))
      << error;
  EXPECT_TRUE(unrecorded);
  EXPECT_EQ(type, nullptr);
}

}  // namespace
