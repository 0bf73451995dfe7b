// SPDX-License-Identifier: Apache-2.0
// Upgrading a handed-over pool of layout version 8 in place (probe_defs/a's
// layouts, the pool built with kill points): every object moves into a lined
// block once, the root and a directory kept through the reports follow, the
// feed and the index work, clients attach; refusals write nothing; an owner
// killed at any kill point leaves a pool of version 8 that clients attach or
// an upgrade under way that refuses them and that the next owner finishes.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>

#include "migration_test_util.hpp"
#include "upgrade/upgrade_state.hpp"

namespace zim_sim_test {
namespace {

constexpr zim_shm_pool_options_t kOptions{1, 0, 64, 256};
// What fill makes besides its objects: 3 probe_kept, 2 blocks of table id 5, the directory.
constexpr uint64_t kOtherBlocks = 6;

struct Report {
  unsigned kill_points;
  int err;
  uint64_t calls;           // of moved
  bool leads, whole, root;  // directory, lines and objects, root slot
  bool completed_before;    // the upgrade had ended when this owner adopted the pool
  bool clean;               // nothing written past the carve point once adopted
  bool others_wait;         // migrating refused while an upgrade is under way, else not
  uint64_t carve;           // once upgraded
};

struct Pool {
  std::string name;
  uint64_t size, directory;
  uint32_t objects;
};

bool make_pool(Pool* p) {
  p->name = unique_pool_name();
  if (zim_shm_pool_create(p->name.c_str(), p->size) != 0) return false;
  p->directory = fill_pool(PROBE_A, p->objects);
  return zim_shm_pool_hand_over() == 0 && p->directory != 0;
}

// Whether every live object of the mapped pool is versioned, whole, at
// version 2 or later with a pool id of its own, `count` of them.
bool every_object_lined(uint64_t count) {
  struct Seen {
    std::set<uint64_t> ids;
    uint64_t objects = 0;
    bool ok = true;
  } seen;
  const auto visit = [](const zim_shm_pool_piece_t* p, void* context) {
    auto* s = static_cast<Seen*>(context);
    if (p->retired != 0 ||
        (p->table_id > ZIM_SHM_POOL_MAX_TABLE_ID && p->table_id != ZIM_SHM_POOL_UNTYPED)) {
      return 0;
    }
    const uint64_t version = zim_shm_pool_version_of(p->data);
    s->ok = s->ok && version >= 2 && version % 2 == 0 &&
            s->ids.insert(zim_shm_pool_id_of(p->data)).second;
    ++s->objects;
    return 0;
  };
  return zim_shm_pool_walk_mapped(visit, &seen) == 0 && seen.ok && seen.objects == count &&
         seen.ids.count(0) == 0 && zim_shm_pool_is_versioned() == 1;
}

// Whether the feed tells a change of the root's object and the index finds
// it, and the pool has an identity.
bool rooms_work() {
  zim_shm_pool_cursor_t cursor{};
  void* root = zim_shm_pool_at(zim_shm_pool_root());
  if (zim_shm_pool_follow(&cursor) != 0 || zim_shm_pool_write_begin(root) != 0 ||
      zim_shm_pool_write_end(root) != 0 || zim_shm_pool_index_put(0, 42, root, nullptr) < 0) {
    return false;
  }
  zim_shm_pool_change_t changes[2];
  uint64_t lapped = 0;
  return zim_shm_pool_changes(&cursor, changes, 2, &lapped) == 2 &&
         changes[0].kind == ZIM_SHM_POOL_CHANGE_CHANGED &&
         changes[0].offset == zim_shm_pool_root() &&
         zim_shm_pool_version_of(root) == 2 * changes[0].sequence && changes[0].sequence > 1 &&
         zim_shm_pool_index_get(0, 42) == root && zim_shm_pool_identity() != 0;
}

// Whether every byte past the mapped pool's carve point, and its start bit, is zero.
bool free_space_zero() {
  auto* hdr = static_cast<zim_sim::PoolHeader*>(zim_shm_pool_base());
  const auto* base = reinterpret_cast<const unsigned char*>(hdr);
  const uint64_t carve = hdr->carve.load(), end = zim_sim::start_map_offset(hdr->size);
  bool zero = std::all_of(base + carve, base + end, [](unsigned char b) { return b == 0; });
  for (uint64_t at = carve; zero && at < end; at += ZIM_SHM_POOL_ALIGN) {
    zero = (zim_sim::start_word(hdr, hdr->size, at).load() & zim_sim::start_bit(at)) == 0;
  }
  return zero;
}

// In a child: adopts the pool and upgrades it, stopping at the upgrade's n-th
// kill point (0: none), then checks it and hands it over for clients.
int upgrade(const Pool& p, unsigned n, Report* r) {
  alarm(60);
  if (zim_shm_pool_adopt(p.name.c_str()) != 0) return 1;
  r->completed_before =
      zim_sim::upgrade_stage(static_cast<zim_sim::PoolHeader*>(zim_shm_pool_base())) ==
      zim_sim::UpgradeStage::kVersioned;
  r->clean = free_space_zero();  // the adoption's lock undid a move cut short
  const bool under_way =
      zim_sim::upgrade_under_way(static_cast<zim_sim::PoolHeader*>(zim_shm_pool_base()));
  const int migrated = zim_shm_pool_migrate(nullptr, nullptr);  // nothing to convert
  r->others_wait = under_way ? migrated == -1 && errno == EBUSY : migrated == 0;
  Directory d(p.directory, p.objects);
  const unsigned before = zim_sim::kill_points_passed();
  zim_sim::stop_at_kill_point(n);
  r->err = zim_shm_pool_upgrade(&kOptions, Directory::moved, &d) == 0 ? 0 : errno;
  r->kill_points = zim_sim::kill_points_passed() - before;
  r->calls = d.calls;
  r->leads = d.leads_to_new_objects();
  r->root = zim_shm_pool_root() == d.entries[0];
  r->carve = static_cast<zim_sim::PoolHeader*>(zim_shm_pool_base())->carve.load();
  r->whole = every_object_lined(p.objects + kOtherBlocks) && rooms_work();
  return zim_shm_pool_hand_over();
}

// What a client of layout a finds: the probe's exit status and output.
std::pair<int, std::string> client(const Pool& p) {
  return command_output(std::string(PROBE_A) + " attach " + p.name);
}

// Where the upgrade of the pool stands, read as an attacher would see it.
zim_sim::UpgradeStage stage_of(const std::string& name) {
  const int fd = shm_open(name.c_str(), O_RDONLY, 0);
  void* map =
      fd >= 0 ? mmap(nullptr, ZIM_SHM_POOL_HEADER_SIZE, PROT_READ, MAP_SHARED, fd, 0) : MAP_FAILED;
  if (fd >= 0) close(fd);
  if (map == MAP_FAILED) return zim_sim::UpgradeStage::kDamaged;
  const auto stage = zim_sim::upgrade_stage(static_cast<const zim_sim::PoolHeader*>(map));
  munmap(map, ZIM_SHM_POOL_HEADER_SIZE);
  return stage;
}

void finish_and_check(const Pool& p, const std::string& client_saw, Report* r) {
  *r = {};
  ASSERT_EQ(run_in_child([&] { return upgrade(p, 0, r); }), 0);
  EXPECT_EQ(r->err, 0);
  EXPECT_EQ(r->calls, r->completed_before ? 0 : p.objects + kOtherBlocks);
  EXPECT_TRUE(r->clean && r->others_wait && r->leads && r->whole && r->root);
  EXPECT_EQ(client(p), std::make_pair(0, client_saw));
  shm_unlink(p.name.c_str());
}

// The reference run of an uninterrupted upgrade first: every object moved once
// (upgrade_in_place: hundreds of them, and what the inspector then finds).
TEST(PoolUpgradeTest, KilledAtEveryKillPointTheNextOwnerFinishesIt) {
  auto* r = shared_zeroed<Report>();
  ASSERT_NE(r, nullptr);
  Pool p{"", 1u << 20, 0, 3};
  ASSERT_TRUE(make_pool(&p));
  const std::string saw = client(p).second;
  finish_and_check(p, saw, r);
  const unsigned kill_points = r->kill_points;
  const uint64_t carve = r->carve;
  ASSERT_GE(kill_points, 100u);
  unsigned whole_eight = 0, under_way = 0;
  for (unsigned n = 1; n <= kill_points && !testing::Test::HasFatalFailure(); ++n) {
    SCOPED_TRACE("kill point " + std::to_string(n));
    ASSERT_TRUE(make_pool(&p));
    ASSERT_TRUE(kill_when_stopped(spawn([&] { return upgrade(p, n, r); })))
        << "ran past its kill point";
    const zim_sim::UpgradeStage stage = stage_of(p.name);
    if (stage == zim_sim::UpgradeStage::kNone) {
      ++whole_eight;
      EXPECT_EQ(client(p), std::make_pair(0, saw)) << "a pool of version 8 refuses clients";
    } else if (stage != zim_sim::UpgradeStage::kVersioned) {
      ++under_way;
      const auto [refused, said] = client(p);
      EXPECT_EQ(refused, 3) << "a client attached while objects moved";
      EXPECT_NE(said.find("is being upgraded"), std::string::npos) << said;
    }
    finish_and_check(p, saw, r);
    EXPECT_EQ(r->carve, carve) << "the pool lost room to an upgrade cut short";
  }
  EXPECT_GE(whole_eight, 10u);
  EXPECT_GE(under_way, 50u);
}

// The pool's state and the owner's refusal, with what its line says.
TEST(PoolUpgradeTest, RefusalsComeBeforeAnyWrite) {
  Pool p{"", 1u << 20, 0, 20};
  ASSERT_TRUE(make_pool(&p));
  const zim_shm_pool_options_t huge_index{1, 0, 64, ZIM_SHM_POOL_MAX_INDEX_CAPACITY};
  const zim_shm_pool_options_t unversioned{0, 0, 64, 256};
  const struct {
    const char* what;
    const zim_shm_pool_options_t* options;
    bool attacher;
    int err;
    const char* says;
  } cases[] = {
      {"no options", nullptr, false, EINVAL, "no options"},
      {"not versioned", &unversioned, false, EINVAL, "versioned must be 1"},
      {"too full", &huge_index, false, ENOSPC, "bytes free and needs"},
      {"an attacher", &kOptions, true, EBUSY, "still maps it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int to_client[2];
    ASSERT_EQ(pipe(to_client), 0);
    pid_t attacher = -1;
    if (c.attacher) {
      attacher = spawn([&] {
        close(to_client[1]);
        if (zim_shm_pool_attach(p.name.c_str()) != 0) return 1;
        char byte;
        return read(to_client[0], &byte, 1) >= 0 ? 0 : 1;
      });
      usleep(100000);
    }
    const auto [status, err] = run_in_child_stderr([&] {
      if (zim_shm_pool_adopt(p.name.c_str()) != 0) return 1;
      const std::string before = pool_state(false);
      const bool refused =
          zim_shm_pool_upgrade(c.options, nullptr, nullptr) == -1 && errno == c.err;
      const bool untouched = pool_state(false) == before && zim_shm_pool_is_versioned() == 0;
      return refused && untouched && zim_shm_pool_hand_over() == 0 ? 0 : 2;
    });
    close(to_client[1]);
    close(to_client[0]);
    if (attacher > 0) {
      EXPECT_EQ(wait_exit(attacher), 0);
    }
    EXPECT_EQ(status, 0) << err;
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
  EXPECT_EQ(stage_of(p.name), zim_sim::UpgradeStage::kNone);
  // Without a pool, and in a client of it.
  EXPECT_EQ(run_in_child([&] {
              if (zim_shm_pool_upgrade(&kOptions, nullptr, nullptr) != -1 || errno != ENOENT) {
                return 1;
              }
              if (zim_shm_pool_attach(p.name.c_str()) != 0) return 2;
              return zim_shm_pool_upgrade(&kOptions, nullptr, nullptr) == -1 && errno == EPERM ? 0
                                                                                               : 3;
            }),
            0);
  shm_unlink(p.name.c_str());
}

}  // namespace
}  // namespace zim_sim_test
