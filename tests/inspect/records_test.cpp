// SPDX-License-Identifier: Apache-2.0
// Pools as their own records describe them, a migration's among them (which
// layout reads each block): crafted pieces, walked in process, so that every
// damage a record can carry is met.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "codec/fingerprint.hpp"
#include "crafted_migration.hpp"
#include "render.hpp"

namespace {

// A user's objects decode under their own type from the pool's record, beside
// the platform's from the catalogue, each sized by the pool's config record.
TEST(PoolRecords, ObjectsDecodeUnderThePoolsOwnTypes) {
  craft_pool();
  std::string error;
  const auto report = zim_inspect::inspect_pool("/crafted", crafted_context(), error);
  ASSERT_TRUE(report) << error;
  EXPECT_TRUE((*report)["consistent"].get<bool>()) << report->dump(2);
  ASSERT_EQ((*report)["tables"].size(), 2u);
  EXPECT_EQ((*report)["tables"][0]["type"], "testdynhg");
  EXPECT_EQ((*report)["tables"][0]["layout"], "catalogue");
  EXPECT_EQ((*report)["tables"][1]["type"], "port_entry");
  EXPECT_EQ((*report)["tables"][1]["layout"], "pool");
  const Json& records = (*report)["records"];
  EXPECT_EQ(records["config"]["npd_sizes"].size(), 2u);
  EXPECT_EQ(records["layout_records"][0]["type"], "port_entry");
  EXPECT_EQ(records["id_pages"], 1);

  // decode --pool finds it by uid and reads it as the pool's type.
  std::string decoded;
  const auto use = [&](const zim_inspect::PoolObject& object) {
    ASSERT_NE(object.type, nullptr);
    decoded = object.type->name;
    EXPECT_TRUE(check(*object.type, *object.bytes, object.sizing(kUserId)).empty());
  };
  ASSERT_TRUE(
      zim_inspect::with_pool_object("/crafted", crafted_context(), {{}, kUserUid}, use, error))
      << error;
  EXPECT_EQ(decoded, "port_entry");
}

// A record that does not read as its format says is reported and never
// trusted: the user's object then has no layout.
TEST(PoolRecords, DamagedRecordsAreReportedNotTrusted) {
  const auto head = [](uint32_t id, uint32_t text_size, uint64_t fingerprint_xor) {
    return [=](Bytes& b) {
      auto* r = reinterpret_cast<zim_shm_pool_layout_record_t*>(b.data());
      r->table_id += id;
      r->text_size += text_size;
      r->fingerprint ^= fingerprint_xor;
    };
  };
  const auto text = [](const std::string& from, const std::string& to) {
    return [=](Bytes& b) {
      std::string s(b.begin() + sizeof(zim_shm_pool_layout_record_t), b.end());
      s.replace(s.find(from), from.size(), to);
      b.resize(sizeof(zim_shm_pool_layout_record_t));
      b.insert(b.end(), s.begin(), s.end());
    };
  };
  struct Case {
    std::function<void(Bytes&)> damage;
    const char* expected;
  };
  const Case cases[] = {
      {head(1, 0, 0), "record of table id 1001 (fingerprint "},
      {head(0, 0, 1), "states type port_entry of table id 1000 and fingerprint "},
      {head(0, 1, 0), "bytes of text; its block holds"},
      {head(0, 0x7fffffff, 0), "bytes of text; its block holds"},
      {text("  class", "  klass"), "does not read as a layout record"},
      {[](Bytes& b) { b.resize(8); }, "fewer than its header"},
  };
  for (const Case& c : cases) {
    craft_pool(c.damage);
    std::string error;
    const auto report = zim_inspect::inspect_pool("/crafted", crafted_context(), error);
    ASSERT_TRUE(report) << error;
    const std::string problems = problems_of(*report);
    SCOPED_TRACE(problems);
    EXPECT_FALSE((*report)["consistent"].get<bool>());
    EXPECT_NE(problems.find(c.expected), std::string::npos);
    EXPECT_NE(problems.find("neither the pool nor the catalogue has this table id"),
              std::string::npos);
    EXPECT_TRUE((*report)["records"]["layout_records"].empty());
  }
  // A config record that claims more entries than it holds, and a second one.
  const uint32_t n = hulcon_config_get_max_num_npus();
  const std::pair<Bytes, const char*> configs[] = {
      {config(n, 8, {{7, 8}}, 2), "has 2 NPD sizes, more than its 24 bytes hold"},
      {config(n, 8, {{7, 8}, {7, 8}}), "is for table id 7, not above the one before"},
  };
  craft_pool(nullptr, {{ZIM_SHM_POOL_CONFIG, config(n, 8, {}, 3)}});
  std::string error;
  auto report = zim_inspect::inspect_pool("/crafted", crafted_context(), error);
  EXPECT_NE(problems_of(*report).find("a second config record"), std::string::npos);
  for (const auto& [bytes, expected] : configs) {
    g_pool[0].bytes = bytes;
    report = zim_inspect::inspect_pool("/crafted", crafted_context(), error);
    EXPECT_NE(problems_of(*report).find(expected), std::string::npos) << expected;
  }
}

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

// A migration cut short, and the history a completed one leaves: a
// conversion the owner was making when it stopped is part of the migration;
// retired records tell the migrations done and the layouts they superseded,
// by which retired blocks decode.
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
    std::ostringstream text;
    zim_inspect::print_pool(text, *report);
    zim_inspect::print_history(text, *history);
    for (const std::string& e :
         {std::string(completed
                          ? "completed migrations: 1, superseded layouts: 1\n"
                          : "under way: every object converted (1), its moves being reported\n"),
          ", retired, replaced by the migration at offset " +
              std::to_string(offset_of(kMigrationRecord)) + "\n"}) {
      EXPECT_NE(text.str().find(e), std::string::npos) << e << text.str();
    }

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
