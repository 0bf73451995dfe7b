// SPDX-License-Identifier: Apache-2.0
// Objects made (or made again in another's place) with a layout their maker
// received, in a program that carries no layout note (this one): the id's
// first object brings the layout record; a text that is not the record of
// that id and fingerprint, or another layout than the one the pool records,
// is refused with a line that quotes no raw byte, and nothing is recorded.
#include <gtest/gtest.h>
#include <zim/sim/pool_records.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <string>

#include "codec/fingerprint.hpp"
#include "codec/layout_record.hpp"
#include "sim_test_util.hpp"

namespace {

using namespace zim_sim_test;

constexpr uint32_t kId = 400;

// A layout record of table id `id`: two fields, the first of 8 bytes when
// `wide`, else of 4.
std::string record(uint32_t id, bool wide) {
  const std::string fields = wide ? "  field 200 width 8 run 1 flag 212 name first\n"
                                    "  field 208 width 4 run 1 flag 213 name second\n"
                                    "  npd_present 214\n"
                                  : "  field 200 width 4 run 1 flag 208 name first\n"
                                    "  field 204 width 4 run 1 flag 209 name second\n"
                                    "  npd_present 210\n";
  return "type " + std::to_string(id) +
         " received_probe\n  class fixed\n  fixed_size 216\n  count_param off\n"
         "  size_check off\n  obj_flags_bit5 clear\n  header 192:4 196:4\n" +
         fields +
         "  dynamic none\n  check fix_ptrs none\n  check size_ptr 65 \"void size(uint32_t *)\"\n"
         "  check alloc 180 \"void *alloc(uint32_t, zim_bool_t)\"\n  wisp 1 2 3 4 5 6\n";
}

uint64_t fingerprint_of(const std::string& text) {
  std::string why;
  const auto layout = zim_codec::read_layout_record(text, &why);
  EXPECT_TRUE(layout.has_value()) << why << "\n" << text;
  return layout ? zim_codec::layout_fingerprint(*layout) : 0;
}

// Table id: fingerprint of each of the mapped pool's live layout records.
std::multimap<uint32_t, uint64_t> layout_records() {
  std::multimap<uint32_t, uint64_t> seen;
  const auto visit = [](const zim_shm_pool_piece_t* p, void* to) {
    if (p->table_id == ZIM_SHM_POOL_LAYOUT && p->retired == 0) {
      const auto* record = static_cast<const zim_shm_pool_layout_record_t*>(p->data);
      static_cast<std::multimap<uint32_t, uint64_t>*>(to)->emplace(record->table_id,
                                                                   record->fingerprint);
    }
    return 0;
  };
  EXPECT_EQ(zim_shm_pool_walk_mapped(visit, &seen), 0);
  return seen;
}

TEST(ReceivedLayout, RecordedWithTheFirstObjectOrRefusedWithNothingRecorded) {
  const zim_shm_pool_options_t versioned{1, 0, 1024, 4096};
  const std::string name = unique_pool_name();
  ASSERT_EQ(zim_shm_pool_create_with(name.c_str(), 1u << 20, &versioned), 0);
  const std::string good = record(400, true);
  const std::string other = record(400, false);
  const std::string of_401 = record(401, true);
  const uint64_t fingerprint = fingerprint_of(good);
  ASSERT_NE(fingerprint, fingerprint_of(other));

  const struct Case {
    const char* what;
    std::string text;
    uint64_t fingerprint;
    uint64_t size;
    std::string line;  // in the refusal; empty: made
    bool recorded;     // the pool records the id's layout after it
  } cases[] = {
      {"empty", "", fingerprint, 232, "a layout text of 0 bytes", false},
      {"junk", "type 400 \x1b[2J\xff\n  what\n", fingerprint, 232, "does not read", false},
      {"another id's", of_401, fingerprint_of(of_401), 232, "is of table id 401", false},
      {"a wrong fingerprint", good, fingerprint + 1, 232, "its fingerprint is not", false},
      {"a size its layout does not give", good, fingerprint, 32, "gives 232 bytes", false},
      {"the first", good, fingerprint, 232, "", true},
      {"the same again", good, fingerprint, 232, "", true},
      {"another layout than the pool's", other, fingerprint_of(other), 232, "it holds objects of",
       true},
  };
  uint64_t pool_id = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::internal::CaptureStderr();
    errno = 0;
    void* obj = zim_shm_pool_alloc_with_layout(kId, c.size, ++pool_id, c.text.data(),
                                               static_cast<uint32_t>(c.text.size()), c.fingerprint);
    const std::string said = testing::internal::GetCapturedStderr();
    if (c.line.empty()) {
      ASSERT_NE(obj, nullptr) << said;
      EXPECT_EQ(zim_shm_pool_id_of(obj), pool_id);
      EXPECT_EQ(zim_shm_pool_write_end(obj), 0);
    } else {
      EXPECT_EQ(obj, nullptr);
      EXPECT_EQ(errno, EINVAL);
      EXPECT_NE(said.find(c.line), std::string::npos) << said;
      EXPECT_EQ(said.find_first_of("\x1b\xff"), std::string::npos) << said;
    }
    const auto records = layout_records();
    ASSERT_EQ(records.count(kId), c.recorded ? 1u : 0u);
    if (c.recorded) {
      EXPECT_EQ(records.find(kId)->second, fingerprint);
    }
    EXPECT_EQ(records.count(401), 0u);
  }
  EXPECT_EQ(zim_shm_pool_table_blocks(kId), 2u);
  zim_shm_pool_destroy();
}

// A replacement carries the layout it received as an allocation does: held
// to the layout the pool records and to its sizes, the old object live when refused.
TEST(ReceivedLayout, AReplacementIsHeldToTheLayoutItReceived) {
  const zim_shm_pool_options_t versioned{1, 0, 1024, 4096};
  const std::string name = unique_pool_name();
  ASSERT_EQ(zim_shm_pool_create_with(name.c_str(), 1u << 20, &versioned), 0);
  const std::string good = record(kId, true), other = record(kId, false);
  const uint64_t fingerprint = fingerprint_of(good);
  void* obj = zim_shm_pool_alloc_with_layout(kId, 232, 7, good.data(),
                                             static_cast<uint32_t>(good.size()), fingerprint);
  ASSERT_NE(obj, nullptr);
  const struct {
    const char* what;
    std::string text;
    uint64_t fingerprint, size;
    std::string line;  // in the refusal; empty: made
  } cases[] = {
      {"junk", "type 400 \x1b[2J\n", fingerprint, 232, "does not read"},
      {"a wrong fingerprint", good, fingerprint + 1, 232, "its fingerprint is not"},
      {"a size its layout does not give", good, fingerprint, 64, "gives 232 bytes"},
      {"another layout than the pool's", other, fingerprint_of(other), 232, "it holds objects of"},
      {"the pool's layout", good, fingerprint, 232, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::internal::CaptureStderr();
    void* made = zim_shm_pool_replace_object(obj, c.size, c.text.data(),
                                             static_cast<uint32_t>(c.text.size()), c.fingerprint);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(made != nullptr, c.line.empty()) << said;
    EXPECT_TRUE(c.line.empty() || (errno == EINVAL && said.find(c.line) != std::string::npos))
        << said;
    EXPECT_EQ(said.find('\x1b'), std::string::npos) << said;
    EXPECT_EQ(zim_shm_pool_id_of(made != nullptr ? made : obj), 7u);
  }
  EXPECT_EQ(zim_shm_pool_table_blocks(kId), 1u);
  zim_shm_pool_destroy();
}

}  // namespace
