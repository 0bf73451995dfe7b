// SPDX-License-Identifier: Apache-2.0
// The allocator's size check: the sizes a layout gives at an NPD size and N,
// and the pool refusing, with a line naming the type, every other size of a
// type this program carries a layout of, on its first block and every later one.

#include "records/object_sizes.hpp"

#include <gtest/gtest.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/olist.h>
#include <zim/tables/test_if.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "codec/layout_record.hpp"
#include "sim_test_util.hpp"

namespace zim_sim_test {
namespace {

using zim_sim::gives_size;
using zim_sim::SizeRule;

constexpr uint64_t k32 = UINT32_MAX;

TEST(ObjectSizesTest, TheSizesALayoutGives) {
  const SizeRule counted{true, 232, 9, 13};  // 232 + 16 + 8 x 9 = 320 + count x 13
  const SizeRule fixed{true, 480, 9, 0};     // 480 + 16 + 8 x 9 = 568
  const SizeRule per_byte{true, 8, 0, 1};    // every size from 24 to 2^32 - 1
  const SizeRule huge_npus{true, 8, UINT64_MAX / 2, 1};
  const uint64_t last_counted = 320 + (k32 - 320) / 13 * 13;
  const struct {
    const char* what;
    const SizeRule& rule;
    uint64_t npd, n, size;
    bool given;
  } cases[] = {
      {"no element", counted, 16, 8, 320, true},
      {"one element", counted, 16, 8, 333, true},
      {"17 elements", counted, 16, 8, 320 + 17 * 13, true},
      {"one byte short", counted, 16, 8, 319, false},
      {"one byte over", counted, 16, 8, 321, false},
      {"one byte short of an element", counted, 16, 8, 332, false},
      {"size 0", counted, 16, 8, 0, false},
      {"the most elements within 32 bits", counted, 16, 8, last_counted, true},
      {"one element past 32 bits", counted, 16, 8, last_counted + 13, false},
      {"another N", counted, 16, 9, 320, false},
      {"another NPD size", counted, 17, 8, 320, false},
      {"a fixed type", fixed, 16, 8, 568, true},
      {"a fixed type, one element more", fixed, 16, 8, 568 + 9, false},
      {"a fixed type, one byte short", fixed, 16, 8, 567, false},
      {"N = 0", fixed, 16, 0, 496, true},
      {"the largest 32-bit size", per_byte, 16, 8, k32, true},
      {"2^32", per_byte, 16, 8, k32 + 1, false},
      {"2^64 - 1", per_byte, 16, 8, UINT64_MAX, false},
      {"an NPD size past 32 bits", per_byte, k32, 8, k32, false},
      {"N x per-NPU past 64 bits", huge_npus, 16, 8, 24, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(gives_size(c.rule, c.npd, c.n, c.size), c.given) << c.what;
  }
}

// A type's layout record as its note carries it, written from the platform's manifest.
std::string record_of(const std::string& name) {
  std::ifstream in(ZIM_LAYOUT_MANIFEST);
  std::stringstream text;
  text << in.rdbuf();
  const auto layouts =
      zim_codec::read_layouts(ZIM_LAYOUT_MANIFEST, text.str(), [](int, const std::string&) {});
  if (!layouts) return "";
  for (const auto& layout : *layouts) {
    if (layout.name == name) return zim_codec::layout_record(layout);
  }
  return "";
}

TEST(ObjectSizesTest, ARuleFromALayoutRecord) {
  const std::string record = record_of("olist");
  ASSERT_FALSE(record.empty());
  const SizeRule rule = zim_sim::size_rule_of(record);
  EXPECT_TRUE(rule.known);
  EXPECT_EQ(rule.fixed, ZIM_FIXED_SIZE_OLIST);
  EXPECT_EQ(rule.per_count, ZIM_OLIST_OBJECT_SIZE(0u, 0u, 1u) - ZIM_OLIST_OBJECT_SIZE(0u, 0u, 0u));
  EXPECT_FALSE(zim_sim::size_rule_of("type 268 olist\n").known);
  EXPECT_FALSE(zim_sim::size_rule_of(record.substr(0, record.size() / 2)).known);
}

// Every pool block of a noted type is held to its layout: the library's own
// constructors pass, any other size is refused with one line, the first
// block and the later ones alike.
TEST_F(ShmPoolTest, AnObjectSizeNoLayoutGivesIsRefused) {
  create(1u << 20);
  const uint64_t npd = qor_npd_get_table_size(ZIM_TABLE_ID_OLIST);
  const uint64_t n = hulcon_config_get_max_num_npus();
  const uint64_t olist = ZIM_OLIST_OBJECT_SIZE(n, npd, 3u);
  const uint64_t test_if =
      ZIM_TEST_IF_OBJECT_SIZE(n, qor_npd_get_table_size(ZIM_TABLE_ID_TEST_IF), 0u);
  const struct {
    uint32_t table_id;
    uint64_t size;
    const char* refusal;  // null: given
  } cases[] = {
      {ZIM_TABLE_ID_OLIST, olist + 1, "olist (table id 268) of"},  // before any olist
      {ZIM_TABLE_ID_OLIST, olist, nullptr},
      {ZIM_TABLE_ID_OLIST, olist - 1, "olist (table id 268) of"},  // after one
      {ZIM_TABLE_ID_OLIST, ZIM_OLIST_OBJECT_SIZE(n, npd, 0u), nullptr},
      {ZIM_TABLE_ID_OLIST, 0, "olist (table id 268) of 0 bytes"},
      {ZIM_TABLE_ID_OLIST, uint64_t{1} << 40, "of 1099511627776 bytes"},
      {ZIM_TABLE_ID_TEST_IF, test_if, nullptr},
      {ZIM_TABLE_ID_TEST_IF, test_if + ZIM_OLIST_OBJECT_SIZE(0u, 0u, 1u), "test_if (table id 0)"},
      {6, 7, nullptr},  // no layout note of id 6 here
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.table_id) + ": " + std::to_string(c.size));
    testing::internal::CaptureStderr();
    void* block = zim_shm_table_pool_calloc(c.table_id, c.size);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(block != nullptr, c.refusal == nullptr) << said;
    if (c.refusal != nullptr) {
      EXPECT_NE(said.find(c.refusal), std::string::npos) << said;
      EXPECT_EQ(count(said, "\n"), 1u) << said;
    }
  }
  ASSERT_NE(zim_srv_olist_ctor_with_shm(17), nullptr);
  EXPECT_EQ(zim_shm_pool_table_blocks(ZIM_TABLE_ID_OLIST), 3u);
}

}  // namespace
}  // namespace zim_sim_test
