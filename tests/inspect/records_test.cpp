// SPDX-License-Identifier: Apache-2.0
// Pools as their own records describe them: crafted pieces, walked in process,
// so that every damage a record can carry is met.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "gen/emit/layout_record.hpp"
#include "gen/layout/fingerprint.hpp"
#include "gen/manifest/manifest.hpp"
#include "gen/manifest/record_difference.hpp"
#include "objects.hpp"
#include "pool.hpp"
#include "render.hpp"

namespace {

constexpr uint32_t kUserId = 1000, kUserUid = 4242;

struct Piece {
  uint32_t tag;
  Bytes bytes;
  uint32_t retired = 0, is_root = 0;
};
std::vector<Piece> g_pool;

// Where a walk finds g_pool[index]: the pieces lie back to back.
uint64_t offset_of(size_t index) {
  uint64_t at = ZIM_SHM_POOL_HEADER_SIZE + ZIM_SHM_POOL_BLOCK_HEADER_SIZE;
  for (size_t i = 0; i < index; ++i) {
    at += (g_pool[i].bytes.size() + 15) / 16 * 16 + ZIM_SHM_POOL_BLOCK_HEADER_SIZE;
  }
  return at;
}

int crafted_walk(const char*, int (*visit)(const zim_shm_pool_piece_t*, void*), void* context,
                 zim_shm_pool_walk_facts_t* facts) {
  if (facts != nullptr) *facts = {};
  for (size_t i = 0; i < g_pool.size(); ++i) {
    const Piece& p = g_pool[i];
    const zim_shm_pool_piece_t piece{offset_of(i),   p.bytes.size(), p.tag, p.is_root,
                                     p.bytes.data(), p.retired,      0};
    if (const int rc = visit(&piece, context)) return rc;
  }
  return 0;
}

int crafted_read(const zim_shm_pool_piece_t* piece, uint64_t from, uint64_t size, void* to) {
  if (from > piece->size || size > piece->size - from) {
    errno = EINVAL;
    return -1;
  }
  std::memcpy(to, static_cast<const unsigned char*>(piece->data) + from, size);
  return 0;
}

// The record of a catalogue type's layout under another name and id, its
// fingerprint made anew.
std::string record_as(uint32_t from_id, uint32_t id, const std::string& name) {
  const std::string from = layouts()[from_id].name;
  std::string text = tablegen::layout_record(layouts()[from_id]);
  text.replace(0, text.find('\n'), "type " + std::to_string(id) + " " + name);
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += name.size()) {
    text.replace(at, from.size(), name);
  }
  const size_t line = text.find("  fingerprint ");
  text.erase(line, text.find('\n', line) + 1 - line);
  const auto layout = tablegen::read_layout_record(text);
  return layout ? tablegen::layout_record(*layout) : "";
}

// A user's type: testdynhg's layout (a count and per-NPU arrays, so N and
// the NPD size both move bytes) under its own name and id, as its record.
std::string user_record() { return record_as(ZIM_TABLE_ID_TESTDYNHG, kUserId, "port_entry"); }

Bytes config(uint32_t npus, uint32_t default_npd, std::vector<zim_shm_pool_config_entry_t> entries,
             uint32_t claimed = UINT32_MAX) {
  Bytes b(sizeof(zim_shm_pool_config_t) + entries.size() * sizeof entries[0]);
  const auto count = claimed == UINT32_MAX ? static_cast<uint32_t>(entries.size()) : claimed;
  const zim_shm_pool_config_t head{npus, default_npd, count, 0};
  std::memcpy(b.data(), &head, sizeof head);
  if (!entries.empty()) std::memcpy(b.data() + sizeof head, entries.data(), b.size() - sizeof head);
  return b;
}

Bytes layout_record(uint32_t id, uint64_t fingerprint, const std::string& text,
                    uint32_t text_size) {
  Bytes b(sizeof(zim_shm_pool_layout_record_t) + text.size());
  const zim_shm_pool_layout_record_t head{id, text_size, fingerprint};
  std::memcpy(b.data(), &head, sizeof head);
  std::memcpy(b.data() + sizeof head, text.data(), text.size());
  return b;
}

Bytes record_piece(const std::string& text) {
  const auto layout = tablegen::read_layout_record(text);
  if (!layout) return {};
  return layout_record(layout->table_id, tablegen::layout_fingerprint(*layout), text,
                       static_cast<uint32_t>(text.size()));
}

Bytes user_object() {
  Bytes b = real_object(ZIM_TABLE_ID_TESTDYNHG, 2);
  put<uint16_t>(b, ZIM_OBJ_TABLE_ID_OFFSET, kUserId);
  put<uint32_t>(b, ZIM_OBJ_UID_OFFSET, kUserUid);
  return b;
}

// A pool as this process's platform would make it: its N, a default NPD size
// no object uses, and an entry for each id that holds objects.
void craft_pool(const std::function<void(Bytes& record)>& damage = nullptr,
                const std::vector<Piece>& more = {}) {
  const uint32_t npd = qor_npd_get_table_size(ZIM_TABLE_ID_TESTDYNHG);
  Bytes record = record_piece(user_record());
  ASSERT_FALSE(record.empty());
  if (damage) damage(record);
  // The record lies past the object it describes, as in a pool it may.
  g_pool = {{ZIM_SHM_POOL_CONFIG, config(hulcon_config_get_max_num_npus(), npd + 8,
                                         {{ZIM_TABLE_ID_TESTDYNHG, npd}, {kUserId, npd}})},
            {ZIM_SHM_POOL_ID_PAGE, Bytes(64, 0)},
            {ZIM_TABLE_ID_TESTDYNHG, real_object(ZIM_TABLE_ID_TESTDYNHG, 3)},
            {kUserId, user_object()},
            {ZIM_SHM_POOL_LAYOUT, record}};
  g_pool.insert(g_pool.end(), more.begin(), more.end());
}

zim_inspect::PoolContext crafted_context() {
  zim_inspect::PoolContext c;
  c.types = &layouts();
  c.sizing = [](uint32_t) { return Sizing{}; };  // no object fits: the config must be read
  c.walk = crafted_walk;
  c.read = crafted_read;
  return c;
}

std::string problems_of(const Json& report) {
  std::string all = report["problems"].dump();
  for (const auto& t : report["tables"]) all += t["problems"].dump();
  return all;
}

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

// A migration of the user's type from testdynhg's layout to olist's: one
// object converted (its old block retired and still named by the root slot),
// one not yet, bytes of a retired block that no layout reads, and records of
// two catalogue ids, one as the catalogue has it, one not.
constexpr uint32_t kRetiredUid = 4243;
constexpr size_t kOldRecord = 4, kNewRecord = 9, kConverted = 10;

uint64_t recorded_fingerprint(size_t record) {
  return reinterpret_cast<const zim_shm_pool_layout_record_t*>(g_pool[record].bytes.data())
      ->fingerprint;
}

void craft_migration(uint32_t state) {
  Bytes retired = user_object();
  put<uint32_t>(retired, ZIM_OBJ_UID_OFFSET, kRetiredUid);
  Bytes converted = real_object(ZIM_TABLE_ID_OLIST, 2);
  put<uint16_t>(converted, ZIM_OBJ_TABLE_ID_OFFSET, kUserId);
  const uint32_t dynhg = ZIM_TABLE_ID_TESTDYNHG;
  craft_pool(nullptr, {{kUserId, retired, 1, 1},
                       {kUserId, Bytes(64, 0xee), 1},
                       {ZIM_SHM_POOL_LAYOUT, record_piece(record_as(dynhg, dynhg, "testdynhg"))},
                       {ZIM_SHM_POOL_LAYOUT, record_piece(record_as(dynhg, 268, "olist"))},
                       {ZIM_SHM_POOL_LAYOUT, record_piece(record_as(268, kUserId, "port_entry"))},
                       {kUserId, converted}});
  const uint64_t from = recorded_fingerprint(kOldRecord), to = recorded_fingerprint(kNewRecord);
  const zim_shm_pool_migration_type_t type{kUserId, 0, from, to, offset_of(kNewRecord), 0, 0};
  const uint64_t capacity = 2;
  Bytes b(sizeof(zim_shm_pool_migration_t) + sizeof type + capacity * sizeof(zim_shm_pool_move_t));
  const zim_shm_pool_migration_t head{state, 1, offset_of(kConverted), capacity, 1};
  std::memcpy(b.data(), &head, sizeof head);
  std::memcpy(b.data() + sizeof head, &type, sizeof type);
  g_pool.push_back({ZIM_SHM_POOL_MIGRATION, b});
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
      return tablegen::fingerprint_hex(recorded_fingerprint(i));
    };
    const std::string old_hex = hex_of_record(kOldRecord), new_hex = hex_of_record(kNewRecord);
    const std::string expected[] = {
        "pool /crafted: 3 objects, ",
        "2 retired blocks (",
        "layout records: 4, 1 differing from the catalogue\n",
        at + std::to_string(offset_of(7)) + ": table id 6 testdynhg, fingerprint " +
            hex_of_record(7) + ", as in the catalogue\n",
        "table id 268 olist, fingerprint " + hex_of_record(8) +
            ", differs from the catalogue: olist: ",
        "table id 1000 port_entry, fingerprint " + old_hex + ", superseded by a later record\n",
        "table id 1000 port_entry, fingerprint " + new_hex + ", not in the catalogue\n",
        "migration at offset " + std::to_string(offset_of(kConverted + 1)) +
            ": migrating, 1 of 2 moves made\n  table id 1000 port_entry: fingerprint " + old_hex +
            " -> " + new_hex + "\n",
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

// N and the NPD size come from the pool: the command line may repeat them,
// not contradict them.
TEST(PoolRecords, SizingThatDisagreesWithThePoolIsRefused) {
  craft_pool();
  const uint32_t n = hulcon_config_get_max_num_npus();
  const uint32_t npd = qor_npd_get_table_size(ZIM_TABLE_ID_TESTDYNHG);
  struct Case {
    std::optional<uint32_t> npus, npd;
    std::string expected;
  };
  const Case cases[] = {
      {n, npd, ""},
      {n + 1,
       {},
       "--npus " + std::to_string(n + 1) + " disagrees with the pool, made for N " +
           std::to_string(n)},
      {{},
       npd + 1,
       "--npd " + std::to_string(npd + 1) + " disagrees with the pool, made for " + "NPD size " +
           std::to_string(npd) + " for table id 6"},
  };
  for (const Case& c : cases) {
    zim_inspect::PoolContext context = crafted_context();
    context.npus = c.npus;
    context.npd = c.npd;
    std::string error;
    EXPECT_EQ(zim_inspect::inspect_pool("/crafted", context, error).has_value(),
              c.expected.empty());
    EXPECT_EQ(error, c.expected);
  }
}

// A program's own types (ids from 1000) and the platform's in one pool, made
// by another program: the inspector names and checks both by the pool's
// records, with no catalogue of the user's.
TEST(PoolRecords, AUsersObjectsDecodeWithoutTheirCatalogue) {
  const std::string name = "/zim_inspect_user." + std::to_string(getpid());
  const std::string command = std::string(ZIM_POOL_WRITER) + " " + name + " " + ZIM_INSPECT_TOOL +
                              " pool " + name + " --json 2>&1";
  FILE* out = popen(command.c_str(), "r");
  ASSERT_NE(out, nullptr);
  std::string text;
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, out)) > 0;) text.append(chunk, n);
  ASSERT_EQ(pclose(out), 0) << text;
  const Json pool = Json::parse(text);
  std::map<std::string, std::string> layouts;  // type: where its layout came from
  for (const auto& t : pool["tables"]) {
    EXPECT_TRUE(t["problems"].empty()) << t.dump();
    layouts[t["type"].get<std::string>()] = t["layout"].get<std::string>();
  }
  const std::map<std::string, std::string> expected{
      {"olist", "pool"}, {"port_entry", "pool"}, {"route_list", "pool"}};
  EXPECT_EQ(layouts, expected);
  EXPECT_TRUE(pool["consistent"].get<bool>()) << text;
}

}  // namespace
