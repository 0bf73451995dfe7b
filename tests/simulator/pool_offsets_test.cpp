// SPDX-License-Identifier: Apache-2.0
// What an offset of the pool names: the carved part, block starts, and the root before a server
// set it.

#include <gtest/gtest.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/olist.h>
#include <zim/tables/test_nhg.h>
#include <zim/tables/testglobaldiscard.h>

#include <set>

#include "segment/segment.hpp"
#include "sim_test_util.hpp"

namespace zim_sim_test {
namespace {

constexpr uint64_t kPoolSize = 1u << 20;

// Only the first byte of a block handed out is a block start, whatever the
// bytes around it hold; zim_shm_pool_at gives only the carved part.
TEST_F(ShmPoolTest, BlockStartsAndTheCarvedPart) {
  EXPECT_EQ(zim_shm_pool_block_at(ZIM_SHM_POOL_HEADER_SIZE + kHeader, nullptr, nullptr), nullptr);
  create(kPoolSize);
  const uint64_t a = zim_shm_pool_offset_of(zim_shm_table_pool_calloc(6, 40));
  const uint64_t b = zim_shm_pool_offset_of(zim_shm_table_pool_calloc(6, 1));
  const uint64_t untyped = zim_shm_pool_offset_of(zim_shm_pool_calloc_untyped(24));
  const uint64_t run = zim_shm_pool_offset_of(zim_shm_table_pool_calloc(5, kChunk + 100));
  auto* forger = static_cast<uint64_t*>(zim_shm_table_pool_calloc(7, 64));
  forger[2] = zim_sim::block_tag(2);  // a block header of table id 2 and 16 bytes
  forger[3] = 16;
  // Behind the pool's own records: the configuration, an id page, layout records.
  const uint64_t carve = static_cast<zim_sim::PoolHeader*>(zim_shm_pool_base())->carve;
  ASSERT_EQ(carve, zim_shm_pool_offset_of(forger) - kHeader + kChunk);
  constexpr uint32_t kNone = UINT32_MAX;  // no block starts there
  const struct {
    uint64_t offset;
    bool carved;
    uint32_t table_id;
    uint64_t size;
  } cases[] = {
      {a, true, 6, 40},
      {b, true, 6, 1},
      {untyped, true, ZIM_SHM_POOL_UNTYPED, 24},
      {run, true, 5, kChunk + 100},
      {a + 16, true, kNone, 0},  // inside a block
      {a + 1, true, kNone, 0},
      {b - kHeader, true, kNone, 0},
      {zim_shm_pool_offset_of(forger) + 32, true, kNone, 0},
      {ZIM_SHM_POOL_HEADER_SIZE, true, kNone, 0},
      {0, false, kNone, 0},  // root 0: nothing published
      {ZIM_SHM_POOL_HEADER_SIZE - 16, false, kNone, 0},
      {carve - 16, true, kNone, 0},
      {carve, false, kNone, 0},
      {kPoolSize - 16, false, kNone, 0},  // the start map
      {UINT64_MAX, false, kNone, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    EXPECT_EQ(zim_shm_pool_at(c.offset) != nullptr, c.carved);
    uint32_t table_id = kNone;
    uint64_t size = 0;
    void* p = zim_shm_pool_block_at(c.offset, &table_id, &size);
    EXPECT_TRUE(p == (c.table_id == kNone ? nullptr : zim_shm_pool_at(c.offset)) &&
                table_id == c.table_id && size == c.size);
  }
  EXPECT_EQ(zim_shm_pool_block_at(a, nullptr, nullptr), zim_shm_pool_at(a)) << "no outputs";
}

// A client that takes the root before the server set it (root 0) must find
// nothing there: fixing up "the object" at offset 0 would write pointers into
// the allocator's state, and the server would then hand out blocks twice.
TEST_F(ShmPoolTest, AClientTooEarlyForTheRootLeavesTheAllocatorAlone) {
  create(kPoolSize);
  std::set<uint64_t> offsets;  // the server's objects, before and after the client ran
  for (uint32_t table_id : {1u, 2u, 6u}) {
    offsets.insert(zim_shm_pool_offset_of(zim_shm_table_pool_calloc(table_id, 64)));
  }
  EXPECT_EQ(run_in_child([&] {
              if (zim_shm_pool_attach(name_.c_str()) != 0) return 10;
              void* obj = zim_shm_pool_at(zim_shm_pool_root());
              if (obj == nullptr) return 0;
              zim_olist_fix_ptrs_from_base(static_cast<srv_olist_t>(obj));
              return 11;
            }),
            0);
  const int server = run_in_child([&] {
    for (int i = 0; i < 300; ++i) {
      offsets.insert(zim_shm_pool_offset_of(zim_srv_testglobaldiscard_ctor_with_shm()));
    }
    for (int i = 0; i < 3; ++i)
      offsets.insert(zim_shm_pool_offset_of(zim_srv_test_nhg_ctor_with_shm()));
    int rc = -1;
    std::set<uint64_t> walked;
    for (const Piece& p : walk(nullptr, &rc)) walked.insert(p.offset);
    return rc == 0 && offsets.size() == 306 && walked == offsets ? 0 : 1;
  });
  EXPECT_EQ(server, 0) << "a block handed out twice, or one that the walk does not find";
}

}  // namespace
}  // namespace zim_sim_test
