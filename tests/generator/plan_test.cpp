// SPDX-License-Identifier: Apache-2.0
// The planner on one platform type of each class: where its header, fields
// and presence flags lie, and the line and the operation each check of its
// unit reports.
#include "gen/layout/plan.hpp"

#include <gtest/gtest.h>

#include "case_name.hpp"
#include "stages.hpp"

namespace {

using namespace tablegen_test;

struct Case {
  std::string file;
  std::string layout;  // id, header, fields with their flags, fixed size
  std::string checks;  // line and prototype of fix_ptrs, size_ptr, alloc
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.file; }

std::pair<std::string, std::string> planned(const tablegen::TypeLayout& t) {
  std::string layout = "id " + std::to_string(t.table_id) + " header";
  for (const auto& h : t.header)
    layout += " " + std::to_string(h.width) + "@" + std::to_string(h.offset);
  layout += " fields";
  for (const auto& f : t.fields)
    layout += " " + tablegen::item_text(f) + " flag " + std::to_string(f.flag_at);
  layout += " fixed " + std::to_string(t.fixed_size);
  std::string checks;
  for (const auto* c : {&t.checks.fix_ptrs, &t.checks.size_ptr, &t.checks.alloc})
    checks += std::to_string(c->line) + " " + c->prototype + "; ";
  return {layout, checks};
}

const Case kCases[] = {
    // clang-format off
    {"003_testglobaldiscard.tdef",
     "id 3 header 4@192 4@196 fields 200:4 flag 216 204:1 flag 217 208:8 flag 218 fixed 224",
     "0 ; "
     "65 void qor_testglobaldiscard_add_dynamic_to_obj_size(uint32_t *); "
     "186 srv_testglobaldiscard_t testglobaldiscard_srv_alloc(uint32_t, zim_bool_t); "},
    {"292_ipmcmdtencap.tdef",
     "id 292 header 4@192 4@196 4@200 fields 204:4x8 flag 248 240:8 flag 256 fixed 264",
     "48 void qor_ipmcmdtencap_fix_ptrs(uint32_t, qor_ipmcmdtencap_obj_st); "
     "69 void qor_ipmcmdtencap_add_dynamic_to_obj_size(uint32_t *); "
     "221 srv_ipmcmdtencap_t ipmcmdtencap_srv_alloc(uint32_t, zim_bool_t); "},
    {"013_testzimstats.tdef",
     "id 13 header 4@192 4@196 "
     "fields 200:4 flag 232 208:4xN flag 240 216:4 flag 248 224:8 flag 249 fixed 256",
     "52 void qor_testzimstats_fix_ptrs(uint32_t, qor_testzimstats_obj_st); "
     "73 void qor_testzimstats_add_dynamic_to_obj_size(uint32_t *); "
     "209 srv_testzimstats_t testzimstats_srv_alloc(uint32_t, zim_bool_t); "},
    {"268_olist.tdef",
     "id 268 header 4@192 4@196 4@200 "
     "fields 208:8x2 flag 264 224:4x2 flag 266 232:8xC flag 272 240:8xC flag 280 "
     "248:4 flag 288 256:8 flag 289 fixed 296",
     "67 void qor_olist_fix_ptrs(uint32_t, qor_olist_obj_st); "
     "89 void qor_olist_add_dynamic_to_obj_size(uint32_t *, uint32_t); "
     "256 srv_olist_t olist_srv_alloc(uint32_t, zim_bool_t); "},
    {"211_pwenhgroup.tdef",
     "id 211 header 4@192 8@200 1@208 4@212 "
     "fields 216:4 flag 248 224:8 flag 249 232:4 flag 250 240:8 flag 251 fixed 256",
     "0 ; "
     "67 void qor_pwenhgroup_add_dynamic_to_obj_size(uint32_t *, uint32_t); "
     "196 srv_pwenhgroup_t pwenhgroup_srv_alloc(uint32_t, zim_bool_t); "},
    // clang-format on
};

class Plan : public testing::TestWithParam<Case> {};

TEST_P(Plan, PlacesEveryByteAndEveryCheck) {
  const Staged r = parse(read(kDefs / GetParam().file), true);
  ASSERT_TRUE(r.def) << r.messages;
  const auto [layout, checks] = planned(tablegen::plan_layout(*r.def));
  EXPECT_EQ(layout, GetParam().layout);
  EXPECT_EQ(checks, GetParam().checks);
}

INSTANTIATE_TEST_SUITE_P(Classes, Plan, testing::ValuesIn(kCases),
                         [](const auto& one) { return zim_test::case_name(one.param.file); });

}  // namespace
