// SPDX-License-Identifier: Apache-2.0
// What a process keeps of a mapped versioned pool between calls (its checked
// feed and index views, its writer stamp) belongs to that mapping and that
// process: a pool mapped after another, even with the same options, is used
// through views of its own; a forked child writes under a stamp of its own;
// and bytes damaged after the views were checked cannot lead them astray.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <zim/sim/pool_versions.h>
#include <zim/tables/versions.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sim_test_util.hpp"
#include "versions/versions.hpp"

namespace {

using namespace zim_sim_test;

constexpr uint64_t kPoolSize = 1u << 20;
constexpr uint32_t kTable = 7;

zim_shm_pool_options_t versioned(uint64_t feed, uint64_t index) { return {1, 0, feed, index}; }

// Inside host, 128 bytes in: the block header and line of a lined object and
// its own block header, as the allocator writes them, but written by a writer
// of host's bytes. The address that would follow them.
char* forge_lined_object(void* host) {
  char* at = static_cast<char*>(host) + 128;
  const uint64_t line_header[2] = {zim_sim::block_tag(ZIM_SHM_POOL_VERSION_LINE), 32};
  const uint64_t line[4] = {2, 77, 0, 0};
  const uint64_t object_header[2] = {zim_sim::block_tag(kTable), 64};
  std::memcpy(at - 64, line_header, sizeof line_header);
  std::memcpy(at - 48, line, sizeof line);
  std::memcpy(at - 16, object_header, sizeof object_header);
  return at;
}

// Follows the mapped pool, creates, changes and indexes one object, then reads
// the changes: "" when the feed, the index and the brackets all answered for
// this pool, else what did not.
std::string use_pool() {
  zim_shm_pool_cursor_t cursor;
  if (zim_shm_pool_follow(&cursor) != 0) return "follow";
  void* obj = pool_calloc(kTable, 64);
  if (obj == nullptr || zim_shm_pool_write_end(obj) != 0) return "first write_end";
  if (zim_shm_pool_write_begin(obj) != 0 || zim_shm_pool_write_end(obj) != 0) return "brackets";
  if (zim_shm_pool_index_put(kTable, 1, obj, nullptr) != 0) return "index_put";
  if (zim_shm_pool_index_get(kTable, 1) != obj) return "index_get";
  zim_shm_pool_change_t changes[8];
  uint64_t lapped = 0;
  const int n = zim_shm_pool_changes(&cursor, changes, 8, &lapped);
  const uint32_t kinds[] = {ZIM_SHM_POOL_CHANGE_CREATED, ZIM_SHM_POOL_CHANGE_CHANGED,
                            ZIM_SHM_POOL_CHANGE_INDEXED};
  if (n != 3 || lapped != 0) return "changes: " + std::to_string(n);
  for (int i = 0; i < n; ++i) {
    if (changes[i].kind != kinds[i] || changes[i].offset != zim_shm_pool_offset_of(obj)) {
      return "change " + std::to_string(i);
    }
  }
  return zim_shm_pool_version_of(obj) == 2 * changes[1].sequence ? "" : "version";
}

TEST(PoolKeptViewsTest, APoolMappedAfterAnotherIsUsedThroughItsOwnViews) {
  // The second pool lands where the first was not (its old place is held),
  // so views or a stamp kept from the first would touch a hole.
  const struct {
    const char* what;
    zim_shm_pool_options_t first, second;
  } cases[] = {
      {"the same options", versioned(64, 16), versioned(64, 16)},
      {"a larger feed", versioned(8, 16), versioned(512, 16)},
      {"a larger index", versioned(64, 4), versioned(64, 256)},
  };
  for (const auto& c : cases) {
    const std::string first = unique_pool_name(), second = first + "b";
    ASSERT_EQ(zim_shm_pool_create_with(first.c_str(), kPoolSize, &c.first), 0) << c.what;
    EXPECT_EQ(use_pool(), "") << c.what << ", first pool";
    void* old_base = zim_shm_pool_base();
    zim_shm_pool_detach();
    void* hole = mmap(old_base, kPoolSize, PROT_NONE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    ASSERT_EQ(hole, old_base) << c.what;
    ASSERT_EQ(zim_shm_pool_create_with(second.c_str(), kPoolSize, &c.second), 0) << c.what;
    EXPECT_EQ(use_pool(), "") << c.what << ", second pool";
    zim_shm_pool_detach();
    munmap(hole, kPoolSize);
  }
}

TEST(PoolKeptViewsTest, AForkedChildWritesUnderAStampOfItsOwn) {
  const std::string name = unique_pool_name();
  const zim_shm_pool_options_t options = versioned(64, 16);
  ASSERT_EQ(zim_shm_pool_create_with(name.c_str(), kPoolSize, &options), 0);
  void* mine = pool_calloc(kTable, 32);
  void* theirs = pool_calloc(kTable, 32);
  ASSERT_EQ(zim_shm_pool_write_end(mine), 0);  // this process's stamp in use
  ASSERT_EQ(zim_shm_pool_write_end(theirs), 0);
  // The child, on the mapping it inherited, dies inside its write: under its
  // own slot the write reads as its dead writer's; under this process's
  // stamp it would read as a live writer's (EBUSY).
  const pid_t child = spawn([&] { return zim_shm_pool_write_begin(theirs) == 0 ? 0 : 1; });
  ASSERT_EQ(wait_exit(child), 0);
  uint64_t version = 0;
  EXPECT_EQ(zim_shm_pool_read_begin(theirs, &version), -1);
  EXPECT_EQ(errno, EOWNERDEAD);
  EXPECT_EQ(zim_shm_pool_writer_of(theirs), child);
  EXPECT_EQ(zim_shm_pool_write_begin(theirs), 1);  // this process rewrites it whole
  EXPECT_EQ(zim_shm_pool_write_end(theirs), 0);
  zim_shm_pool_detach();
}

TEST(PoolKeptViewsTest, RoomBytesDamagedAfterTheirCheckAreNotFollowed) {
  // Each word is damaged after this process checked its views: later calls
  // keep to the capacities checked then and stay inside the records.
  const struct {
    const char* what;
    uint64_t room_offset;  // added to the room's offset in the version state
    bool feed;
  } cases[] = {
      {"the feed's capacity", 16, true},
      {"the index's capacity", 16, false},
  };
  for (const auto& c : cases) {
    const std::string name = unique_pool_name();
    const zim_shm_pool_options_t options = versioned(64, 16);
    ASSERT_EQ(zim_shm_pool_create_with(name.c_str(), kPoolSize, &options), 0);
    ASSERT_EQ(use_pool(), "") << c.what;
    auto* hdr = static_cast<zim_sim::PoolHeader*>(zim_shm_pool_base());
    const zim_sim::VersionState& state = zim_sim::version_state(hdr);
    auto* word = reinterpret_cast<uint64_t*>(reinterpret_cast<char*>(hdr) +
                                             (c.feed ? state.feed : state.index) + c.room_offset);
    *word = uint64_t{1} << 40;
    EXPECT_EQ(zim_shm_pool_index_remove(kTable, 1), 0) << c.what;
    EXPECT_EQ(use_pool(), "") << c.what;
    zim_shm_pool_detach();
  }
}

// Every bracket and query finds an object's line the same way: an address in
// the pool that is not a live object's first byte is refused (EINVAL) by the
// brackets and read calls and has no version, pool id or writer, even where
// an object's bytes imitate the headers and line of one; an address outside
// the pool is no pool object (0, no version); the index files no such
// address.
TEST(PoolKeptViewsTest, OnlyALiveObjectsFirstByteHasALine) {
  const std::string name = unique_pool_name();
  const zim_shm_pool_options_t options = versioned(64, 16);
  ASSERT_EQ(zim_shm_pool_create_with(name.c_str(), kPoolSize, &options), 0);
  auto* obj = static_cast<char*>(pool_calloc(kTable, 64));
  auto* host = static_cast<char*>(pool_calloc(kTable, 256));
  auto* retired = static_cast<char*>(pool_calloc(kTable + 1, 64));
  ASSERT_TRUE(obj != nullptr && host != nullptr && retired != nullptr);
  for (char* o : {obj, host, retired}) ASSERT_EQ(zim_shm_pool_write_end(o), 0);
  ASSERT_EQ(zim_shm_pool_write_begin(host), 0);
  char* const forged = forge_lined_object(host);
  ASSERT_EQ(zim_shm_pool_write_end(host), 0);
  const uint64_t host_version = zim_shm_pool_version_of(host);
  ASSERT_EQ(zim_shm_pool_retire(kTable + 1), 0);
  auto* base = static_cast<char*>(zim_shm_pool_base());
  const zim_sim::VersionState& state =
      zim_sim::version_state(reinterpret_cast<zim_sim::PoolHeader*>(base));
  long heap = 0;
  const struct {
    const char* what;
    void* at;
    int refusal;  // what the brackets return: -1 (EINVAL) in the pool, 0 outside
  } cases[] = {
      {"the pool's header", base, -1},
      {"inside the object", obj + 16, -1},
      {"off the 16-byte grid", obj + 8, -1},
      {"the object's version line", obj - 32, -1},
      {"headers and a line imitated inside an object", forged, -1},
      {"a retired object", retired, -1},
      {"the feed's record", base + state.feed, -1},
      {"the index's record", base + state.index, -1},
      {"the start map", base + kPoolSize - 16, -1},
      {"one past the pool", base + kPoolSize, 0},
      {"the heap", &heap, 0},
  };
  for (const auto& c : cases) {
    uint64_t version = 9;
    errno = 0;
    EXPECT_EQ(zim_shm_pool_write_begin(c.at), c.refusal) << c.what;
    EXPECT_EQ(errno, c.refusal != 0 ? EINVAL : 0) << c.what;
    EXPECT_EQ(zim_shm_pool_write_end(c.at), c.refusal) << c.what;
    EXPECT_EQ(zim_shm_pool_read_begin(c.at, &version), c.refusal) << c.what;
    EXPECT_EQ(version, 0u) << c.what;
    EXPECT_EQ(zim_shm_pool_read_end(c.at, 0), c.refusal) << c.what;
    EXPECT_EQ(zim_shm_pool_version_of(c.at), 0u) << c.what;
    EXPECT_EQ(zim_shm_pool_id_of(c.at), 0u) << c.what;
    EXPECT_EQ(zim_shm_pool_writer_of(c.at), 0) << c.what;
    EXPECT_EQ(zim_shm_pool_index_put(kTable, 5, c.at, nullptr), -1) << c.what;
    EXPECT_EQ(errno, EINVAL) << c.what;
    EXPECT_EQ(zim_shm_pool_index_get(kTable, 5), nullptr) << c.what;
    // A snapshot's try checks the headers as line_at does, not the start
    // map: an imitation of them reads as an object of its own, bounded by
    // its block header. Anything else is no try (an odd version, 0 bytes).
    const bool imitation = c.at == forged;
    errno = 0;
    const zim_tables_whole_t first_try = zim_tables_whole_first(c.at);
    EXPECT_EQ(first_try.version, imitation ? 2u : 1u) << c.what;
    EXPECT_EQ(first_try.bytes, imitation ? 64u : 0u) << c.what;
    EXPECT_EQ(errno, imitation ? 0 : EINVAL) << c.what;
  }
  // Neither the imitation nor the object holding it was written.
  uint64_t forged_line[4];
  std::memcpy(forged_line, forged - 48, sizeof forged_line);
  EXPECT_EQ(forged_line[0], 2u);
  EXPECT_EQ(zim_shm_pool_version_of(host), host_version);
  // The object itself, after all the refusals around it, is as it was.
  EXPECT_EQ(zim_shm_pool_version_of(obj) % 2, 0u);
  EXPECT_NE(zim_shm_pool_id_of(obj), 0u);
  const zim_tables_whole_t first_try = zim_tables_whole_first(obj);
  EXPECT_EQ(first_try.version, zim_shm_pool_version_of(obj));
  EXPECT_GE(first_try.bytes, 64u);
  EXPECT_EQ(zim_shm_pool_write_begin(obj), 0);
  EXPECT_EQ(zim_shm_pool_writer_of(obj), getpid());
  EXPECT_EQ(zim_shm_pool_write_end(obj), 0);
  zim_shm_pool_detach();
}

// A process's first calls on a mapping may come from several threads at once:
// they claim one writer slot between them and open the rooms once, and every
// change reaches the feed.
TEST(PoolKeptViewsTest, ThreadsOfAFreshMappingShareOneStampAndTheFeed) {
  constexpr int kThreads = 4, kWrites = 300;
  const std::string name = unique_pool_name();
  const zim_shm_pool_options_t options = versioned(4096, 16);
  ASSERT_EQ(zim_shm_pool_create_with(name.c_str(), kPoolSize, &options), 0);
  std::vector<uint64_t> offsets;
  for (int t = 0; t < kThreads; ++t) {
    void* obj = pool_calloc(kTable, 32);
    ASSERT_EQ(zim_shm_pool_write_end(obj), 0);
    offsets.push_back(zim_shm_pool_offset_of(obj));
  }
  zim_shm_pool_cursor_t cursor;
  ASSERT_EQ(zim_shm_pool_follow(&cursor), 0);
  const int status = run_in_child([&] {
    zim_shm_pool_detach();  // a mapping of its own: nothing kept yet
    if (zim_shm_pool_attach(name.c_str()) != 0) return 1;
    std::atomic<int> failures{0};
    in_threads(0, kThreads, [&](int t) {
      void* obj = zim_shm_pool_at(offsets[t]);
      for (int w = 0; w < kWrites; ++w) {
        if (zim_shm_pool_write_begin(obj) != 0 || zim_shm_pool_write_end(obj) != 0) ++failures;
      }
    });
    return failures.load() == 0 ? 0 : 2;
  });
  ASSERT_EQ(status, 0);
  std::vector<zim_shm_pool_change_t> changes(kThreads * kWrites + 1);
  uint64_t lapped = 0;
  const int n = zim_shm_pool_changes(&cursor, changes.data(), changes.size(), &lapped);
  ASSERT_EQ(n, kThreads * kWrites);
  EXPECT_EQ(lapped, 0u);
  std::vector<int> per_object(kThreads, 0);
  for (int i = 0; i < n; ++i) {
    ASSERT_EQ(changes[i].kind, ZIM_SHM_POOL_CHANGE_CHANGED);
    for (int t = 0; t < kThreads; ++t) per_object[t] += changes[i].offset == offsets[t];
  }
  EXPECT_EQ(per_object, std::vector<int>(kThreads, kWrites));
  // This process's slot and one for the child, whose threads claimed once.
  const zim_sim::VersionState& state =
      zim_sim::version_state(static_cast<zim_sim::PoolHeader*>(zim_shm_pool_base()));
  int claimed = 0;
  for (const auto& generation : state.generation) claimed += generation.load() != 0;
  EXPECT_EQ(claimed, 2);
  zim_shm_pool_detach();
}

}  // namespace
