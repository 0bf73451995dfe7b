// The generated catalogue and trace identifiers against the reference data.
#include "zim/tables/catalogue.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reference.hpp"

namespace cat = zim_tables::catalogue;
using zim_test::ref_array;
using zim_test::reference;

namespace {

std::string class_mark(const cat::table_type& t) {
  uint32_t per_npu = 0, counted = 0;
  for (uint32_t i = 0; i < t.field_count; ++i) {
    per_npu += t.fields[i].kind == cat::item_kind::per_npu_array;
    counted += t.fields[i].kind == cat::item_kind::counted_array;
  }
  switch (t.cls) {
    case cat::type_class::fixed:
      return "F";
    case cat::type_class::size_checked:
      return "S";
    case cat::type_class::count_only:
      return "K";
    case cat::type_class::per_npu:
      return "N" + std::to_string(per_npu);
    case cat::type_class::counted:
      return "C" + std::to_string(counted) + (per_npu ? "+N" + std::to_string(per_npu) : "");
  }
  return "?";
}

TEST(Catalogue, AgreesWithTheReference) {
  ASSERT_EQ(cat::type_count, reference().size());
  for (const auto& r : reference()) {
    SCOPED_TRACE(r.name);
    const cat::table_type& t = cat::types[r.id];
    EXPECT_EQ(t.table_id, r.id);
    EXPECT_EQ(t.name, r.name);
    EXPECT_EQ(cat::find(r.name), &t);
    EXPECT_EQ(t.fixed_size, r.fixed_size);
    EXPECT_EQ(class_mark(t), r.mark);
    EXPECT_EQ(t.count_field, r.count_field);
    // The lines the reports name, which the object tests expect by these rules.
    EXPECT_EQ(t.lines.fix_ptrs, r.fix_ptrs_line());
    EXPECT_EQ(t.lines.size_ptr, r.size_ptr_line());
    EXPECT_EQ(t.lines.alloc, r.alloc_line);

    std::vector<ref_array> arrays;
    uint32_t p = 0, q = 0;
    for (uint32_t i = 0; i < t.field_count; ++i) {
      const cat::field_item& f = t.fields[i];
      if (f.kind == cat::item_kind::inline_run) continue;
      const bool per_npu = f.kind == cat::item_kind::per_npu_array;
      arrays.push_back({f.offset, f.flag_at, f.width, per_npu});
      (per_npu ? p : q) += f.width + 1;
    }
    EXPECT_EQ(arrays, r.arrays);
    EXPECT_EQ(p, r.per_npu_bytes);
    EXPECT_EQ(q, r.per_elem_bytes);
  }
}

TEST(WispEnums, MatchTheReference) {
  for (const auto& r : reference()) {
    const cat::table_type& t = cat::types[r.id];
    const zim_wisp_enums_t first = t.ops.get_wisp_enums();
    const zim_wisp_enums_t second = t.ops.get_wisp_enums();
    const std::vector<uint32_t> got(first.ids, first.ids + 6);
    EXPECT_EQ(got, r.wisp()) << r.name;
    EXPECT_EQ(got, std::vector<uint32_t>(second.ids, second.ids + 6)) << r.name;
  }
}

}  // namespace
