// Sizing of every type against the reference bytes per NPU and per element,
// the platform queries it makes, and the report of a null size pointer.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "reference.hpp"
#include "test_platform.hpp"
#include "zim/tables/catalogue.hpp"

namespace zim_test {
// Readable failure output for call lists.
void PrintTo(const platform_call& c, std::ostream* out) {
  *out << "{kind " << c.what << ", table " << c.table_id << ", size " << c.size << "}";
}
}  // namespace zim_test

namespace cat = zim_tables::catalogue;
using zim_test::calls;
using zim_test::platform_call;
using zim_test::ref_type;
using zim_test::reference;

namespace {

// NPD + fixed + N·per_npu_bytes + count·per_elem_bytes, modulo 2^32.
uint32_t expected_size(const ref_type& r, uint32_t n, uint32_t npd, uint64_t count) {
  return static_cast<uint32_t>(uint64_t{npd} + r.fixed_size + uint64_t{n} * r.per_npu_bytes +
                               count * r.per_elem_bytes);
}

std::vector<platform_call> max_npu_queries(const ref_type& r) {
  return std::vector<platform_call>(r.per_npu_arrays(), platform_call{platform_call::max_npus});
}

// Sizes are 32-bit: an N or a count whose bytes pass 2^32 wraps, unchecked
// (the last N and count of each type).
TEST(Sizing, EveryTypeByTheReference) {
  constexpr uint64_t k2To32 = uint64_t{1} << 32;
  for (const auto& r : reference()) {
    const cat::operations& ops = cat::types[r.id].ops;
    const uint32_t p = r.per_npu_bytes, q = r.per_elem_bytes;
    const uint32_t wrap_n = p ? static_cast<uint32_t>(k2To32 / p + 1) : 4;
    const uint32_t wrap_count = q ? static_cast<uint32_t>(k2To32 / q + 1) : 0;
    for (uint32_t n : {0u, 4u, 13u, wrap_n}) {
      for (uint32_t npd : {0u, 16u}) {
        zim_test::reset_platform(n, npd);
        for (uint32_t count : {0u, 1u, 1000u, wrap_count}) {
          SCOPED_TRACE(r.name + " N=" + std::to_string(n) + " npd=" + std::to_string(npd) +
                       " count=" + std::to_string(count));
          const uint32_t size = expected_size(r, n, npd, count);
          const uint32_t dynamic = size - npd - r.fixed_size;
          const auto once = max_npu_queries(r);
          auto expected_calls = once;
          expected_calls.insert(expected_calls.begin(), {platform_call::npd_size, r.id});
          calls().clear();
          EXPECT_EQ(ops.get_obj_size(count), size);
          EXPECT_EQ(calls(), expected_calls);

          // Accumulates onto the caller's value, asking N once per array.
          uint32_t total = 100;
          calls().clear();
          ops.add_dynamic_to_obj_size(&total, count);
          ops.add_dynamic_to_obj_size(&total, count);
          EXPECT_EQ(total, static_cast<uint32_t>(100 + 2 * dynamic));
          expected_calls = once;
          expected_calls.insert(expected_calls.end(), once.begin(), once.end());
          EXPECT_EQ(calls(), expected_calls);
        }
      }
    }
  }
}

// Every type, also those that add nothing, rejects a null size pointer with its
// own path, line and prototype, before it asks the platform anything.
TEST(Sizing, NullSizePointerReport) {
  size_t count_types = 0;
  for (const auto& r : reference()) {
    const cat::table_type& t = cat::types[r.id];
    zim_test::reset_platform(4, 16);
    const auto report =
        zim_test::capture_assert([&t] { t.ops.add_dynamic_to_obj_size(nullptr, 3); });
    ASSERT_TRUE(report.has_value()) << r.name;
    const std::string args = r.count_field ? "uint32_t *, uint32_t" : "uint32_t *";
    EXPECT_EQ(report->assertion, "obj_size_ptr");
    EXPECT_EQ(report->file, r.unit_path());
    EXPECT_EQ(report->line, r.size_ptr_line()) << r.name;
    EXPECT_EQ(report->function, "void qor_" + r.name + "_add_dynamic_to_obj_size(" + args + ")");
    EXPECT_TRUE(calls().empty()) << r.name;
    count_types += r.count_field != 0;
  }
  EXPECT_EQ(count_types, 34u);
}

}  // namespace
