// SPDX-License-Identifier: Apache-2.0
// Migrating a pool's objects to this program's layouts (probe_defs/b): a
// program of layout a or c (pool_probe) makes them, this one, the pool's
// owner, converts them or is refused before it writes a byte. And a follower
// in another process (pool_follower, which knows no table type) kept through
// an upgrade: the owner changes objects and keys, hands the pool over and, as
// its successor, adopts it and migrates it. The follower, told by the feed,
// detaches, waits until the pool is attachable, attaches again and reads on
// through the moves; it must end with the owner's view: pool ids, offsets,
// versions, keys and bytes.

#include <gtest/gtest.h>
#include <signal.h>
#include <zim/sim/shm_pool.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "follower_view.hpp"
#include "migration_test_util.hpp"

namespace zim_sim_test {
namespace {

// What zim_shm_pool_migrate writes on stderr, and its result.
std::string migrate_refused(int* rc) {
  testing::internal::CaptureStderr();
  *rc = zim_shm_pool_migrate(nullptr, nullptr) == 0 ? 0 : errno;
  return testing::internal::GetCapturedStderr();
}

struct Moves {
  Directory* directory;
  unsigned uncommitted = 0;
};

TEST_F(ShmPoolTest, MigrationConvertsEveryObjectOnceAndLeavesTheOthers) {
  create(4u << 20);
  constexpr uint32_t kObjects = 100;
  const uint64_t directory = fill_pool(PROBE_A, kObjects);
  ASSERT_NE(directory, 0u);
  // Of the types that stay: probe_kept and table id 5.
  const auto others = [] {
    int rc = -1;
    std::vector<Piece> pieces = walk(nullptr, &rc);
    EXPECT_EQ(rc, 0);
    pieces.erase(std::remove_if(pieces.begin(), pieces.end(),
                                [](const Piece& p) {
                                  return p.table_id == ZIM_TABLE_ID_PROBE_ENTRY ||
                                         p.table_id == ZIM_SHM_POOL_UNTYPED;
                                }),
                 pieces.end());
    return pieces;
  };
  const std::vector<Piece> before = others();
  Directory d(directory, kObjects);
  Moves moves{&d};
  const auto moved = [](uint64_t from, uint64_t to, uint32_t id, void* context) {
    auto* m = static_cast<Moves*>(context);
    // Reported once committed: the old block retired, the new one live.
    m->uncommitted += id != ZIM_TABLE_ID_PROBE_ENTRY ||
                      zim_shm_pool_block_at(from, nullptr, nullptr) != nullptr ||
                      zim_shm_pool_block_at(to, nullptr, nullptr) == nullptr;
    Directory::moved(from, to, id, m->directory);
  };
  ASSERT_EQ(zim_shm_pool_migrate(moved, &moves), 0);
  // As many calls as objects, each leading to its own new object: one each.
  EXPECT_EQ(d.calls, kObjects);
  EXPECT_TRUE(d.leads_to_new_objects());
  EXPECT_EQ(moves.uncommitted, 0u);
  EXPECT_EQ(zim_shm_pool_root(), d.entries[0]) << "the root follows its object";
  EXPECT_EQ(zim_shm_pool_table_blocks(ZIM_TABLE_ID_PROBE_ENTRY), kObjects);
  EXPECT_EQ(zim_shm_pool_table_bytes(ZIM_TABLE_ID_PROBE_ENTRY),
            kObjects * ((entry_size() + 15) / 16 * 16));

  // The walk: the old objects, the old layout record and the migration record retired.
  int rc = -1;
  const std::vector<Piece> all = walk(nullptr, &rc, false, true);
  std::map<std::pair<uint32_t, uint32_t>, unsigned> counts;  // (table id, retired) -> pieces
  for (const Piece& p : all) ++counts[{p.table_id, p.retired}];
  EXPECT_TRUE(disjoint_within(all, ZIM_SHM_POOL_HEADER_SIZE, zim_shm_pool_size()));
  const std::map<std::pair<uint32_t, uint32_t>, unsigned> expected = {
      {{ZIM_TABLE_ID_PROBE_ENTRY, 0}, kObjects},
      {{ZIM_TABLE_ID_PROBE_ENTRY, 1}, kObjects},
      {{ZIM_TABLE_ID_PROBE_KEPT, 0}, 3},
      {{5, 0}, 2},
      {{ZIM_SHM_POOL_UNTYPED, 0}, 1},
      {{ZIM_SHM_POOL_CONFIG, 0}, 1},
      {{ZIM_SHM_POOL_ID_PAGE, 0}, 1},
      {{ZIM_SHM_POOL_LAYOUT, 0}, 2},
      {{ZIM_SHM_POOL_LAYOUT, 1}, 1},
      {{ZIM_SHM_POOL_MIGRATION, 1}, 1}};
  EXPECT_EQ(counts, expected);
  EXPECT_EQ(others(), before) << "objects of other types stay where they were, as they were";

  // Nothing left to convert: nothing written; and this layout's objects may be made.
  const std::string state = pool_state(true);
  EXPECT_EQ(migrate_refused(&rc), "");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(pool_state(true), state);
  EXPECT_NE(zim_shm_table_pool_calloc(ZIM_TABLE_ID_PROBE_ENTRY, entry_size()), nullptr);
}

TEST_F(ShmPoolTest, MigrationRefusesBeforeItWrites) {
  const std::string prefix = "zim_memory: cannot migrate pool " + name_ + ": ";
  const struct {
    const char* what;
    const char* probe;
    const char* command;
    uint32_t objects;
    int err;
    std::vector<std::string> lines;  // each line's start, after the prefix
    std::vector<uint32_t> retire;    // table ids whose retirement lets it migrate
  } cases[] = {
      {"an object that is none",
       PROBE_A,
       "bad",
       0,
       EPROTO,
       {"type probe_entry (table id 0): the object at offset "},
       {0}},
      // 1 MiB holds the old objects but not as many new ones besides.
      {"too little room", PROBE_A, "fill", 1800, ENOSPC, {"it cannot hold the 1800 converted"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    create(1u << 20);
    const Outcome made = run(c.probe, c.command, name_, {}, std::to_string(c.objects).c_str());
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string state = pool_state(true);
    int err = 0;
    const std::string text = migrate_refused(&err);
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(pool_state(true), state);
    EXPECT_EQ(count(text, "\n"), c.lines.size()) << text;
    for (const std::string& line : c.lines) {
      EXPECT_NE(text.find(prefix + line), std::string::npos) << text;
    }
    if (!c.retire.empty()) {
      for (const uint32_t id : c.retire) {
        EXPECT_EQ(zim_shm_pool_retire(id), 0);
        EXPECT_EQ(zim_shm_pool_table_blocks(id), 0u);
      }
      EXPECT_EQ(zim_shm_pool_migrate(nullptr, nullptr), 0);
      EXPECT_NE(zim_shm_table_pool_calloc(ZIM_TABLE_ID_PROBE_ENTRY, entry_size()), nullptr);
    }
    zim_shm_pool_destroy();
  }
}

// Attachers are named, before the adoption or after it; a migration under way is
// completed by a program of its layouts only, which reports every move again.
TEST_F(ShmPoolTest, MigrationWaitsForEarlierAttachersAndResumesInItsOwnLayouts) {
  create(1u << 20);
  constexpr uint32_t kObjects = 20;
  const uint64_t directory = fill_pool(PROBE_A, kObjects);
  ASSERT_NE(directory, 0u);
  const Proc attacher = start(PROBE_PLAIN, "make", name_);
  ASSERT_EQ(read_all(attacher.out, "\n"), "attached\n");
  ASSERT_EQ(zim_shm_pool_hand_over(), 0);
  ASSERT_EQ(zim_shm_pool_adopt(name_.c_str()), 0);
  const Proc later = start(PROBE_PLAIN, "make", name_);
  ASSERT_EQ(read_all(later.out, "\n"), "attached\n");
  const std::string state = pool_state(true);
  int err = 0;
  const std::string text = migrate_refused(&err);
  EXPECT_EQ(err, EBUSY);
  EXPECT_EQ(pool_state(true), state);
  EXPECT_NE(text.find("process " + std::to_string(attacher.pid) + " attached before"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("process " + std::to_string(later.pid) + " attached on the pool's old"),
            std::string::npos)
      << text;
  for (const Proc& p : {attacher, later}) {
    kill(p.pid, SIGKILL);  // before it makes the block it waits to make
    finish(p);
  }

  // Killed once every object is converted, while it reports the moves.
  ASSERT_EQ(zim_shm_pool_hand_over(), 0);
  EXPECT_EQ(run_in_child([&] {
              zim_shm_pool_adopt(name_.c_str());
              zim_shm_pool_migrate([](uint64_t, uint64_t, uint32_t, void*) { raise(SIGKILL); },
                                   nullptr);
              return 0;
            }),
            -1);
  const Outcome other = run(PROBE_A, "migrate", name_);
  EXPECT_EQ(other.out, std::string(std::strerror(EPROTO)) + "\n");
  EXPECT_NE(other.err.find("a migration that another program began is under way"),
            std::string::npos)
      << other.err;
  ASSERT_EQ(zim_shm_pool_adopt(name_.c_str()), 0);
  // Its owner may make objects of the new layout meanwhile; they stay as made.
  EXPECT_NE(zim_shm_table_pool_calloc(ZIM_TABLE_ID_PROBE_ENTRY, entry_size()), nullptr);
  Directory d(directory, kObjects);
  ASSERT_EQ(zim_shm_pool_migrate(Directory::moved, &d), 0);
  EXPECT_EQ(d.calls, kObjects);
  EXPECT_TRUE(d.leads_to_new_objects());
  EXPECT_EQ(zim_shm_pool_table_blocks(ZIM_TABLE_ID_PROBE_ENTRY), kObjects + 1);
}

constexpr uint32_t kEntries = 20;

struct Seen {
  uint64_t offset, version, pool_id;
};

// The objects of the probe's keys of table_id, by key.
std::map<uint64_t, Seen> seen(uint32_t table_id) {
  std::map<uint64_t, Seen> objects;
  for (uint64_t key = 0; key < probe_keys(table_id, kEntries); ++key) {
    if (const void* obj = zim_shm_pool_index_get(table_id, key)) {
      objects[key] = {zim_shm_pool_offset_of(obj), zim_shm_pool_version_of(obj),
                      zim_shm_pool_id_of(obj)};
    }
  }
  return objects;
}

// The owner's changes a follower must follow: two writes, a key removed and
// one that leads to another object since.
void change_some() {
  for (const uint64_t key : {3, 4}) {
    void* obj = zim_shm_pool_index_get(ZIM_TABLE_ID_PROBE_ENTRY, key);
    ASSERT_EQ(zim_shm_pool_write_begin(obj), 0);
    ASSERT_EQ(zim_shm_pool_write_end(obj), 0);
  }
  ASSERT_EQ(zim_shm_pool_index_remove(ZIM_TABLE_ID_PROBE_ENTRY, 1), 0);
  void* entry = zim_shm_pool_index_get(ZIM_TABLE_ID_PROBE_ENTRY, 2);
  ASSERT_EQ(zim_shm_pool_index_put(ZIM_TABLE_ID_PROBE_KEPT, 2, entry, nullptr), 1);
}

TEST(PoolUpgradeFollowTest, AFollowerInAnotherProcessEndsWithTheOwnersViewAfterAnUpgrade) {
  const std::string name = unique_pool_name();
  const zim_shm_pool_options_t options{1, 0, 4096, 256};
  ASSERT_EQ(zim_shm_pool_create_with(name.c_str(), 2u << 20, &options), 0);
  ASSERT_NE(fill_pool(PROBE_A, kEntries), 0u);
  const Proc follower = start(POOL_FOLLOWER, name.c_str(), std::to_string(kEntries));
  ASSERT_NE(read_all(follower.out, "ready\n").find("ready"), std::string::npos);
  change_some();
  const std::map<uint64_t, Seen> entries = seen(ZIM_TABLE_ID_PROBE_ENTRY);
  const std::map<uint64_t, Seen> kept = seen(ZIM_TABLE_ID_PROBE_KEPT);
  ASSERT_EQ(zim_shm_pool_hand_over(), 0);
  ASSERT_NE(read_all(follower.out, "detached\n").find("detached"), std::string::npos);

  ASSERT_EQ(zim_shm_pool_adopt(name.c_str()), 0);
  // Closed from the hand-over until the successor's migration ends.
  EXPECT_EQ(zim_shm_pool_wait_attachable(name.c_str(), 2000), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  ASSERT_EQ(zim_shm_pool_migrate(nullptr, nullptr), 0);
  EXPECT_EQ(zim_shm_pool_wait_attachable(name.c_str(), 0), 0);
  const Outcome o = finish(follower);
  ASSERT_EQ(o.status, 0) << o.out << o.err;

  const std::string owner = owner_view(kEntries);
  EXPECT_EQ(o.out.substr(o.out.find("view\n") + 5), owner);
  EXPECT_EQ(count(owner, "\n"), kEntries - 1 + 3);
  EXPECT_EQ(owner.find("torn"), std::string::npos) << owner;
  // Converted objects keep their pool ids under new offsets and versions;
  // the others stay as they were; the root follows its object.
  for (const auto& [key, was] : seen(ZIM_TABLE_ID_PROBE_ENTRY)) {
    SCOPED_TRACE("key " + std::to_string(key));
    EXPECT_EQ(was.pool_id, entries.at(key).pool_id);
    EXPECT_NE(was.offset, entries.at(key).offset);
    EXPECT_GT(was.version, entries.at(key).version);
  }
  const std::map<uint64_t, Seen> kept_after = seen(ZIM_TABLE_ID_PROBE_KEPT);
  for (const uint64_t key : {0, 1}) {
    SCOPED_TRACE("kept key " + std::to_string(key));
    EXPECT_EQ(kept_after.at(key).offset, kept.at(key).offset);
    EXPECT_EQ(kept_after.at(key).version, kept.at(key).version);
  }
  // Put on another table id's key, a moved object's key moves with it too.
  EXPECT_EQ(kept_after.at(2).offset, seen(ZIM_TABLE_ID_PROBE_ENTRY).at(2).offset);
  EXPECT_EQ(zim_shm_pool_root(),
            zim_shm_pool_offset_of(zim_shm_pool_index_get(ZIM_TABLE_ID_PROBE_ENTRY, 0)));
  EXPECT_EQ(zim_shm_pool_destroy(), 0);
}

}  // namespace
}  // namespace zim_sim_test
