// SPDX-License-Identifier: Apache-2.0
// The reference catalogue: tests/data/{catalogue_index,array_fields,wisp}.tsv,
// merged into one record per type. The tests compare the generated catalogue
// and library against it, so nothing here is taken from the definitions.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace zim_test {

// One array field: its kind (N elements, else count), then its bytes.
struct RefArray {
  bool per_npu = false;
  uint32_t data_ptr = 0;
  uint32_t flag_ptr = 0;
  uint32_t elem_size = 0;
  bool operator==(const RefArray& o) const {
    return data_ptr == o.data_ptr && flag_ptr == o.flag_ptr && elem_size == o.elem_size &&
           per_npu == o.per_npu;
  }
};

inline std::ostream& operator<<(std::ostream& out, const RefArray& a) {
  return out << a.data_ptr << '/' << a.flag_ptr << ':' << a.elem_size << (a.per_npu ? "(N)" : "");
}

struct RefType {
  uint32_t id = 0;
  std::string name;
  std::string mark;  // class: F, S, K, N<n>, C<c> or C<c>+N<n>
  uint32_t fixed_size = 0;
  uint32_t alloc_line = 0;
  uint32_t count_field = 0;      // 0: the type takes no count
  uint32_t per_npu_bytes = 0;    // P: bytes per NPU
  uint32_t per_elem_bytes = 0;   // Q: bytes per counted element
  std::vector<RefArray> arrays;  // layout order
  uint32_t wisp_base = 0;
  char wisp_pattern = '-';  // '-', 'R', 'G' or 'X'
  bool sets_bit5 = false;   // the allocator sets bit 5 of obj_flags

  uint32_t per_npu_arrays() const;
  // Fixed-size and count-only types have no size check.
  bool size_checked() const { return mark != "F" && mark != "K"; }
  // Lines of the fix-up check (0: none) and the size-pointer check, by the
  // class rules.
  uint32_t fix_ptrs_line() const;
  uint32_t size_ptr_line() const;
  // The six trace identifiers that base and pattern give.
  std::vector<uint32_t> wisp() const;
  // The source path that the type's reports name.
  std::string unit_path() const;
};

// All types in table-id order; throws if the data files are malformed.
const std::vector<RefType>& reference();

}  // namespace zim_test
