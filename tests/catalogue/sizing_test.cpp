// SPDX-License-Identifier: Apache-2.0
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
void PrintTo(const PlatformCall& c, std::ostream* out) {
  *out << "{kind " << c.what << ", table " << c.table_id << ", size " << c.size << "}";
}

namespace {

// Sizes are 32-bit: an N or a count whose bytes pass 2^32 wraps, unchecked
// (the last N and count of each type). Every type, also those that add
// nothing, rejects a null size pointer before it asks the platform anything.
TEST(Sizing, EveryTypeByTheReference) {
  constexpr uint64_t k2To32 = uint64_t{1} << 32;
  size_t count_types = 0;
  for (const auto& r : reference()) {
    const zim_tables::catalogue::Operations& ops = zim_tables::catalogue::types[r.id].ops;
    const uint32_t p = r.per_npu_bytes, q = r.per_elem_bytes;
    const uint32_t wrap_n = p ? static_cast<uint32_t>(k2To32 / p + 1) : 4;
    const uint32_t wrap_count = q ? static_cast<uint32_t>(k2To32 / q + 1) : 0;
    // N is asked once per per-NPU array.
    const PlatformCall n_query{PlatformCall::kMaxNpus};
    for (uint32_t n : {0u, 4u, 13u, wrap_n}) {
      for (uint32_t npd : {0u, 16u}) {
        reset_platform(n, npd);
        for (uint32_t count : {0u, 1u, 1000u, wrap_count}) {
          SCOPED_TRACE(r.name + " N=" + std::to_string(n) + " npd=" + std::to_string(npd) +
                       " count=" + std::to_string(count));
          const uint32_t size = static_cast<uint32_t>(uint64_t{npd} + r.fixed_size +
                                                      uint64_t{n} * p + uint64_t{count} * q);
          std::vector<PlatformCall> expected(1 + r.per_npu_arrays(), n_query);
          expected[0] = {PlatformCall::kNpdSize, r.id};
          calls().clear();
          EXPECT_EQ(ops.get_obj_size(count), size);
          EXPECT_EQ(calls(), expected);

          // Accumulates onto the caller's value.
          uint32_t total = 100;
          calls().clear();
          ops.add_dynamic_to_obj_size(&total, count);
          ops.add_dynamic_to_obj_size(&total, count);
          EXPECT_EQ(total, static_cast<uint32_t>(100 + 2 * (size - npd - r.fixed_size)));
          EXPECT_EQ(calls(), std::vector<PlatformCall>(2 * r.per_npu_arrays(), n_query));
        }
      }
    }

    reset_platform(4, 16);
    const auto report = capture_assert([&ops] { ops.add_dynamic_to_obj_size(nullptr, 3); });
    const std::string args = r.count_field ? "uint32_t *, uint32_t" : "uint32_t *";
    EXPECT_EQ(
        report_text(report),
        report_text(AssertReport{"obj_size_ptr", r.unit_path(), r.size_ptr_line(),
                                 "void qor_" + r.name + "_add_dynamic_to_obj_size(" + args + ")"}))
        << r.name;
    EXPECT_TRUE(calls().empty()) << r.name;
    count_types += r.count_field != 0;
  }
  EXPECT_EQ(count_types, 34u);
}

}  // namespace
}  // namespace zim_test
