// SPDX-License-Identifier: Apache-2.0
// The decoder in process: real objects of every type, each kind of damage,
// and layouts no definition could have.
#include "decode.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "objects.hpp"
#include "render.hpp"

namespace {

// What decode --json prints, read back.
struct Decoded {
  std::vector<std::string> problems;
  Json view;
};

Decoded decode_bytes(const TypeLayout& type, const Bytes& b, Sizing sizing) {
  std::ostringstream out;
  const zim_inspect::SpanSource bytes(b.data(), b.size());
  zim_inspect::decode(type, bytes, sizing, *zim_inspect::object_writer(out, true));
  Json view = Json::parse(out.str());
  return {view["problems"].get<std::vector<std::string>>(), std::move(view)};
}

Decoded decode_object(uint32_t table_id, const Bytes& b) {
  return decode_bytes(layouts()[table_id], b, platform_sizing(table_id));
}

// Fresh and moved objects of every type and count: consistent, every array read in full.
TEST(Decode, RealObjectsOfEveryTypeAreConsistent) {
  ASSERT_EQ(layouts().size(), cat::type_count);
  for (size_t id = 0; id < cat::type_count; ++id) {
    const cat::TableType& t = cat::types[id];
    for (uint32_t count :
         t.takes_count() ? std::vector<uint32_t>{0, 3} : std::vector<uint32_t>{0}) {
      SCOPED_TRACE(std::string(t.name) + " count " + std::to_string(count));
      const Bytes b = real_object(t.table_id, count);
      const Decoded d = decode_object(t.table_id, b);
      EXPECT_EQ(d.problems, std::vector<std::string>{});
      EXPECT_EQ(d.view["size"], b.size());
      for (const auto& a : d.view["arrays"]) EXPECT_EQ(a["elements"].size(), a["length"]);
    }
  }
}

// Each kind of damage to an olist with count 3 (field 2 is its first counted
// array) and a test_if, reported precisely and alone; a count beyond the bytes
// breaks both size and extent. No array is read past the object's end.
TEST(Decode, EachDamageIsReportedAlone) {
  struct Damage {
    uint32_t table_id;
    std::function<void(Bytes&)> apply;
    const char* expected;  // in the last problem
    size_t problems = 1;
  };
  const uint32_t olist = ZIM_TABLE_ID_OLIST, test_if = ZIM_TABLE_ID_TEST_IF;
  const Damage cases[] = {
      {olist, [](Bytes& b) { b[ZIM_OLIST_FIELD_2_PTR] ^= 0x40; }, "data pointer of field 2 is 0x"},
      {olist, [](Bytes& b) { put<uint64_t>(b, ZIM_OLIST_FIELD_3_FLAGS_PTR, 0); },
       "flag pointer of field 3 is null, expected 0x"},
      {test_if, [](Bytes& b) { b[ZIM_TEST_IF_FIELD_10_PTR] ^= 0x08; },
       "data pointer of field 10 is 0x"},
      {olist, [](Bytes& b) { b[ZIM_OBJ_TOTAL_SIZE_OFFSET] ^= 1; }, "total_obj_size is "},
      {test_if, [](Bytes& b) { put<uint16_t>(b, ZIM_OBJ_TABLE_ID_OFFSET, 7); },
       "table_id is 7, expected 0 (test_if)"},
      {test_if, [](Bytes& b) { b[ZIM_OBJ_ALLOC_STATE_OFFSET] = 0; },
       "alloc_state is 0, expected 1"},
      {test_if, [](Bytes& b) { b[ZIM_TEST_IF_NPD_PRESENT_OFFSET] ^= 1; }, "npd_present is "},
      {olist, [](Bytes& b) { b.resize(ZIM_FIXED_SIZE_OLIST - 1); },
       "fewer than the fixed size 296"},
      {olist, [](Bytes& b) { put<uint32_t>(b, ZIM_OLIST_COUNT_OFFSET, 1000000); },
       "beyond the 366 bytes of the object", 2},
  };
  for (const Damage& c : cases) {
    SCOPED_TRACE(c.expected);
    Bytes b = real_object(c.table_id, 3);
    c.apply(b);
    const Decoded d = decode_object(c.table_id, b);
    ASSERT_EQ(d.problems.size(), c.problems) << ::testing::PrintToString(d.problems);
    EXPECT_NE(d.problems.back().find(c.expected), std::string::npos) << d.problems.back();
    EXPECT_FALSE(d.view["consistent"].get<bool>());
    for (const auto& a : d.view.value("arrays", Json::array())) {
      const uint64_t n = a["length"],
                     end = a["storage_at"].get<uint64_t>() + n * a["elem_size"].get<uint64_t>();
      EXPECT_TRUE(a["elements"].empty() || end <= b.size()) << a["name"];
    }
  }
}

// Decode and check report layouts no object can have, reading nothing outside
// the object's exactly sized bytes.
TEST(Decode, HandMadeLayoutsNeverReadOutside) {
  struct LayoutCase {
    TypeLayout layout;
    Bytes object;
    const char* expected;
  };
  const LayoutCase cases[] = {
      {kSaturating, fixed_part(0xffffffff), "beyond the 296 bytes of the object"},
      {kSaturating, fixed_part(0xffffffff, 295), "fewer than the fixed size 296"},
      {hand_made("past", {{{{ItemKind::kInline, 292, 0xffffffff, 0xffffffff}, ""}, 0}}, 296, {}),
       fixed_part(0), "the layout of the type is unusable: a field at 292 lies outside"},
      {hand_made("small", {{{{ItemKind::kCountedArray, 0, 8, 1}, ""}, 0}}, 8, 4, 0), Bytes(8, 0xff),
       "the base header lies outside the fixed size 8"},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.expected);
    const Sizing sizing{8, 16, 0};
    const Decoded d = decode_bytes(c.layout, c.object, sizing);
    const zim_inspect::SpanSource bytes(c.object.data(), c.object.size());
    EXPECT_EQ(zim_inspect::check(c.layout, bytes, sizing), d.problems);
    EXPECT_TRUE(std::any_of(d.problems.begin(), d.problems.end(), [&](const std::string& p) {
      return p.find(c.expected) != p.npos;
    })) << ::testing::PrintToString(d.problems);
    if (d.view.contains("arrays")) {
      for (const auto& a : d.view["arrays"]) EXPECT_TRUE(a["elements"].empty()) << a["name"];
    }
  }
}

}  // namespace
