// SPDX-License-Identifier: Apache-2.0
// The object sizes a type's layout can give: the NPD size, the fixed part,
// N elements of every per-NPU array and `count` elements of every counted
// array, each element with its presence flag. The allocator holds every
// table block of a type the program carries a layout note of to that set, so
// a library of another layout than the program's (another major version of
// a catalogue, loaded by mistake) is refused at its first pool object instead
// of writing fields at the program's offsets in blocks of its own size.
#ifndef ZIM_SIM_SRC_RECORDS_OBJECT_SIZES_HPP
#define ZIM_SIM_SRC_RECORDS_OBJECT_SIZES_HPP

#include <cstdint>
#include <string>
#include <string_view>

namespace zim_sim {

// What a layout's sizes are made of, worked out once when the notes are read.
struct SizeRule {
  bool known = false;      // false: the record did not read as a layout; nothing is held to it
  uint64_t fixed = 0;      // the fixed part
  uint64_t per_npu = 0;    // bytes per NPU: every per-NPU array's element and flag
  uint64_t per_count = 0;  // bytes per counted element: every counted array's element and flag
};

// The rule of a layout record's text; an unknown rule when it is not one.
SizeRule size_rule_of(std::string_view record_text);

// Whether `size` is npd + fixed + n * per_npu + count * per_count for some
// 32-bit count, within the 32 bits of an object's recorded size. Constant
// time: a few additions, a multiplication and a division.
bool gives_size(const SizeRule& rule, uint64_t npd, uint64_t n, uint64_t size);

// "NPD + FIXED + N x PER_NPU + count x PER_COUNT = ..." for a refusal: what
// the rule allows at this NPD size and N.
std::string allowed_sizes(const SizeRule& rule, uint64_t npd, uint64_t n);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_RECORDS_OBJECT_SIZES_HPP
