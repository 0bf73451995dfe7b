// SPDX-License-Identifier: Apache-2.0
// The addresses the brackets and the index's lookup are given: only the first
// byte of a live lined object of the mapped versioned pool is one; every
// other address inside the pool is refused, including one inside an object
// whose bytes imitate the headers and the line of an object.
#include <gtest/gtest.h>
#include <zim/sim/pool_upgrade.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "segment/segment.hpp"
#include "sim_test_util.hpp"

namespace {

using namespace zim_sim_test;

constexpr uint64_t kPoolSize = 1u << 20;
constexpr zim_shm_pool_options_t kVersioned{1, 0, 1024, 4096};
constexpr uint32_t kTable = 5;

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

TEST(PoolBracketAddressTest, OnlyTheFirstByteOfALiveObjectIsBracketed) {
  ASSERT_EQ(zim_shm_pool_create_with(unique_pool_name().c_str(), kPoolSize, &kVersioned), 0);
  auto* live = static_cast<char*>(zim_shm_table_pool_calloc(kTable, 64));
  auto* host = static_cast<char*>(zim_shm_table_pool_calloc(kTable, 256));
  auto* retired = static_cast<char*>(zim_shm_table_pool_calloc(kTable + 1, 64));
  ASSERT_TRUE(live != nullptr && host != nullptr && retired != nullptr);
  for (void* obj : {live, host, retired}) ASSERT_EQ(zim_shm_pool_write_end(obj), 0);
  ASSERT_EQ(zim_shm_pool_write_begin(host), 0);
  char* forged = forge_lined_object(host);
  ASSERT_EQ(zim_shm_pool_write_end(host), 0);
  ASSERT_EQ(zim_shm_pool_retire(kTable + 1), 0);
  char* const base = live - zim_shm_pool_offset_of(live);
  const auto heap = std::make_unique<uint64_t[]>(8);

  struct Case {
    const char* name;
    void* obj;
    int rc;  // of both brackets
    int err;
  };
  const Case cases[] = {
      {"a live object", live, 0, 0},
      {"a line inside it", live + 16, -1, EINVAL},
      {"off a line", live + 1, -1, EINVAL},
      {"headers and a line imitated inside an object", forged, -1, EINVAL},
      {"a retired object", retired, -1, EINVAL},
      {"the pool's first byte", base, -1, EINVAL},
      {"the last line before the start map", base + zim_sim::start_map_offset(kPoolSize) - 16, -1,
       EINVAL},
      {"heap memory: no version to keep", heap.get(), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint64_t host_version = zim_shm_pool_version_of(host);
    errno = 0;
    EXPECT_EQ(zim_shm_pool_write_begin(c.obj), c.rc);
    EXPECT_EQ(errno, c.err);
    errno = 0;
    EXPECT_EQ(zim_shm_pool_write_end(c.obj), c.rc);
    EXPECT_EQ(errno, c.err);
    EXPECT_EQ(zim_shm_pool_version_of(host), host_version);
    EXPECT_EQ(zim_shm_pool_index_put(kTable, 1, c.obj, nullptr), c.obj == live ? 0 : -1);
    EXPECT_EQ(zim_shm_pool_index_get(kTable, 1), c.obj == live ? live : nullptr);
    zim_shm_pool_index_remove(kTable, 1);
  }
  uint64_t forged_line[4];
  std::memcpy(forged_line, forged - 48, sizeof forged_line);
  EXPECT_EQ(forged_line[0], 2u);  // the imitation was left alone
  zim_shm_pool_detach();
}

}  // namespace
