// SPDX-License-Identifier: Apache-2.0
// The shared-memory table pool: carving, limits, other processes, walks.

#include <gtest/gtest.h>
#include <zim/sim/shm_pool.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

#include "attach_locks.hpp"
#include "pool.hpp"
#include "sim_test_util.hpp"

namespace zim_sim_test {
namespace {

constexpr uint64_t kPoolSize = 8u << 20;

TEST_F(ShmPoolTest, BlocksAreZeroAlignedInsideAndDisjoint) {
  create(kPoolSize);
  const std::pair<uint32_t, uint64_t> requests[] = {{0, 1},
                                                    {0, 15},
                                                    {0, 16},
                                                    {1, 17},
                                                    {342, 100},
                                                    {ZIM_SHM_POOL_MAX_TABLE_ID, 100},
                                                    {7, 4096},
                                                    {7, kChunk},
                                                    {7, kChunk + 1},
                                                    {0, 3 * kChunk},
                                                    {0, 1},
                                                    {ZIM_SHM_POOL_UNTYPED, 100},
                                                    {ZIM_SHM_POOL_UNTYPED, kChunk + 1}};
  for (const auto& [table_id, size] : requests) {
    auto* p = static_cast<unsigned char*>(pool_calloc(table_id, size));
    ASSERT_NE(p, nullptr) << table_id << ":" << size;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    EXPECT_GE(zim_shm_pool_offset_of(p), ZIM_SHM_POOL_HEADER_SIZE);
    EXPECT_LE(zim_shm_pool_offset_of(p) + size, kPoolSize);
    EXPECT_EQ(fill_of(p, size), 0);  // also no overlap with the blocks before, all 0xa5
    std::memset(p, 0xa5, size);
  }
  // Unusable requests: no block and no bookkeeping.
  const std::pair<uint32_t, uint64_t> unusable[] = {{ZIM_SHM_POOL_MAX_TABLE_ID + 1, 16},
                                                    {UINT32_MAX, 16},
                                                    {ZIM_SHM_POOL_UNTYPED - 1, 16},
                                                    {5, 0},
                                                    {5, kPoolSize + 1},
                                                    {5, UINT64_MAX},
                                                    {ZIM_SHM_POOL_UNTYPED, 0},
                                                    {ZIM_SHM_POOL_UNTYPED, kPoolSize + 1}};
  for (const auto& [table_id, size] : unusable) {
    EXPECT_EQ(pool_calloc(table_id, size), nullptr) << table_id << ":" << size;
  }
  EXPECT_EQ(zim_shm_table_pool_calloc(ZIM_SHM_POOL_UNTYPED, 16), nullptr) << "no table id";
  EXPECT_EQ(zim_shm_pool_table_blocks(5), 0u);
  EXPECT_EQ(zim_shm_pool_table_blocks(ZIM_SHM_POOL_UNTYPED), 2u);
  EXPECT_EQ(zim_shm_pool_table_bytes(ZIM_SHM_POOL_UNTYPED), 112u + kChunk + 16);
}

TEST_F(ShmPoolTest, EachTableIdBumpAllocatesInItsOwnChunks) {
  create(kPoolSize);
  auto* a1 = static_cast<char*>(zim_shm_table_pool_calloc(1, 24));
  auto* b1 = static_cast<char*>(zim_shm_table_pool_calloc(2, 16));
  auto* a2 = static_cast<char*>(zim_shm_table_pool_calloc(1, 16));
  auto* big = static_cast<char*>(zim_shm_table_pool_calloc(1, kChunk + 1));
  auto* a3 = static_cast<char*>(zim_shm_table_pool_calloc(1, 16));
  ASSERT_TRUE(a1 && b1 && a2 && big && a3);
  EXPECT_EQ(a2, a1 + 32 + kHeader) << "table 2's block must not land in table 1's chunk";
  EXPECT_EQ(a3, a2 + 16 + kHeader) << "a run of its own must leave the chunk in use";
  EXPECT_TRUE(b1 < a1 || b1 >= a1 + kChunk);
  EXPECT_EQ(zim_shm_pool_table_bytes(1), 32 + 16 + (kChunk + 16) + 16);
  EXPECT_EQ(zim_shm_pool_table_blocks(1), 4u);
  EXPECT_EQ(zim_shm_pool_table_bytes(2), 16u);
}

TEST_F(ShmPoolTest, ExhaustedPoolReturnsNull) {
  // The configuration and an id page, a full chunk and a short one before the
  // start map; kA and the ids after it have no layout note in this program.
  constexpr uint32_t kA = 5000;
  constexpr uint64_t kRecords = kConfigRecord + kHeader + sizeof(zim_sim::IdPage);
  constexpr uint64_t kSize = ZIM_SHM_POOL_HEADER_SIZE + kRecords + kChunk + 1024 + 624;
  static_assert(kSize - ZIM_SHM_POOL_START_MAP_SIZE(kSize) == kSize - 624);
  create(kSize);
  EXPECT_EQ(zim_shm_table_pool_calloc(kA + 1, kChunk + 2048), nullptr)
      << "run larger than the rest";
  EXPECT_NE(zim_shm_table_pool_calloc(kA, kChunk - kHeader), nullptr);
  EXPECT_EQ(zim_shm_table_pool_calloc(kA + 1, 2048), nullptr) << "short chunk too small";
  EXPECT_NE(zim_shm_table_pool_calloc(kA + 1, 1024 - kHeader), nullptr)
      << "short chunk fits exactly";
  for (uint32_t table_id : {kA, kA + 1, kA + 2})
    EXPECT_EQ(zim_shm_table_pool_calloc(table_id, 1), nullptr);
  EXPECT_EQ(zim_shm_pool_table_bytes(kA), kChunk - kHeader);
  EXPECT_EQ(zim_shm_pool_table_bytes(kA + 1), 1024 - kHeader);
}

TEST_F(ShmPoolTest, CreateAndAttachReportErrorsAndALivePoolKeepsItsName) {
  const std::string pid = std::to_string(getpid());
  const std::string long_name = "/" + std::string(255, 'x');
  for (const char* name : {"noslash", "/", "/a/b", "/.", "/..", long_name.c_str()}) {
    EXPECT_TRUE(zim_shm_pool_create(name, kPoolSize) == -1 && errno == EINVAL) << name;
    EXPECT_TRUE(zim_shm_pool_attach(name) == -1 && errno == EINVAL) << name;
  }
  EXPECT_TRUE(zim_shm_pool_create(name_.c_str(), ZIM_SHM_POOL_MIN_SIZE - 1) == -1 &&
              errno == EINVAL);
  EXPECT_TRUE(zim_shm_pool_attach(name_.c_str()) == -1 && errno == ENOENT);

  // A stale pool (its creator killed) is anyone's to destroy, and replaced.
  ASSERT_TRUE(leave_stale_pool(name_) && zim_shm_pool_attach(name_.c_str()) == 0);
  EXPECT_TRUE(zim_shm_pool_destroy() == 0 && !shm_exists(name_));
  ASSERT_TRUE(leave_stale_pool(name_));
  create(ZIM_SHM_POOL_MIN_SIZE);
  EXPECT_EQ(zim_shm_pool_size(), ZIM_SHM_POOL_MIN_SIZE);
  const uint64_t room = 32768 - ZIM_SHM_POOL_START_MAP_SIZE(ZIM_SHM_POOL_MIN_SIZE) - kHeader -
                        kConfigRecord - kHeader - sizeof(zim_sim::IdPage);
  void* p = zim_shm_table_pool_calloc(5000, room);  // an id without a layout note here
  EXPECT_TRUE(p != nullptr && fill_of(p, room) == 0);

  EXPECT_TRUE(zim_shm_pool_create(name_.c_str(), kPoolSize) == -1 && errno == EBUSY);
  EXPECT_TRUE(zim_shm_pool_attach(name_.c_str()) == -1 && errno == EBUSY);
  // Nor can another process, nor destroy it: this one's child (which does not own the pool,
  // so its exit leaves it) with the mapping it inherited, then as a client.
  GTEST_FLAG_SET(death_test_style, "fast");
  const auto refused = [] { return zim_shm_pool_destroy() == -1 && errno == EPERM; };
  EXPECT_EXIT(std::exit(refused() && zim_shm_pool_create(name_.c_str(), kPoolSize) == -1 &&
                        errno == EEXIST && zim_shm_pool_attach(name_.c_str()) == 0 && refused()),
              ::testing::ExitedWithCode(1),
              "cannot destroy the pool \"" + name_ + "\": it belongs to process " + pid +
                  ", which is alive(.|\n)*the name belongs to the live pool of process " + pid +
                  "(.|\n)*cannot destroy the pool");
  EXPECT_TRUE(shm_exists(name_));
  zim_shm_pool_detach();
  EXPECT_FALSE(shm_exists(name_)) << "the creator's detach removes the name";
  EXPECT_EQ(zim_shm_pool_base(), nullptr);
}

// A client process finds the server's block at another address and allocates in turn.
TEST_F(ShmPoolTest, SecondProcessAttachesAtAnotherAddress) {
  create(kPoolSize);
  void* base = zim_shm_pool_base();
  auto* shared = static_cast<uint64_t*>(zim_shm_table_pool_calloc(4, 64));
  shared[0] = 0x1122334455667788u;
  zim_shm_pool_set_root(zim_shm_pool_offset_of(shared));
  ASSERT_EQ(run_in_child([&] {
              if (zim_shm_pool_attach(name_.c_str()) != 0) return 10;
              auto* seen = static_cast<uint64_t*>(zim_shm_pool_at(zim_shm_pool_root()));
              if (zim_shm_pool_base() == base || seen == shared) return 11;
              if (seen[0] != 0x1122334455667788u) return 12;
              auto* mine = static_cast<uint64_t*>(zim_shm_table_pool_calloc(5, 100));
              mine[0] = 42;
              seen[1] = zim_shm_pool_offset_of(mine);
              zim_shm_pool_detach();  // must leave the creator's name alone
              return 0;
            }),
            0);
  EXPECT_TRUE(shm_exists(name_));
  EXPECT_EQ(*static_cast<uint64_t*>(zim_shm_pool_at(shared[1])), 42u);
  EXPECT_EQ(zim_shm_pool_offset_of(static_cast<char*>(base) + kPoolSize), ZIM_SHM_POOL_BAD_OFFSET);
  EXPECT_EQ(zim_shm_pool_offset_of(static_cast<char*>(base) - 1), ZIM_SHM_POOL_BAD_OFFSET);
  EXPECT_EQ(zim_shm_pool_at(kPoolSize), nullptr);
  EXPECT_EQ(zim_shm_pool_table_bytes(5), 112u);
}

// The attachers' locks name who attached in each epoch, for as long as they
// map the pool; an adoption begins the next epoch.
TEST_F(ShmPoolTest, AttachLocksNameWhoAttachedBeforeAnAdoption) {
  create(kPoolSize);
  int ready[2], go[2];
  ASSERT_TRUE(pipe(ready) == 0 && pipe(go) == 0);
  const auto attacher = [&](bool detach) {
    return spawn([&, detach] {
      close(go[1]);  // each waits for the test to close its end
      char c = zim_shm_pool_attach(name_.c_str()) == 0 ? 'y' : 'n';
      if (detach) zim_shm_pool_detach();
      return write(ready[1], &c, 1) == 1 && read(go[0], &c, 1) == 0 ? 0 : 1;
    });
  };
  const auto attached = [&](int n) {
    char c = 'y';
    while (n-- > 0 && c == 'y') {
      if (read(ready[0], &c, 1) != 1) return false;
    }
    return c == 'y';
  };
  std::vector<pid_t> before = {attacher(false), attacher(false)};
  const pid_t detached = attacher(true);
  ASSERT_TRUE(attached(3));
  ASSERT_EQ(zim_shm_pool_hand_over(), 0);
  ASSERT_EQ(zim_shm_pool_adopt(name_.c_str()), 0);
  const pid_t after = attacher(false);
  ASSERT_TRUE(attached(1));
  const int fd = shm_open(name_.c_str(), O_RDONLY, 0);
  std::sort(before.begin(), before.end());
  EXPECT_EQ(zim_sim::attached_before(fd, 1), before);
  EXPECT_TRUE(zim_sim::attached_before(fd, 0).empty());
  std::vector<pid_t> all = before;
  all.insert(std::upper_bound(all.begin(), all.end(), after), after);
  EXPECT_EQ(zim_sim::attached_before(fd, 2), all);
  for (int end : {go[1], ready[1]}) close(end);
  for (const pid_t pid : {before[0], before[1], detached, after}) EXPECT_EQ(wait_exit(pid), 0);
  EXPECT_TRUE(zim_sim::attached_before(fd, 2).empty()) << "an attacher's end drops its lock";
  // The kernel names one lock of a range, not the lowest: locks taken here,
  // each through a descriptor of its own, highest first.
  std::vector<int> fds;
  for (const auto& [epoch, pid] : {std::pair{2u, 7}, {1u, 300}, {0u, 200}, {0u, 100}}) {
    fds.push_back(shm_open(name_.c_str(), O_RDONLY, 0));
    struct flock lock = {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = zim_sim::attach_lock_offset(epoch, pid);
    lock.l_len = 1;
    ASSERT_EQ(fcntl(fds.back(), F_OFD_SETLK, &lock), 0);
  }
  EXPECT_EQ(zim_sim::attached_before(fd, 2), (std::vector<pid_t>{100, 200, 300}));
  for (int end : fds) close(end);
  for (int end : {fd, go[0], ready[0]}) close(end);
}

// Damage shows between the blocks still found; the inspector's test walks another process's pool.
TEST_F(ShmPoolTest, WalkFindsEveryBlockAndTheDamage) {
  const std::pair<uint32_t, uint64_t> requests[] = {// in address order
                                                    {3, 40},
                                                    {3, 1},
                                                    {5, 16},
                                                    {5, 300},
                                                    {3, kChunk + 100},
                                                    {342, kChunk - kHeader},
                                                    {ZIM_SHM_POOL_UNTYPED, 24},
                                                    {ZIM_SHM_POOL_UNTYPED, 8}};
  create(kPoolSize);
  std::vector<Piece> want;
  for (int i = 0; i < int(std::size(requests)); ++i) {
    const auto [table_id, size] = requests[i];
    void* p = pool_calloc(table_id, size);
    std::memset(p, 0x10 + i, size);
    want.push_back({zim_shm_pool_offset_of(p), size, table_id, 0x10 + i});
  }
  int rc = -1;
  EXPECT_EQ(walk(name_.c_str(), &rc), want);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(walk(name_.c_str(), &rc, true), want);
  EXPECT_EQ(rc, 0);

  // Block 1 lost its magic, block 2's size runs past the carve point, and
  // table 5's chunk holds a line of garbage after its blocks.
  const auto word = [](uint64_t offset) { return static_cast<uint64_t*>(zim_shm_pool_at(offset)); };
  *word(want[1].offset - kHeader) = 0;
  *word(want[2].offset - 8) = UINT64_MAX;
  const uint64_t garbage = want[3].offset + 304 + 2 * kHeader;
  std::memset(word(garbage), 0x77, kHeader);
  for (Piece* p : {&want[1], &want[2]}) {  // the header and the block's first line
    *p = {p->offset - kHeader, 2 * kHeader, ZIM_SHM_POOL_DAMAGED, -1};
  }
  want.insert(want.begin() + 4, {garbage, kHeader, ZIM_SHM_POOL_DAMAGED, 0x77});
  EXPECT_EQ(walk(name_.c_str(), &rc), want);
  EXPECT_EQ(walk(nullptr, &rc), want) << "the walk of the mapped pool";
  EXPECT_EQ(walk(name_.c_str(), &rc, true), want) << "the walk of headers";
  int seen = 0;  // a visit that returns non-zero ends the walk
  const auto stop = [](const zim_shm_pool_piece_t*, void* n) { return ++*(int*)n == 2 ? 7 : 0; };
  EXPECT_TRUE(zim_shm_pool_walk(name_.c_str(), stop, &seen) == 7 && seen == 2);
  // A visit reads its own piece, inside it, and nothing else.
  const auto refused = [](const zim_shm_pool_piece_t* p, void*) {
    unsigned char b[2];
    const zim_shm_pool_piece_t copy = *p;
    for (const auto& [piece, from, size] :
         {std::tuple{p, p->size, uint64_t{1}}, {p, uint64_t{1}, UINT64_MAX}, {&copy, 0, 1}}) {
      if (zim_shm_pool_piece_read(piece, from, size, b) != -1 || errno != EINVAL) return 1;
    }
    return zim_shm_pool_piece_read(p, p->size - 1, 1, b);
  };
  EXPECT_EQ(zim_shm_pool_walk_headers(name_.c_str(), refused, nullptr, nullptr), 0);
  const zim_shm_pool_piece_t unvisited{};
  EXPECT_TRUE(zim_shm_pool_piece_read(&unvisited, 0, 0, nullptr) == -1 && errno == EINVAL);

  // Not walkable, each for its own reason.
  const auto* base = static_cast<const unsigned char*>(zim_shm_pool_base());
  const std::vector<unsigned char> image(base, base + kPoolSize);
  const auto patched = [&image](size_t at, auto value) {
    std::vector<unsigned char> bytes = image;
    std::memcpy(bytes.data() + at, &value, sizeof value);
    return bytes;
  };
  std::vector<unsigned char> longer = image;
  longer.resize(kPoolSize + 4096);
  const struct {
    const char* name;  // null: a unique one, with the segment under it
    std::vector<unsigned char> segment;
    int err;
    uint32_t fault;
  } cases[] = {
      {"/zim_sim_test.none", {}, ENOENT, ZIM_SHM_POOL_FAULT_NONE},
      {"zim_sim_test", {}, EINVAL, ZIM_SHM_POOL_FAULT_NAME},
      {nullptr, {}, EINVAL, ZIM_SHM_POOL_FAULT_EMPTY},
      {nullptr, std::vector<unsigned char>(ZIM_SHM_POOL_MIN_SIZE, 'j'), EINVAL,
       ZIM_SHM_POOL_FAULT_NOT_A_POOL},
      {nullptr, patched(offsetof(zim_sim::PoolHeader, version), zim_sim::kPoolVersion + 1), EINVAL,
       ZIM_SHM_POOL_FAULT_VERSION},
      {nullptr, {image.begin(), image.end() - 4096}, EINVAL, ZIM_SHM_POOL_FAULT_CUT_SHORT},
      {nullptr, longer, EINVAL, ZIM_SHM_POOL_FAULT_EXTENDED},
      {nullptr, patched(offsetof(zim_sim::PoolHeader, carve), uint64_t{kPoolSize + 16}), EINVAL,
       ZIM_SHM_POOL_FAULT_CARVE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    const std::string other = c.name ? c.name : unique_pool_name();
    ASSERT_TRUE(c.name || put_segment(other, c.segment.data(), c.segment.size()));
    EXPECT_TRUE(walk(other.c_str(), &rc).empty() && rc == -1 && errno == c.err);
    zim_shm_pool_walk_facts_t facts{};
    EXPECT_EQ(zim_shm_pool_walk_headers(other.c_str(), stop, &seen, &facts), -1);
    EXPECT_EQ(errno, c.err);
    EXPECT_EQ(facts.fault, c.fault);
    EXPECT_EQ(facts.layout_version,
              c.fault == ZIM_SHM_POOL_FAULT_VERSION     ? zim_sim::kPoolVersion + 1
              : c.fault > ZIM_SHM_POOL_FAULT_NOT_A_POOL ? zim_sim::kPoolVersion
                                                        : 0);
    shm_unlink(other.c_str());
  }
}

// Uids drawn before there is a pool must not come again from it either.
TEST_F(ShmPoolTest, ConcurrentCallersGetDisjointBlocksAndUniqueUids) {
  constexpr int kCallers = 5, kPerCaller = 2000;  // caller 0 is the other process
  constexpr int kCalls = kCallers * kPerCaller;
  struct Draws {
    uint64_t offsets[kCalls];
    uint32_t uids[2 * kCalls];  // before there is a pool, then in it
  };
  auto* d = shared_zeroed<Draws>();
  ASSERT_TRUE(d != nullptr && zim_shm_pool_base() == nullptr);
  in_threads(0, kCallers, [d](int caller) {
    for (int i = 0; i < kPerCaller; ++i) d->uids[caller * kPerCaller + i] = qor_getuid();
  });
  create(32u << 20);
  const auto size_of = [](int caller, int i) { return uint64_t(1 + (caller * 7 + i * 13) % 300); };
  const auto table_of = [](int caller, int i) { return uint32_t(i % 2 ? caller : 100); };
  const auto run = [&](int caller) {
    for (int i = 0; i < kPerCaller; ++i) {
      void* p = zim_shm_table_pool_calloc(table_of(caller, i), size_of(caller, i));
      d->offsets[caller * kPerCaller + i] = zim_shm_pool_offset_of(p);
      d->uids[kCalls + caller * kPerCaller + i] = qor_getuid();
    }
  };
  const pid_t child = spawn([&] { return run(0), 0; });
  in_threads(1, kCallers, run);
  ASSERT_EQ(wait_exit(child), 0);

  std::vector<Piece> pieces;
  uint64_t bytes[ZIM_NUM_TABLE_TYPES] = {};
  for (int caller = 0; caller < kCallers; ++caller) {
    for (int i = 0; i < kPerCaller; ++i) {
      pieces.push_back({d->offsets[caller * kPerCaller + i], size_of(caller, i), 0, 0});
      bytes[table_of(caller, i)] += (size_of(caller, i) + 15) / 16 * 16;
    }
  }
  EXPECT_TRUE(disjoint_within(pieces, ZIM_SHM_POOL_HEADER_SIZE, 32u << 20));
  for (uint32_t id = 0; id < ZIM_NUM_TABLE_TYPES; ++id) {
    EXPECT_EQ(zim_shm_pool_table_bytes(id), bytes[id]) << id;
  }
  uint32_t* const uids = d->uids;
  std::sort(uids, uids + 2 * kCalls);
  EXPECT_NE(uids[0], 0u);
  EXPECT_EQ(std::adjacent_find(uids, uids + 2 * kCalls), uids + 2 * kCalls) << "duplicate uid";
}

// A segment cut short during a walk by name (here by the visitor) ends the
// walk with ENODATA, not a signal, unless what is left holds the carved part.
TEST_F(ShmPoolTest, WalkOfASegmentCutShortMeanwhileFails) {
  create(kPoolSize);
  for (const auto& [table_id, size] : std::vector<std::pair<uint32_t, uint64_t>>{
           {1, 100}, {2, 3 * kChunk}, {1, 16}, {3, 5 * kChunk}, {4, 64}}) {
    // Ids from 5001: no layout record is carved beside their blocks.
    std::memset(zim_shm_table_pool_calloc(5000 + table_id, size), 0x40 + int(table_id), size);
  }
  // Carved: the configuration, the page of ids 4864 to 5119, the chunk of id 1,
  // the two runs, the chunk of id 4.
  const uint64_t carve = ZIM_SHM_POOL_HEADER_SIZE + kConfigRecord + kHeader +
                         sizeof(zim_sim::IdPage) + kChunk + (3 * kChunk + kHeader) +
                         (5 * kChunk + kHeader) + kChunk;
  // The walk reads ahead up to a chunk of lines: a cut inside what it has
  // read shows only when it reads further, or at its end.
  struct Cut {
    int at_piece;       // cut while visiting this piece
    uint64_t new_size;  // of the segment
    int want_rc;
    size_t want_pieces;  // visited
    int fd = -1;
    size_t seen = 0;
  } cases[] = {
      {2, 0, -1, 4},  // pieces 0 and 1: the configuration and the id page
      {2, ZIM_SHM_POOL_HEADER_SIZE, -1, 4},
      {3, ZIM_SHM_POOL_HEADER_SIZE + 2 * kChunk, -1, 4},  // inside the first run
      {4, carve - 1, -1, 6},                              // in the chunk of id 4
      {6, carve - 1, -1, 7},                              // after the last read
      {6, carve, 0, 7},
  };
  const std::string other = unique_pool_name();
  for (const bool headers : {false, true}) {  // the visits read their pieces themselves
    for (Cut c : cases) {
      SCOPED_TRACE(std::to_string(c.new_size) + (headers ? " headers" : ""));
      ASSERT_TRUE(put_segment(other, zim_shm_pool_base(), kPoolSize));
      c.fd = shm_open(other.c_str(), O_RDWR, 0);
      const auto visit = [](const zim_shm_pool_piece_t* p, void* context) {
        auto* k = static_cast<Cut*>(context);
        std::vector<unsigned char> bytes(p->data == nullptr ? p->size : 0);
        if (p->data == nullptr && zim_shm_pool_piece_read(p, 0, p->size, bytes.data()) != 0) {
          return -1;
        }
        // the bytes handed over are the piece's
        if (!is_record(p->table_id) && fill_of(p->data ? p->data : bytes.data(), p->size) < 0) {
          return 9;
        }
        const bool now = int(k->seen++) == k->at_piece;
        return now && ftruncate(k->fd, off_t(k->new_size)) != 0 ? 8 : 0;
      };
      errno = 0;
      zim_shm_pool_walk_facts_t facts{};
      const int rc = headers ? zim_shm_pool_walk_headers(other.c_str(), visit, &c, &facts)
                             : zim_shm_pool_walk(other.c_str(), visit, &c);
      const int err = errno;
      EXPECT_EQ(rc, c.want_rc);
      EXPECT_TRUE(rc == 0 || err == ENODATA) << std::strerror(err);
      EXPECT_EQ(facts.fault, headers && rc != 0 ? ZIM_SHM_POOL_FAULT_SHRANK : 0u);
      EXPECT_EQ(c.seen, c.want_pieces);
      close(c.fd);
      shm_unlink(other.c_str());
    }
  }
}

}  // namespace
}  // namespace zim_sim_test
