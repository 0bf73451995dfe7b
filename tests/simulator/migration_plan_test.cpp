// SPDX-License-Identifier: Apache-2.0
// Where a conversion carves its new object: the migration's inline plan for a
// block that fits its type's chunk decides every case as the allocator's
// plan() does, or the read-only pass's room check and the conversions that
// follow it would place objects apart.

#include <gtest/gtest.h>
#include <zim/sim/shm_pool.h>

#include <cstdint>

#include "alloc/alloc.hpp"
#include "migration/migration.hpp"

namespace {

constexpr uint64_t kChunk = ZIM_SHM_POOL_CHUNK_SIZE;

TEST(ConvertedObjectPlan, AgreesWithTheAllocatorsPlan) {
  struct Case {
    const char* what;
    uint64_t carve, end, cursor, limit, need;
  };
  const uint64_t base = 1u << 20;  // a carve point well inside a pool
  const uint64_t end = 64u << 20;
  const Case cases[] = {
      {"fits the chunk with room left", base, end, 4096, 4096 + kChunk, 464},
      {"fills the chunk exactly", base, end, 4096 + kChunk - 464, 4096 + kChunk, 464},
      {"one byte short: a new chunk", base, end, 4096 + kChunk - 463, 4096 + kChunk, 464},
      {"no chunk yet", base, end, 0, 0, 464},
      {"a whole chunk", base, end, 4096, 4096 + kChunk, kChunk},
      {"larger than a chunk: a run", base, end, 4096, 4096 + kChunk, kChunk + 16},
      {"a short last chunk that holds it", end - 1024, end, 0, 0, 464},
      {"a short last chunk that does not", end - 256, end, 0, 0, 464},
      {"a run past the end", end - kChunk, end, 0, 0, kChunk + 16},
      {"nothing left and a full chunk", end, end, 4096, 4096 + 128, 464},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    zim_sim::Plan expected{}, got{};
    const bool fits = zim_sim::plan(c.carve, c.end, c.cursor, c.limit, false, 0, c.need, &expected);
    ASSERT_EQ(zim_sim::plan_converted(c.carve, c.end, c.cursor, c.limit, c.need, &got), fits);
    if (!fits) continue;
    EXPECT_EQ(got.block, expected.block);
    EXPECT_EQ(got.carve, expected.carve);
    EXPECT_EQ(got.cursor, expected.cursor);
    EXPECT_EQ(got.limit, expected.limit);
    EXPECT_EQ(got.page, 0u);
    EXPECT_EQ(got.record, 0u);
  }
}

}  // namespace
