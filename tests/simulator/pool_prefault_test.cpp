// SPDX-License-Identifier: Apache-2.0
// The pages of a fresh chunk (or the first chunk's worth of a run) are in
// memory once the block that opened it is handed out, though nothing but its
// header was written: that allocation brought them in past the pool's lock,
// and with them the first page of the next carve, so that the next holder of
// the lock that carves does not fault it in.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim_test_util.hpp"

namespace zim_sim_test {
namespace {

constexpr uint64_t kPoolSize = 8u << 20;
constexpr uint64_t kPage = 4096;

// Whether this kernel populates pages on request (5.14 and later).
bool kernel_populates() {
  void* p = mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  const bool known = madvise(p, kPage, MADV_POPULATE_WRITE) == 0;
  munmap(p, kPage);
  return known;
}

// The pages of [at, at + bytes) that are not in memory.
uint64_t missing_pages(const char* at, uint64_t bytes) {
  const auto first = reinterpret_cast<uintptr_t>(at) & ~(kPage - 1);
  const auto end = reinterpret_cast<uintptr_t>(at) + bytes;
  std::vector<unsigned char> resident((end - first + kPage - 1) / kPage);
  if (mincore(reinterpret_cast<void*>(first), end - first, resident.data()) != 0) return ~0ull;
  uint64_t missing = 0;
  for (unsigned char page : resident) missing += (page & 1) == 0;
  return missing;
}

struct Case {
  const char* what;
  bool versioned;
  uint32_t table_id;
  uint64_t size;  // of each block; past a chunk: a run
  bool chunk;     // the next carve lies a chunk after this one's start
};

TEST(PoolPrefaultTest, AFreshChunkOrRunIsInMemoryBeforeItsBlocksAreWritten) {
  if (!kernel_populates()) GTEST_SKIP() << "the kernel has no MADV_POPULATE_WRITE";
  const Case cases[] = {{"a table id's next chunk", false, 5, 1000, true},
                        {"the untyped blocks' next chunk", false, ZIM_SHM_POOL_UNTYPED, 1000, true},
                        {"a table id's run", false, 5, 3 * kChunk, false},
                        {"a versioned pool's next chunk", true, 9, 700, true},
                        {"a versioned pool's run", true, 9, kChunk + 1, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = unique_pool_name();
    const zim_shm_pool_options_t options{c.versioned ? 1u : 0u, 0, 64, 16};
    ASSERT_EQ(zim_shm_pool_create_with(name.c_str(), kPoolSize, &options), 0);
    // The id's first block, which brings its page, opens the first chunk; a
    // run comes after a run.
    const auto* first =
        static_cast<const char*>(pool_calloc(c.table_id, c.size > kChunk ? c.size : 16));
    ASSERT_NE(first, nullptr);
    const char* block = nullptr;
    for (int i = 0; i < 100; ++i) {
      block = static_cast<const char*>(pool_calloc(c.table_id, c.size));
      ASSERT_NE(block, nullptr);
      if (block < first || block >= first + kChunk) break;
    }
    ASSERT_TRUE(block < first || block >= first + kChunk) << "no chunk but the first";
    // What lies behind the block in its chunk, or a chunk's worth of a run; a
    // chunk starts less than 128 bytes before its first block.
    const uint64_t span = kChunk - 128;
    EXPECT_EQ(missing_pages(block, span), 0u);
    // The next carve, within the 128 bytes before block + kChunk.
    if (c.chunk) {
      EXPECT_EQ(missing_pages(block + span + 1, 128), 0u);
    }
    EXPECT_EQ(fill_of(block, c.size), 0);
    zim_shm_pool_destroy();
  }
}

}  // namespace
}  // namespace zim_sim_test
