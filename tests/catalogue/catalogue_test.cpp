// SPDX-License-Identifier: Apache-2.0
// The generated catalogue and trace identifiers against the reference data.
#include "zim/tables/catalogue.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "reference.hpp"

namespace cat = zim_tables::catalogue;
using zim_test::RefArray;
using zim_test::reference;

namespace {

TEST(Catalogue, AgreesWithTheReference) {
  ASSERT_EQ(cat::type_count, reference().size());
  for (const auto& r : reference()) {
    SCOPED_TRACE(r.name);
    const cat::TableType& t = cat::types[r.id];
    EXPECT_EQ(t.table_id, r.id);
    EXPECT_EQ(t.name, r.name);
    EXPECT_EQ(cat::find(r.name), &t);
    EXPECT_EQ(t.fixed_size, r.fixed_size);
    // The class by its letter; the arrays below give the counts in the mark.
    EXPECT_EQ("FSNCK"[static_cast<int>(t.type_class)], r.mark[0]);
    EXPECT_EQ(t.count_field, r.count_field);
    // The lines the reports name, which the object tests expect by these rules.
    EXPECT_EQ(t.check_lines.fix_ptrs, r.fix_ptrs_line());
    EXPECT_EQ(t.check_lines.size_ptr, r.size_ptr_line());
    EXPECT_EQ(t.check_lines.alloc, r.alloc_line);

    std::vector<RefArray> arrays;
    uint32_t p = 0, q = 0;
    for (uint32_t i = 0; i < t.field_count; ++i) {
      const cat::FieldItem& f = t.fields[i];
      if (f.kind == cat::ItemKind::kInline) continue;
      const bool per_npu = f.kind == cat::ItemKind::kPerNpuArray;
      arrays.push_back({per_npu, f.offset, f.flag_at, f.width});
      (per_npu ? p : q) += f.width + 1;
    }
    EXPECT_EQ(arrays, r.arrays);
    EXPECT_EQ(p, r.per_npu_bytes);
    EXPECT_EQ(q, r.per_elem_bytes);
    for (int call = 0; call < 2; ++call) {
      const zim_wisp_enums_t w = t.ops.get_wisp_enums();
      EXPECT_EQ(std::vector<uint32_t>(w.ids, w.ids + 6), r.wisp()) << "call " << call;
    }
  }
}

}  // namespace
