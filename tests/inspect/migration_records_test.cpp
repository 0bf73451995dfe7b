// SPDX-License-Identifier: Apache-2.0
// A migration as the pool's records describe it: which layout reads each
// block, and records of a migration that cannot be trusted.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "codec/fingerprint.hpp"
#include "crafted_migration.hpp"
#include "render.hpp"

namespace {

// While a migration is under way the objects it has yet to convert read by
// the old layout, converted ones by the new, retired blocks by none; once it
// has converted them all, the new layout holds for every live block (so the
// crafted old object, which no sound pool then holds, is inconsistent) and a
// retired root is a problem.
TEST(PoolRecords, MigrationDecidesEachBlocksLayout) {
  for (const uint32_t state : {ZIM_SHM_POOL_MIGRATING, ZIM_SHM_POOL_MIGRATED}) {
    const bool migrating = state == ZIM_SHM_POOL_MIGRATING;
    SCOPED_TRACE(migrating);
    craft_migration(state);
    std::string error;
    const auto report = zim_inspect::inspect_pool("/crafted", crafted_context(), error, true);
    ASSERT_TRUE(report) << error;
    EXPECT_EQ((*report)["consistent"], migrating) << problems_of(*report);
    EXPECT_EQ((*report)["retired_blocks"], 2);
    const Json& user = (*report)["tables"][1];
    EXPECT_EQ(user["objects"], 2);
    EXPECT_EQ(user["retired_blocks"], 2);
    EXPECT_EQ(user["problems"].empty(), migrating);
    for (const auto& p : user["problems"]) EXPECT_EQ(p["offset"], offset_of(3));
    EXPECT_EQ((*report)["root"]["retired"], true);
    EXPECT_EQ((*report)["root"]["consistent"], migrating);
    if (!migrating) continue;

    std::ostringstream text;
    zim_inspect::print_pool(text, *report);
    const std::string at = "  at offset ";
    const auto hex_of_record = [](size_t i) {
      return zim_codec::fingerprint_hex(recorded_fingerprint(i));
    };
    const std::string old_hex = hex_of_record(kOldRecord), new_hex = hex_of_record(kNewRecord);
    const std::string expected[] = {
        "pool /crafted: 3 objects, ",
        "2 retired blocks (",
        "layout records: 4, 1 superseded, 1 as in the catalogue, 1 differing from the "
        "catalogue, 1 not in the catalogue\n",
        at + std::to_string(offset_of(7)) + ": table id 6 testdynhg, fingerprint " +
            hex_of_record(7) + ", as in the catalogue\n",
        "table id 268 olist, fingerprint " + hex_of_record(8) +
            ", differs from the catalogue: olist: ",
        "table id 1000 port_entry, fingerprint " + old_hex + ", superseded by a later record\n",
        "table id 1000 port_entry, fingerprint " + new_hex + ", not in the catalogue\n",
        "migration at offset " + std::to_string(offset_of(kConverted + 1)) +
            ": under way, converting: 1 of 2 objects converted\n  table id 1000 port_entry: "
            "fingerprint " +
            old_hex + " -> " + new_hex + "\n",
        "bytes at offset " + std::to_string(offset_of(5)) +
            ", a retired block (the migration under way moves the root on)\n",
        "retired block at offset " + std::to_string(offset_of(5)) +
            ": port_entry (table id 1000), " + std::to_string(g_pool[5].bytes.size()) +
            " bytes, uid 4243\n",
    };
    for (const std::string& e : expected)
      EXPECT_NE(text.str().find(e), std::string::npos) << e << text.str();

    // decode --pool: by its uid, a retired block when no live block holds it,
    // read by the layout it was made with.
    for (const uint32_t uid : {kUserUid, kRetiredUid}) {
      bool retired = false;
      std::vector<std::string> problems{"not found"};
      const auto use = [&](const zim_inspect::PoolObject& object) {
        retired = object.retired;
        problems = check(*object.type, *object.bytes, object.sizing(kUserId));
      };
      EXPECT_TRUE(
          zim_inspect::with_pool_object("/crafted", crafted_context(), {{}, uid}, use, error))
          << error;
      EXPECT_EQ(retired, uid == kRetiredUid);
      EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
    }
  }
}

// A migration record that does not read as its format says, or names layouts
// the pool does not record, is reported and never used: the object it has
// yet to convert is then checked by the id's last layout.
TEST(PoolRecords, DamagedMigrationRecordsAreNotTrusted) {
  const auto set = [](size_t at, uint64_t value, size_t width) {
    return [=](std::vector<Piece>& pool) {
      std::memcpy(pool.back().bytes.data() + at, &value, width);
    };
  };
  const size_t type = sizeof(zim_shm_pool_migration_t);
  struct Case {
    std::function<void(std::vector<Piece>&)> damage;
    std::string expected;
    size_t trusted;
  };
  const Case cases[] = {
      {[](std::vector<Piece>& pool) { pool.back().bytes.resize(16); },
       "has 16 bytes, fewer than its header", 0},
      {set(offsetof(zim_shm_pool_migration_t, state), 7, 4),
       "is in state 7, neither migrating (1) nor migrated (2)", 0},
      {set(offsetof(zim_shm_pool_migration_t, type_count), 0xffffffff, 4),
       "says it holds 4294967295 types; its block holds 2", 0},
      {set(offsetof(zim_shm_pool_migration_t, move_capacity), UINT64_MAX, 8),
       "says it made 1 of 18446744073709551615 moves; its block holds 2", 0},
      {set(offsetof(zim_shm_pool_migration_t, move_count), 3, 8), "says it made 3 of 2 moves", 0},
      {set(type + offsetof(zim_shm_pool_migration_type_t, table_id), 70000, 4),
       "names table id 70000 twice or above 65535", 0},
      {set(type + offsetof(zim_shm_pool_migration_type_t, old_fingerprint), 1, 8),
       "from fingerprint 0000000000000001 to ", 0},
      {set(type + offsetof(zim_shm_pool_migration_type_t, new_layout), 16, 8),
       "(its record at offset 16), layouts that the pool does not both record", 0},
      {[](std::vector<Piece>& pool) { pool.push_back(pool.back()); },
       "a second migration under way; the one at offset ", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    craft_migration(ZIM_SHM_POOL_MIGRATING);
    c.damage(g_pool);
    std::string error;
    const auto report = zim_inspect::inspect_pool("/crafted", crafted_context(), error);
    ASSERT_TRUE(report) << error;
    EXPECT_NE((*report)["problems"].dump().find(c.expected), std::string::npos)
        << (*report)["problems"].dump();
    EXPECT_EQ((*report)["records"]["migrations"].size(), c.trusted);
    EXPECT_EQ((*report)["tables"][1]["problems"].empty(), c.trusted == 1);
  }
}

}  // namespace
