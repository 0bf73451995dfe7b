// SPDX-License-Identifier: Apache-2.0
// Versioned pools: options, brackets, pool ids, writers that die inside a
// write (at each store of the brackets) or hold one too long, and readers in
// other processes copying objects whole while their server rewrites them.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zim/sim/shm_pool.h>

#include <chrono>
#include <cstdint>
#include <set>

#include "segment/segment.hpp"
#include "sim_test_util.hpp"

namespace {

using namespace zim_sim_test;
using Clock = std::chrono::steady_clock;

constexpr zim_shm_pool_options_t kVersioned{1, 0, 1024, 4096};

class PoolVersionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = unique_pool_name();
    ASSERT_EQ(zim_shm_pool_create_with(name_.c_str(), 1u << 20, &kVersioned), 0);
  }
  void TearDown() override { zim_shm_pool_detach(); }

  // A new object, made whole by its first write.
  void* whole_object(uint64_t size = 64) {
    void* obj = zim_shm_pool_calloc_untyped(size);
    EXPECT_EQ(zim_shm_pool_write_end(obj), 0);
    return obj;
  }

  // Runs fn(object_ as the child maps it) in a child that maps the pool by
  // name (not the creator's mapping it inherited), after `stop_after` kill
  // points when not 0; the child is stopped there, or has signalled `ready`
  // and waits, and is then killed. False when the child passed fewer kill
  // points and ended.
  template <typename Fn>
  bool kill_writer(unsigned stop_after, Fn fn) {
    int ready[2];
    if (pipe(ready) != 0) return false;
    const uint64_t at = object_ != nullptr ? zim_shm_pool_offset_of(object_) : 0;
    const pid_t pid = spawn([&] {
      zim_shm_pool_detach();
      if (zim_shm_pool_attach(name_.c_str()) != 0) return 1;
      if (stop_after != 0) zim_sim::stop_at_kill_point(stop_after);
      fn(at != 0 ? zim_shm_pool_at(at) : nullptr);
      if (stop_after != 0) return 0;
      char c = 'r';
      if (write(ready[1], &c, 1) != 1) return 2;
      pause();
      return 0;
    });
    close(ready[1]);
    if (stop_after != 0) {
      int status = 0;
      if (waitpid(pid, &status, WUNTRACED) != pid || !WIFSTOPPED(status)) {
        close(ready[0]);
        return false;
      }
    } else {
      char c;
      EXPECT_EQ(read(ready[0], &c, 1), 1);
    }
    close(ready[0]);
    written_by_ = zim_shm_pool_writer_of(object_);
    kill(pid, SIGKILL);
    EXPECT_EQ(waitpid(pid, nullptr, 0), pid);
    killed_ = pid;
    return true;
  }

  std::string name_;
  void* object_ = nullptr;
  pid_t written_by_ = 0, killed_ = 0;
};

TEST(PoolOptionsTest, OptionsOutOfRangeAreRefusedAndNothingIsCreated) {
  const struct {
    zim_shm_pool_options_t options;
    const char* why;
  } cases[] = {
      {{2, 0, 1, 1}, "versioned"}, {{1, 1, 1, 1}, "reserved"},
      {{1, 0, 0, 1}, "feed"},      {{1, 0, ZIM_SHM_POOL_MAX_FEED_CAPACITY + 1ull, 1}, "feed"},
      {{1, 0, 1, 0}, "index"},     {{1, 0, 1, ZIM_SHM_POOL_MAX_INDEX_CAPACITY + 1ull}, "index"},
      {{0, 1, 1, 1}, "reserved"}};
  for (const auto& c : cases) {
    const std::string name = unique_pool_name();
    const auto [status, err] = run_in_child_stderr([&] {
      const int rc = zim_shm_pool_create_with(name.c_str(), 1u << 20, &c.options);
      return rc == -1 && errno == EINVAL ? 0 : 1;
    });
    EXPECT_EQ(status, 0) << c.why;
    EXPECT_NE(err.find(c.why), std::string::npos) << err;
    EXPECT_FALSE(shm_exists(name));
  }
}

TEST(PoolOptionsTest, APoolThatIsNotVersionedKeepsNoVersions) {
  const std::string name = unique_pool_name();
  ASSERT_EQ(zim_shm_pool_create_with(name.c_str(), 1u << 20, nullptr), 0);
  void* obj = zim_shm_pool_calloc_untyped(64);
  void* next = zim_shm_pool_calloc_untyped(64);
  uint64_t version = 7;
  long heap = 0;
  for (void* p : {obj, static_cast<void*>(&heap)}) {
    EXPECT_EQ(zim_shm_pool_write_begin(p), 0);
    EXPECT_EQ(zim_shm_pool_write_end(p), 0);
    EXPECT_EQ(zim_shm_pool_read_begin(p, &version), 0);
    EXPECT_EQ(version, 0u);
    EXPECT_EQ(zim_shm_pool_id_of(p), 0u);
  }
  EXPECT_EQ(zim_shm_pool_is_versioned(), 0);
  // Blocks lie back to back as they always did: no line between them.
  EXPECT_EQ(static_cast<char*>(next) - static_cast<char*>(obj), 64 + kHeader);
  zim_shm_pool_versions_report_t report;
  EXPECT_EQ(zim_shm_pool_versions_read(name.c_str(), &report), 0);
  zim_shm_pool_detach();
}

// A pool's identity stays through a hand-over and an adoption; a pool made
// again under its name has another; an unversioned pool has none.
TEST(PoolOptionsTest, APoolMadeAgainUnderItsNameHasAnotherIdentity) {
  const std::string name = unique_pool_name();
  const zim_shm_pool_options_t options{1, 0, 16, 16};
  ASSERT_EQ(zim_shm_pool_create_with(name.c_str(), 1u << 20, &options), 0);
  const uint64_t first = zim_shm_pool_identity();
  EXPECT_NE(first, 0u);
  ASSERT_EQ(zim_shm_pool_hand_over(), 0);
  ASSERT_EQ(zim_shm_pool_adopt(name.c_str()), 0);
  EXPECT_EQ(zim_shm_pool_identity(), first);
  ASSERT_EQ(zim_shm_pool_destroy(), 0);
  EXPECT_EQ(zim_shm_pool_identity(), 0u);
  ASSERT_EQ(zim_shm_pool_create_with(name.c_str(), 1u << 20, &options), 0);
  EXPECT_NE(zim_shm_pool_identity(), 0u);
  EXPECT_NE(zim_shm_pool_identity(), first);
  ASSERT_EQ(zim_shm_pool_destroy(), 0);
  ASSERT_EQ(zim_shm_pool_create_with(name.c_str(), 1u << 20, nullptr), 0);
  EXPECT_EQ(zim_shm_pool_identity(), 0u);
  ASSERT_EQ(zim_shm_pool_destroy(), 0);
}

TEST_F(PoolVersionsTest, BracketsDrawVersionsFromOneSequence) {
  EXPECT_EQ(zim_shm_pool_is_versioned(), 1);
  void* a = zim_shm_pool_calloc_untyped(40);
  void* b = zim_shm_table_pool_calloc(3, 24);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(zim_shm_pool_version_of(a), 1u);  // under way from its allocation
  EXPECT_EQ(zim_shm_pool_writer_of(a), getpid());
  EXPECT_EQ(zim_shm_pool_write_begin(a), -1);
  EXPECT_EQ(errno, EBUSY);
  uint64_t last = 0;
  for (void* obj : {a, b, a, b}) {
    if (zim_shm_pool_version_of(obj) % 2 == 0) {
      ASSERT_EQ(zim_shm_pool_write_begin(obj), 0);
    }
    EXPECT_EQ(zim_shm_pool_version_of(obj) % 2, 1u);
    EXPECT_EQ(zim_shm_pool_write_end(obj), 0);
    const uint64_t version = zim_shm_pool_version_of(obj);
    EXPECT_EQ(version % 2, 0u);
    EXPECT_GT(version, last);
    last = version;
    EXPECT_EQ(zim_shm_pool_writer_of(obj), 0);
  }
  uint64_t seen = 0;
  ASSERT_EQ(zim_shm_pool_read_begin(a, &seen), 0);
  EXPECT_EQ(zim_shm_pool_read_end(a, seen), 0);
  ASSERT_EQ(zim_shm_pool_write_begin(a), 0);
  EXPECT_EQ(zim_shm_pool_write_begin(a), -1);
  EXPECT_EQ(errno, EBUSY);
  ASSERT_EQ(zim_shm_pool_write_end(a), 0);
  EXPECT_EQ(zim_shm_pool_read_end(a, seen), -1);  // a write came in between
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(zim_shm_pool_write_end(a), -1);  // none under way
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(zim_shm_pool_write_begin(static_cast<char*>(a) + 16), -1);  // not an object
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(PoolVersionsTest, PoolIdsAreUniqueAcrossProcesses) {
  std::set<uint64_t> ids;
  for (int i = 0; i < 20; ++i) ids.insert(zim_shm_pool_id_of(zim_shm_pool_calloc_untyped(16)));
  auto* child_ids = shared_zeroed<uint64_t[20]>();
  ASSERT_EQ(run_in_child([&] {
              zim_shm_pool_detach();
              if (zim_shm_pool_attach(name_.c_str()) != 0) return 1;
              for (auto& id : *child_ids) id = zim_shm_pool_id_of(zim_shm_pool_calloc_untyped(16));
              return 0;
            }),
            0);
  ids.insert(*child_ids, *child_ids + 20);
  EXPECT_EQ(ids.size(), 40u);
  EXPECT_EQ(ids.count(0), 0u);
}

// What a writer killed after each store of its brackets leaves: the kill
// points of write_begin (writer, then odd version) and write_end (even).
TEST_F(PoolVersionsTest, AWriterKilledAtEachStoreLeavesAWholeOrTornObject) {
  const struct {
    unsigned stop_after;
    bool torn;
  } cases[] = {// write_begin's stamp, its odd version; write_end's draw from the feed
               // (its counter, the slot's owner word twice), its even version
               {1, false},
               {2, true},
               {3, true},
               {5, true},
               {6, false}};
  for (const auto& c : cases) {
    object_ = whole_object();
    ASSERT_TRUE(kill_writer(c.stop_after, [](void* obj) {
      zim_shm_pool_write_begin(obj);
      zim_shm_pool_write_end(obj);
    }));
    uint64_t version = 0;
    const auto start = Clock::now();
    EXPECT_EQ(zim_shm_pool_read_begin(object_, &version), c.torn ? -1 : 0) << c.stop_after;
    if (c.torn) {
      EXPECT_EQ(errno, EOWNERDEAD);
      EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(10));
      EXPECT_EQ(written_by_, killed_);
    }
    EXPECT_EQ(zim_shm_pool_write_begin(object_), c.torn ? 1 : 0) << c.stop_after;
    EXPECT_EQ(zim_shm_pool_write_end(object_), 0);
    ASSERT_EQ(zim_shm_pool_read_begin(object_, &version), 0);
  }
}

TEST_F(PoolVersionsTest, ATornObjectStaysTornUntilItsRewriterEnds) {
  object_ = whole_object();
  const uint64_t offset = zim_shm_pool_offset_of(object_);
  kill_writer(0, [](void* obj) { zim_shm_pool_write_begin(obj); });
  zim_shm_pool_versions_report_t report;
  ASSERT_EQ(zim_shm_pool_versions_read(name_.c_str(), &report), 1);
  EXPECT_EQ(report.torn, 1u);
  EXPECT_EQ(report.first_torn, offset);
  // A rewriter killed after taking it over leaves it torn for the next one.
  ASSERT_TRUE(kill_writer(1, [](void* obj) { zim_shm_pool_write_begin(obj); }));
  uint64_t version = 0;
  EXPECT_EQ(zim_shm_pool_read_begin(object_, &version), -1);
  EXPECT_EQ(errno, EOWNERDEAD);
  EXPECT_EQ(zim_shm_pool_write_begin(object_), 1);
  EXPECT_EQ(zim_shm_pool_write_end(object_), 0);
  ASSERT_EQ(zim_shm_pool_versions_read(name_.c_str(), &report), 1);
  EXPECT_EQ(report.torn, 0u);
  EXPECT_EQ(report.under_way, 0u);
}

TEST_F(PoolVersionsTest, ANewObjectOfAWriterThatDiedIsTorn) {
  auto* offset = shared_zeroed<uint64_t>();
  kill_writer(0, [&](void*) { *offset = zim_shm_pool_offset_of(zim_shm_pool_calloc_untyped(32)); });
  object_ = zim_shm_pool_at(*offset);
  uint64_t version = 0;
  EXPECT_EQ(zim_shm_pool_read_begin(object_, &version), -1);
  EXPECT_EQ(errno, EOWNERDEAD);
  EXPECT_EQ(zim_shm_pool_write_begin(object_), 1);
  EXPECT_EQ(zim_shm_pool_write_end(object_), 0);
}

// Each piece the walk finds: a line right in front of every object and an
// object right behind every line, each where a block starts, and no pool id
// twice, though undone allocations drew some.
void expect_lined_objects() {
  std::vector<zim_shm_pool_piece_t> pieces;
  std::set<uint64_t> ids;
  const auto keep = [](const zim_shm_pool_piece_t* p, void* to) {
    static_cast<std::vector<zim_shm_pool_piece_t>*>(to)->push_back(*p);
    return 0;
  };
  ASSERT_EQ(zim_shm_pool_walk_mapped(keep, &pieces), 0);
  for (size_t i = 0; i < pieces.size(); ++i) {
    const zim_shm_pool_piece_t& p = pieces[i];
    ASSERT_NE(p.table_id, ZIM_SHM_POOL_DAMAGED) << "at " << p.offset;
    EXPECT_NE(zim_shm_pool_block_at(p.offset, nullptr, nullptr), nullptr) << "at " << p.offset;
    if (p.table_id == ZIM_SHM_POOL_VERSION_LINE) {
      ASSERT_LT(i + 1, pieces.size());
      EXPECT_EQ(pieces[i + 1].offset, p.offset + p.size + kHeader);
    } else if (p.table_id == ZIM_SHM_POOL_UNTYPED) {
      ASSERT_GT(i, 0u);
      EXPECT_EQ(pieces[i - 1].table_id, ZIM_SHM_POOL_VERSION_LINE) << "at " << p.offset;
      const uint64_t id = zim_shm_pool_id_of(zim_shm_pool_at(p.offset));
      EXPECT_NE(id, 0u);
      EXPECT_TRUE(ids.insert(id).second) << "pool id " << id << " twice";
    }
  }
}

// An allocator killed at each kill point of a versioned allocation: the next
// one takes the pool's lock and finds lines and objects whole, or neither.
TEST_F(PoolVersionsTest, AnAllocationKilledAtEachKillPointLeavesLinesWhole) {
  whole_object();
  unsigned stop_after = 1;
  for (; kill_writer(stop_after, [](void*) { zim_shm_pool_calloc_untyped(48); }); ++stop_after) {
    void* obj = zim_shm_pool_calloc_untyped(32);
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(zim_shm_pool_write_end(obj), 0);
    expect_lined_objects();
  }
  EXPECT_GT(stop_after, 8u);  // the lock, the undo record, the line, headers, state
  expect_lined_objects();
}

TEST_F(PoolVersionsTest, ALiveWriterPastTheBoundIsBusy) {
  object_ = whole_object();
  const uint64_t at = zim_shm_pool_offset_of(object_);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t pid = spawn([&] {
    zim_shm_pool_detach();
    if (zim_shm_pool_attach(name_.c_str()) != 0 ||
        zim_shm_pool_write_begin(zim_shm_pool_at(at)) != 0) {
      return 1;
    }
    char c = 'r';
    return write(ready[1], &c, 1) == 1 ? (pause(), 0) : 2;
  });
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  uint64_t version = 0;
  const auto start = Clock::now();
  EXPECT_EQ(zim_shm_pool_read_begin(object_, &version), -1);
  EXPECT_EQ(errno, EBUSY);
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::microseconds(ZIM_SHM_POOL_WRITE_BOUND_US));
  EXPECT_LT(waited, std::chrono::milliseconds(200));
  EXPECT_EQ(zim_shm_pool_write_begin(object_), -1);
  EXPECT_EQ(errno, EBUSY);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  EXPECT_EQ(zim_shm_pool_read_begin(object_, &version), -1);
  EXPECT_EQ(errno, EOWNERDEAD);
}

}  // namespace

namespace {

// A server rewrites objects with every word set to one counter while readers
// in other processes copy them under read_begin / read_end: every copy that
// read_end accepts holds one counter value throughout.
TEST_F(PoolVersionsTest, ReadersInOtherProcessesCopyEveryObjectWhole) {
  constexpr int kObjects = 8, kWords = 64, kReaders = 2;
  constexpr auto kFor = std::chrono::milliseconds(1500);
  uint64_t offsets[kObjects];
  for (uint64_t& at : offsets) at = zim_shm_pool_offset_of(whole_object(kWords * 8));
  auto* done = shared_zeroed<std::atomic<int>>();
  std::vector<pid_t> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.push_back(spawn([&] {
      zim_shm_pool_detach();
      if (zim_shm_pool_attach(name_.c_str()) != 0) return 1;
      uint64_t copies = 0, copy[kWords];
      for (unsigned i = 0; done->load() == 0; ++i) {
        const auto* words = static_cast<const uint64_t*>(zim_shm_pool_at(offsets[i % kObjects]));
        uint64_t version = 0;
        if (zim_shm_pool_read_begin(words, &version) != 0) continue;  // EBUSY: a slow write
        for (int w = 0; w < kWords; ++w) copy[w] = __atomic_load_n(&words[w], __ATOMIC_RELAXED);
        if (zim_shm_pool_read_end(words, version) != 0) continue;
        for (int w = 1; w < kWords; ++w) {
          if (copy[w] != copy[0]) return 3;
        }
        ++copies;
      }
      return copies > 0 ? 0 : 4;
    }));
  }
  const auto until = Clock::now() + kFor;
  uint64_t counter = 1;
  for (; Clock::now() < until; ++counter) {  // the readers stop only when told
    auto* words = static_cast<uint64_t*>(zim_shm_pool_at(offsets[counter % kObjects]));
    if (zim_shm_pool_write_begin(words) != 0) break;
    for (int w = 0; w < kWords; ++w) __atomic_store_n(&words[w], counter, __ATOMIC_RELAXED);
    if (zim_shm_pool_write_end(words) != 0) break;
  }
  done->store(1);
  EXPECT_GE(Clock::now(), until) << "a bracket failed after " << counter << " writes";
  for (const pid_t pid : readers) EXPECT_EQ(wait_exit(pid), 0);
}

}  // namespace
