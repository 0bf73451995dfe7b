// SPDX-License-Identifier: Apache-2.0
// The migration built with kill points (probe_defs/b's layouts): an owner
// killed at any of them while it migrates leaves a migration that the next
// owner completes into the very pool an uninterrupted migration makes, and
// reports every move to, so that a directory kept through the reports leads
// to the new objects; the inspector meanwhile sees a migration under way.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "migration_test_util.hpp"
#include "versioned_migration_checks.hpp"

namespace zim_sim_test {
namespace {

// What a migrating child finds, written into memory shared with the test.
struct Report {
  unsigned kill_points;  // that its migration passed
  int err;               // errno of the migration, 0 for none
  bool under_way;        // a migration, when it adopted the pool
  uint64_t calls;        // of moved
  bool leads;            // the directory leads to the new objects
  bool disjoint;         // no block overlaps another
  size_t state;          // hash of pool_state(false)
  char problem[120];     // a versioned pool's first (versioned_problems), empty for none
};

struct Pool {
  std::string name;
  uint64_t size, directory;
  uint32_t objects;
  bool versioned;
  std::vector<uint64_t> ids;  // versioned: the pool id of each directory entry's object
};

// A pool that pool_probe of layout a filled, handed over.
bool make_pool(Pool* p) {
  p->name = unique_pool_name();
  const zim_shm_pool_options_t options{p->versioned ? 1u : 0u, 0, 4096, 64};
  if (zim_shm_pool_create_with(p->name.c_str(), p->size, &options) != 0) return false;
  p->directory = fill_pool(PROBE_A, p->objects);
  p->ids.clear();
  for (uint32_t i = 0; p->versioned && p->directory != 0 && i < p->objects; ++i) {
    const auto* entries = static_cast<const uint64_t*>(zim_shm_pool_at(p->directory));
    p->ids.push_back(zim_shm_pool_id_of(zim_shm_pool_at(entries[i])));
  }
  return zim_shm_pool_hand_over() == 0 && p->directory != 0;
}

// In a child: adopts the pool and migrates it, stopping at the migration's
// n-th kill point (0: none), then reports and destroys the pool.
int migrate(const Pool& p, unsigned n, Report* r) {
  alarm(60);  // a hang ends in SIGALRM
  if (zim_shm_pool_adopt(p.name.c_str()) != 0) return 1;
  r->under_way = static_cast<zim_sim::PoolHeader*>(zim_shm_pool_base())->migration != 0;
  Directory d(p.directory, p.objects);
  const unsigned before = zim_sim::kill_points_passed();
  zim_sim::stop_at_kill_point(n);
  r->err = zim_shm_pool_migrate(Directory::moved, &d) == 0 ? 0 : errno;
  r->kill_points = zim_sim::kill_points_passed() - before;
  r->calls = d.calls;
  r->leads = d.leads_to_new_objects();
  int rc = -1;
  r->disjoint = disjoint_within(walk(nullptr, &rc, false, true), ZIM_SHM_POOL_HEADER_SIZE,
                                zim_shm_pool_size()) &&
                rc == 0;
  // A versioned pool's feed and versions tell each death apart: held to what they must say.
  if (p.versioned) {
    std::snprintf(r->problem, sizeof r->problem, "%s", versioned_problems(d, p.ids).c_str());
  } else {
    r->state = std::hash<std::string>()(pool_state(false));
  }
  return zim_shm_pool_destroy();
}

// Completes the pool's migration in a child: as an uninterrupted migration
// does, when there is a reference, else as the reference itself.
void complete(const Pool& p, const Report* reference, Report* r) {
  *r = {};
  ASSERT_EQ(run_in_child([&] { return migrate(p, 0, r); }), 0);
  EXPECT_EQ(r->err, 0);
  // Every move is reported again, unless the killed owner had completed the migration.
  EXPECT_TRUE(r->calls == p.objects || (reference && r->calls == 0 && !r->under_way)) << r->calls;
  EXPECT_TRUE(r->leads && r->disjoint);
  EXPECT_EQ(r->state, reference ? reference->state : r->state)
      << "another pool than the reference's";
  EXPECT_STREQ(r->problem, "");
}

// Kills an owner at kill points of its migration of a fresh pool, each of
// them or `random_kills` drawn at random; the next owner's migration must end
// as an uninterrupted one.
void kill_and_complete(Pool p, unsigned random_kills) {
  auto* r = shared_zeroed<Report>();
  ASSERT_NE(r, nullptr);
  ASSERT_TRUE(make_pool(&p));
  complete(p, nullptr, r);
  const Report reference = *r;
  ASSERT_GE(reference.kill_points, 100u);
  std::mt19937 random(20261208);
  std::uniform_int_distribution<unsigned> point(1, reference.kill_points);
  const unsigned kills = random_kills != 0 ? random_kills : reference.kill_points;
  for (unsigned k = 1; k <= kills && !testing::Test::HasFatalFailure(); ++k) {
    const unsigned n = random_kills != 0 ? point(random) : k;
    SCOPED_TRACE("kill point " + std::to_string(n));
    ASSERT_TRUE(make_pool(&p));
    ASSERT_TRUE(kill_when_stopped(spawn([&] { return migrate(p, n, r); })))
        << "ran past its kill point " << n;
    complete(p, &reference, r);
  }
}

// Whether the pool's undo record says that a conversion was under way: a
// transaction armed with a move to count.
bool killed_in_a_conversion(const std::string& name) {
  using zim_sim::PoolHeader;
  using zim_sim::UndoRecord;
  const int fd = shm_open(name.c_str(), O_RDONLY, 0);
  uint64_t armed = 0, move_count_at = 0;
  const off_t undo = offsetof(PoolHeader, undo);
  const bool read = fd >= 0 && pread(fd, &armed, 8, undo + offsetof(UndoRecord, armed)) == 8 &&
                    pread(fd, &move_count_at, 8, undo + offsetof(UndoRecord, move_count_at)) == 8;
  if (fd >= 0) close(fd);
  return read && armed != 0 && move_count_at != 0;
}

// The inspector's report of the pool: its exit status and output.
std::pair<int, std::string> inspect(const std::string& name) {
  return zim_sim_test::command_output(std::string(ZIM_INSPECT_TOOL) + " pool " + name);
}

// The problems a report names: of records, and of objects (the probe's
// blocks of a catalogue type are no objects of it, whatever a migration does).
std::string problems_in(const std::string& report) {
  std::string found;
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    const bool object =
        line.rfind("  at offset ", 0) == 0 && line.find(": table id ") == std::string::npos;
    if (object || line.rfind("problem:", 0) == 0) found += line + "\n";
  }
  return found;
}

// An owner killed inside a conversion leaves a migration under way, which
// the inspector reports as such, with its progress, and as no problem;
// once the next owner completes it, none is under way.
TEST(PoolMigrationCrashTest, TheInspectorShowsAMigrationCutShortInAConversion) {
  auto* r = shared_zeroed<Report>();
  ASSERT_NE(r, nullptr);
  Pool p{"", 1u << 20, 0, 3, false, {}};
  ASSERT_TRUE(make_pool(&p));
  const auto [untouched_code, untouched] = inspect(p.name);
  const std::string problems = problems_in(untouched);
  complete(p, nullptr, r);
  const unsigned kill_points = r->kill_points;
  unsigned conversions = 0;
  for (unsigned n = 1; n <= kill_points && !testing::Test::HasFatalFailure(); ++n) {
    SCOPED_TRACE("kill point " + std::to_string(n));
    ASSERT_TRUE(make_pool(&p));
    kill_when_stopped(spawn([&] { return migrate(p, n, r); }));
    if (killed_in_a_conversion(p.name)) {
      ++conversions;
      const auto [code, report] = inspect(p.name);
      EXPECT_EQ(code, untouched_code) << report;
      EXPECT_EQ(problems_in(report), problems) << report;
      EXPECT_NE(report.find("under way, converting: "), std::string::npos) << report;
      EXPECT_NE(report.find("objects left and completes it"), std::string::npos) << report;
    }
    ASSERT_EQ(run_in_child([&] {
                if (zim_shm_pool_adopt(p.name.c_str()) != 0) return 1;
                return zim_shm_pool_migrate(nullptr, nullptr) == 0 ? 0 : 1;
              }),
              0);
    const auto [code, report] = inspect(p.name);
    EXPECT_EQ(code, untouched_code) << report;
    EXPECT_EQ(problems_in(report), problems) << report;
    EXPECT_EQ(report.find("under way"), std::string::npos) << report;
    shm_unlink(p.name.c_str());
  }
  EXPECT_GE(conversions, 3u);
}

TEST(PoolMigrationCrashTest, KilledAtEveryKillPointOfAMigration) {
  kill_and_complete({"", 1u << 20, 0, 3, false, {}}, 0);
}

TEST(PoolMigrationCrashTest, KilledAtRandomPointsOfALargeMigration) {
  kill_and_complete({"", 8u << 20, 0, 10000, false, {}}, 100);
}

// Versioned: besides the moves reported again, lines, pool ids, versions, the
// index and the feed must agree after the next owner's migration.
TEST(PoolMigrationCrashTest, KilledAtEveryKillPointOfAVersionedMigration) {
  kill_and_complete({"", 1u << 20, 0, 3, true, {}}, 0);
}

}  // namespace
}  // namespace zim_sim_test
