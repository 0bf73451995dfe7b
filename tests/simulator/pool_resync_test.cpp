// SPDX-License-Identifier: Apache-2.0
// Resyncing a lapped follower by versions, through the public API: in another
// process, a follower lapped on purpose ends with the view of one that kept
// up; and the walk's answers for marks, writes under way, torn objects and a
// visit that stops it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zim/sim/pool_upgrade.h>
#include <zim/sim/pool_versions.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "resync_view.hpp"
#include "sim_test_util.hpp"

namespace {

using namespace zim_sim_test;

constexpr uint32_t kKept = 7, kRetired = 8;

// What the lapped follower hands back: its phase and its final view.
struct Shared {
  std::atomic<int> phase;
  unsigned laps, resyncs, count, seen_before;
  uint64_t pool_ids[64];
  Copy copies[64];
};

void wait_phase(const Shared* s, int phase) {
  while (s->phase.load() < phase) usleep(1000);
}

class PoolResyncTest : public ::testing::Test {
 protected:
  void make_pool() {
    name_ = unique_pool_name();
    const zim_shm_pool_options_t options{1, 0, 8, 16};  // a ring of 8
    ASSERT_EQ(zim_shm_pool_create_with(name_.c_str(), 1u << 20, &options), 0);
  }
  void TearDown() override { zim_shm_pool_detach(); }

  void* make(uint32_t table_id, unsigned char fill) {
    void* obj = pool_calloc(table_id, kCopyBytes);
    std::memset(obj, fill, kCopyBytes);
    EXPECT_EQ(zim_shm_pool_write_end(obj), 0);
    objects_.push_back(obj);
    return obj;
  }
  // Rewrites object i of those made, whole, with new bytes.
  void rewrite(size_t i, unsigned char fill) {
    void* obj = objects_[i % objects_.size()];
    ASSERT_EQ(zim_shm_pool_write_begin(obj), 0);
    std::memset(obj, fill, kCopyBytes);
    static_cast<unsigned char*>(obj)[i % kCopyBytes] = static_cast<unsigned char>(i);
    ASSERT_EQ(zim_shm_pool_write_end(obj), 0);
  }

  std::string name_;
  std::vector<void*> objects_;
};

// The lapped follower: a copy of everything, then away (unmapped) while the
// owner retires a table id, lapped on its return, then lapped while mapped.
int lapped_follower(const std::string& name, Shared* s) {
  zim_shm_pool_detach();
  FollowerView view;
  if (zim_shm_pool_attach(name.c_str()) != 0 || !view.start()) return 1;
  s->seen_before = static_cast<unsigned>(view.objects.size());
  zim_shm_pool_detach();  // a retirement needs every other process gone
  s->phase = 1;
  wait_phase(s, 2);
  if (zim_shm_pool_attach(name.c_str()) != 0 || !view.catch_up()) return 2;
  s->phase = 3;
  wait_phase(s, 4);
  if (!view.catch_up()) return 3;
  s->laps = view.laps;
  s->resyncs = view.resyncs;
  for (const auto& [pool_id, copy] : view.objects) {
    if (s->count == 64) return 4;
    s->pool_ids[s->count] = pool_id;
    s->copies[s->count++] = copy;
  }
  return 0;
}

TEST_F(PoolResyncTest, ALappedFollowerResyncsToTheViewOfOneThatKeptUp) {
  make_pool();
  FollowerView steady;  // this process, reading after every change
  ASSERT_TRUE(steady.start());
  for (unsigned char i = 0; i < 4; ++i) make(kKept, i);
  ASSERT_TRUE(steady.catch_up());
  for (unsigned char i = 0; i < 3; ++i) make(kRetired, 0x40 + i);
  make(ZIM_SHM_POOL_UNTYPED, 0x80);
  ASSERT_TRUE(steady.catch_up());
  auto* s = shared_zeroed<Shared>();
  const pid_t child = spawn([&] { return lapped_follower(name_, s); });
  wait_phase(s, 1);
  // Thirty rewrites and a retirement while it is away: far more than a ring.
  for (size_t w = 0; w < 30; ++w) {
    rewrite(w, static_cast<unsigned char>(0x10 + w));
    ASSERT_TRUE(steady.catch_up());
  }
  ASSERT_EQ(zim_shm_pool_retire(kRetired), 0);
  ASSERT_TRUE(steady.catch_up());
  objects_.erase(objects_.begin() + 4, objects_.begin() + 7);
  make(kKept, 0x90);
  ASSERT_TRUE(steady.catch_up());
  s->phase = 2;
  wait_phase(s, 3);
  // Lapped again while it maps the pool and sleeps.
  for (size_t w = 0; w < 20; ++w) {
    rewrite(w * 3, static_cast<unsigned char>(0x60 + w));
    ASSERT_TRUE(steady.catch_up());
  }
  s->phase = 4;
  ASSERT_EQ(wait_exit(child), 0);
  EXPECT_EQ(steady.laps, 0u);
  EXPECT_EQ(s->seen_before, 8u);
  EXPECT_EQ(s->laps, 2u);
  EXPECT_EQ(s->resyncs, 3u);  // the first copy and one per lap
  ASSERT_EQ(s->count, steady.objects.size());
  EXPECT_EQ(steady.objects.size(), 6u);  // eight made, three retired, one more
  for (unsigned i = 0; i < s->count; ++i) {
    const auto it = steady.objects.find(s->pool_ids[i]);
    ASSERT_NE(it, steady.objects.end()) << s->pool_ids[i];
    EXPECT_TRUE(it->second == s->copies[i]) << "pool id " << s->pool_ids[i];
  }
}

struct Visited {
  std::vector<zim_shm_pool_object_version_t> objects;
  static int add(const zim_shm_pool_object_version_t* o, void* context) {
    static_cast<Visited*>(context)->objects.push_back(*o);
    return 0;
  }
};

TEST_F(PoolResyncTest, AWalkGivesWhatChangedAfterTheMarkAndSetsTheCursorPastIt) {
  make_pool();
  make(kKept, 1);
  make(kKept, 2);
  make(kRetired, 3);
  const uint64_t after_made = zim_shm_pool_version_of(objects_[2]) / 2;
  rewrite(0, 4);
  const uint64_t after_rewrite = zim_shm_pool_version_of(objects_[0]) / 2;
  const uint64_t retired_id = zim_shm_pool_id_of(objects_[2]);
  ASSERT_EQ(zim_shm_pool_retire(kRetired), 0);
  const struct {
    uint64_t mark;
    std::vector<uint64_t> pool_ids;  // in the pool's order
    std::vector<uint32_t> kinds;
  } cases[] = {
      {0,
       {zim_shm_pool_id_of(objects_[0]), zim_shm_pool_id_of(objects_[1]), retired_id},
       {ZIM_SHM_POOL_CHANGE_CHANGED, ZIM_SHM_POOL_CHANGE_CHANGED, ZIM_SHM_POOL_CHANGE_RETIRED}},
      {after_made,
       {zim_shm_pool_id_of(objects_[0]), retired_id},
       {ZIM_SHM_POOL_CHANGE_CHANGED, ZIM_SHM_POOL_CHANGE_RETIRED}},
      {after_rewrite, {retired_id}, {ZIM_SHM_POOL_CHANGE_RETIRED}},
      {after_rewrite + 1, {}, {}},
      {UINT64_MAX, {}, {}},
  };
  for (const auto& c : cases) {
    zim_shm_pool_cursor_t cursor{};
    cursor.patience_us = 1234;
    Visited v;
    ASSERT_EQ(zim_shm_pool_changed_since(c.mark, &cursor, Visited::add, &v), 0) << c.mark;
    EXPECT_EQ(cursor.next, after_rewrite + 2) << c.mark;
    EXPECT_EQ(cursor.patience_us, 1234u);
    ASSERT_EQ(v.objects.size(), c.pool_ids.size()) << c.mark;
    for (size_t i = 0; i < v.objects.size(); ++i) {
      const zim_shm_pool_object_version_t& o = v.objects[i];
      EXPECT_EQ(o.pool_id, c.pool_ids[i]) << c.mark;
      EXPECT_EQ(o.kind, c.kinds[i]) << c.mark;
      EXPECT_GT(o.version, 2 * c.mark);
      EXPECT_EQ(o.version % 2, 0u);
      EXPECT_EQ(o.state, ZIM_SHM_POOL_OBJECT_WHOLE);
      if (o.kind == ZIM_SHM_POOL_CHANGE_CHANGED) {
        EXPECT_EQ(o.version, zim_shm_pool_version_of(zim_shm_pool_at(o.offset)));
        EXPECT_EQ(o.table_id, kKept);
      } else {
        EXPECT_EQ(o.version, 2 * (after_rewrite + 1));  // the retirement's
        EXPECT_EQ(o.table_id, kRetired);
      }
    }
  }
}

TEST_F(PoolResyncTest, WritesUnderWayAreCountedTornOnesAreNotAndAVisitStopsTheWalk) {
  make_pool();
  make(kKept, 1);
  void* torn = make(kKept, 2);
  void* busy = make(kKept, 3);
  const uint64_t at = zim_shm_pool_offset_of(torn);
  const std::string name = name_;
  ASSERT_EQ(run_in_child([&] {
              zim_shm_pool_detach();
              if (zim_shm_pool_attach(name.c_str()) != 0) return 1;
              zim_shm_pool_write_begin(zim_shm_pool_at(at));
              return raise(SIGKILL);
            }),
            -1);
  ASSERT_EQ(zim_shm_pool_write_begin(busy), 0);                    // past the bound: under way
  const uint64_t mark = zim_shm_pool_version_of(objects_[0]) / 2;  // before the others
  zim_shm_pool_cursor_t cursor{};
  Visited v;
  ASSERT_EQ(zim_shm_pool_changed_since(mark, &cursor, Visited::add, &v), 1);
  ASSERT_EQ(v.objects.size(), 2u);
  EXPECT_EQ(v.objects[0].offset, at);
  EXPECT_EQ(v.objects[0].state, ZIM_SHM_POOL_OBJECT_TORN);
  EXPECT_EQ(v.objects[1].offset, zim_shm_pool_offset_of(busy));
  EXPECT_EQ(v.objects[1].state, ZIM_SHM_POOL_OBJECT_UNDER_WAY);
  EXPECT_EQ(v.objects[1].version % 2, 1u);
  ASSERT_EQ(zim_shm_pool_write_end(busy), 0);
  // A visit that asks to stop ends the walk at the first object.
  int visits = 0;
  const auto stop = [](const zim_shm_pool_object_version_t*, void* count) {
    return ++*static_cast<int*>(count);
  };
  EXPECT_EQ(zim_shm_pool_changed_since(0, &cursor, stop, &visits), -1);
  EXPECT_EQ(errno, ECANCELED);
  EXPECT_EQ(visits, 1);
  EXPECT_EQ(zim_shm_pool_changed_since(0, nullptr, stop, &visits), -1);
  EXPECT_EQ(errno, EINVAL);
  zim_shm_pool_detach();
  EXPECT_EQ(zim_shm_pool_changed_since(0, &cursor, stop, &visits), -1);
  EXPECT_EQ(errno, EINVAL);
}

}  // namespace
